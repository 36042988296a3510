#include <aerie/host_error.h>

namespace aerie {

const char* errorKindName(ErrorKind kind) noexcept {
    switch (kind) {
    case ErrorKind::Other: return "other";
    case ErrorKind::ModuleMissing: return "module missing";
    case ErrorKind::ModuleUnreadable: return "module unreadable";
    case ErrorKind::NotALibrary: return "not a library";
    case ErrorKind::WrongSystem: return "wrong system";
    case ErrorKind::WrongArchitecture: return "wrong architecture";
    case ErrorKind::LoadFailed: return "load failed";
    case ErrorKind::NoEntry: return "no entry";
    case ErrorKind::EntryNull: return "entry answered null";
    case ErrorKind::BadRecord: return "bad record";
    case ErrorKind::WrongState: return "wrong state";
    case ErrorKind::BadArgument: return "bad argument";
    case ErrorKind::Ambiguous: return "ambiguous";
    case ErrorKind::Crashed: return "crashed";
    case ErrorKind::Hung: return "hung";
    case ErrorKind::EndedProcess: return "ended the process";
    case ErrorKind::BadInputFile: return "bad input file";
    case ErrorKind::OutputFile: return "output file";
    }
    return "other";
}

}  // namespace aerie
