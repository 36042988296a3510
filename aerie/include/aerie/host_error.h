// The error of the hosting library: a failure a user can act on, with a kind
// a program can act on without reading the message.
#pragma once

#include <stdexcept>
#include <string>

namespace aerie {

// What went wrong, for callers that react differently (a scanner lists "not
// a plug-in" apart from "crashed"; a command-line host picks its exit code).
enum class ErrorKind {
    Other,             // none of the below
    ModuleMissing,     // no file at the path, or no module of that name
    ModuleUnreadable,  // the file exists but cannot be read
    NotALibrary,       // not a shared library at all, or an executable
    WrongSystem,       // a library for another system (a Windows module on Linux)
    WrongArchitecture, // another bitness or processor
    LoadFailed,        // the system's loader refused it (a missing dependency)
    NoEntry,           // neither VSTPluginMain nor main is exported
    EntryNull,         // the entry answered no record
    BadRecord,         // the record is not a plug-in's (no magic number, no dispatcher)
    WrongState,        // a call the instance's lifecycle does not allow now
    BadArgument,       // an index out of range, a rate or block size that is no size
    Ambiguous,         // a name that fits several modules
    Crashed,           // the module crashed (in a sandbox)
    Hung,              // the module made no progress for the time allowed
    EndedProcess,      // the module ended the process itself
    BadInputFile,      // an input file (WAV, MIDI, state) is malformed or does not fit
    OutputFile,        // an output file cannot be written
};

// "module missing", "crashed", ... [any thread]
const char* errorKindName(ErrorKind kind) noexcept;

// A failure a user can act on; what() is one line, without a trailing period.
// Thrown by any call that allocates; the calls tagged for the audio thread
// throw only for a wrong state or argument, before they touch the plug-in.
class HostError : public std::runtime_error {
public:
    explicit HostError(const std::string& message, ErrorKind kind = ErrorKind::Other)
        : std::runtime_error(message), kind_(kind) {}
    HostError(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    ErrorKind kind() const noexcept { return kind_; }
    // Whether the kind says the file is no plug-in module this host can load.
    bool notAPlugin() const noexcept {
        return kind_ == ErrorKind::NotALibrary || kind_ == ErrorKind::WrongSystem || kind_ == ErrorKind::LoadFailed ||
               kind_ == ErrorKind::NoEntry;
    }

private:
    ErrorKind kind_;
};

}  // namespace aerie
