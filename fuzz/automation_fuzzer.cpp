// The automation file reader, on any bytes. A file is either refused with
// an AutomationError that names the line, or read into rows that keep the
// reader's promises: after the header, in file order, times finite and not
// negative, values from 0 to 1, a parameter written without surrounding
// blanks.
#include <cmath>
#include <cstdint>
#include <string>

#include "fuzz/check.h"
#include <aerie/io/automation.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<aerie::AutomationRow> rows;
    try {
        rows = aerie::parseAutomation(text);
    } catch (const aerie::AutomationError& e) {
        if (e.kind() != aerie::ErrorKind::BadInputFile) fuzz::fail("error kind", static_cast<long long>(e.kind()));
        if (std::string(e.what()).rfind("malformed automation file: ", 0) != 0) fuzz::fail("message");
        return 0;
    }
    int line = 1;  // the header's, at least
    for (const aerie::AutomationRow& r : rows) {
        if (r.line <= line) fuzz::fail("line order", r.line);
        line = r.line;
        if (!std::isfinite(r.time) || r.time < 0.0) fuzz::fail("time", r.line);
        if (!(r.value >= 0.0f && r.value <= 1.0f)) fuzz::fail("value", r.line);
        if (r.parameter.empty()) fuzz::fail("empty parameter", r.line);
        const std::string blanks = " \t\r";
        if (blanks.find(r.parameter.front()) != std::string::npos || blanks.find(r.parameter.back()) != std::string::npos) {
            fuzz::fail("parameter not trimmed", r.line);
        }
    }
    return 0;
}
