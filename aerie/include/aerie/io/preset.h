// The interface's standard preset (.fxp) and bank (.fxb) files, read and
// written. All integers are big-endian; a file is
//   int32 'CcnK', int32 the byte size of the rest after this field,
//   int32 the kind ('FxCk' 'FPCh' 'FxBk' 'FBCh'), int32 format version,
//   int32 the plug-in's unique id, int32 its version, int32 the number of
//   parameters (programs) or programs (banks);
// programs go on with a 28-byte NUL-padded name, then the parameters as
// big-endian floats ('FxCk') or an int32 size and the chunk ('FPCh');
// banks go on with 128 bytes (in version 2 the first 4 are the current
// program), then that many 'FxCk' programs each with its own header
// ('FxBk') or an int32 size and the chunk ('FBCh').
// Threads: every function here [any thread; allocates; reads or writes files],
// but for the names of kinds, which do not allocate.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <aerie/host_error.h>

namespace aerie {

// A file that is not a well-formed preset or bank (kind BadInputFile; what()
// is one line that says what was expected at which byte offset), one that
// cannot be written (OutputFile), or a preset the plug-in cannot take.
class PresetError : public HostError {
public:
    explicit PresetError(const std::string& message, ErrorKind kind = ErrorKind::BadInputFile) : HostError(kind, message) {}
};

enum class PresetKind {
    Program,       // 'FxCk': one program as parameters
    ProgramChunk,  // 'FPCh': one program as an opaque chunk
    Bank,          // 'FxBk': programs as parameters
    BankChunk,     // 'FBCh': a bank as one opaque chunk
};

// "FxCk", "FPCh", "FxBk", "FBCh".
const char* presetKindTag(PresetKind kind) noexcept;
// "program (parameters)", "program (chunk)", "bank (parameters)", "bank (chunk)".
const char* presetKindName(PresetKind kind) noexcept;
bool isBank(PresetKind kind) noexcept;

// One program of a parameter bank, with its own header's fields.
struct PresetProgram {
    std::int32_t uniqueId = 0;
    std::int32_t pluginVersion = 0;
    std::string name;  // 27 bytes at most
    std::vector<float> parameters;
};

struct PresetFile {
    PresetKind kind = PresetKind::Program;
    std::int32_t formatVersion = 1;  // 1, or 2 for banks with a current program
    std::int32_t uniqueId = 0;
    std::int32_t pluginVersion = 0;
    // The header's count: parameters (programs), programs (banks). Written
    // as the parameters' or programs' count for the parameter kinds.
    std::int32_t count = 0;
    std::string name;                  // programs
    std::vector<float> parameters;     // 'FxCk'
    std::vector<unsigned char> chunk;  // 'FPCh', 'FBCh'
    std::int32_t currentProgram = 0;   // banks of version 2
    std::vector<PresetProgram> programs;  // 'FxBk'
};

// Parses a whole file held in memory; throws PresetError.
PresetFile parsePreset(const std::vector<unsigned char>& bytes);
// The file's bytes.
std::vector<unsigned char> serializePreset(const PresetFile& preset);
// Reads and parses a file; errors name it.
PresetFile readPresetFile(const std::string& path);
// Writes under a temporary name and renames into place; throws PresetError.
void writePresetFile(const std::string& path, const PresetFile& preset);

}  // namespace aerie
