// Automation files: a CSV file with the header `time,parameter,value`, one
// parameter value per line. The time is in seconds ("1.25") or in beats
// with a `b` suffix ("4.5b"); the parameter is `[K:]P`, module K of a chain
// (from 1) and parameter P by number (from 1) or name; the value is 0..1.
// Threads: every function here [any thread; allocates; reads or writes files].
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include <aerie/host_error.h>

namespace aerie {

// A file that is not a well-formed automation file (kind BadInputFile;
// what() names the line), or one that cannot be written (OutputFile).
class AutomationError : public HostError {
public:
    explicit AutomationError(const std::string& message, ErrorKind kind = ErrorKind::BadInputFile)
        : HostError(kind, message) {}
};

struct AutomationRow {
    int line = 0;          // in the file, from 1
    double time = 0.0;     // seconds, or quarter notes when `beats`
    bool beats = false;
    std::string parameter;  // as written, "[K:]P"
    float value = 0.0f;
};

// Parses a whole file held in memory.
std::vector<AutomationRow> parseAutomation(const std::string& text);
// Reads and parses a file; errors name it.
std::vector<AutomationRow> readAutomationFile(const std::string& path);
// Writes rows (times in seconds, or beats when `beats`) under a temporary
// name and renames into place; throws AutomationError.
void writeAutomationFile(const std::string& path, const std::vector<AutomationRow>& rows);

}  // namespace aerie
