// One plug-in instance, driven through its record, with the lifecycle hosts
// keep: create -> open -> configure -> resume -> process -> suspend -> close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/abi/aeffect.h"
#include "host/abi/events.h"
#include "host/abi/opcodes.h"
#include <aerie/host.h>
#include <aerie/host_error.h>
#include <aerie/module.h>

namespace aerie {

class EventList;

// Who the plug-in says it is.
struct Identity {
    std::string effectName;
    std::string vendor;
    std::string product;
    std::int32_t vendorVersion = 0;
    std::int32_t uniqueId = 0;
    std::int32_t category = 0;
    std::int32_t interfaceVersion = 0;  // effGetVstVersion
    std::int32_t recordVersion = 0;     // the record's own version field
};

// One input or output pin's description.
struct PinInfo {
    bool described = false;  // the plug-in answered the properties request
    std::string label;
    std::int32_t flags = 0;
};

// One parameter as a host shows it.
struct ParameterInfo {
    std::string name;
    std::string label;    // the unit
    std::string display;  // the current value as text
    float value = 0.0f;
};

// The largest chunk (effGetChunk) a host here takes from a plug-in: 1 GiB.
// A larger size is not a state but a wrong answer, and is not read.
inline constexpr std::size_t kMaxChunkSize = std::size_t{1} << 30;

// What a plug-in answered to effGetChunk.
struct ChunkAnswer {
    enum class Kind { Given, None, TooLarge };
    Kind kind = Kind::None;   // None: a size of 0 or less, or no data
    std::int64_t size = 0;    // the size the plug-in answered
    std::vector<unsigned char> bytes;  // a copy, for Given
};

// The record's own calls with no check and no change of state, apart from
// the typed calls of Instance so that the two cannot be mixed up by name.
// Reached through Instance::raw(); it sees the instance close (the record
// is gone then: every call but effect() throws HostError, kind WrongState).
// [the instance's thread; any state; the caller keeps the rules, and the
// render calls allocate nothing]
class RawCalls {
public:
    explicit RawCalls(AEffect* const& effect) noexcept : effect_(&effect) {}
    // The record; null once closed.
    AEffect* effect() const noexcept { return *effect_; }
    VstIntPtr dispatch(std::int32_t opcode, std::int32_t index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                       float opt = 0.0f) const;
    void process(float** inputs, float** outputs, std::int32_t frames) const;
    void processReplacing(float** inputs, float** outputs, std::int32_t frames) const;
    void setParameter(std::int32_t index, float value) const;
    float getParameter(std::int32_t index) const;
    // effGetChunk as it is answered, whatever the state and flags; the one
    // place a chunk is read from a plug-in. [allocates]
    ChunkAnswer readChunk(bool programOnly) const;
    // A text request (name, vendor, product, ...) into a zeroed 256-byte
    // buffer. [allocates]
    std::string text(std::int32_t opcode, std::int32_t index = 0) const;

private:
    AEffect* live() const;
    AEffect* const* effect_;
};

// One plug-in instance. Creating calls the entry with the host's callback and
// checks the record; destroying suspends it if it runs and sends effClose
// unless close() already did.
//
// The typed calls keep the lifecycle and throw HostError (kind WrongState)
// for a call the current state does not allow:
//
//   Created --open()--> Open --configure()--> Ready --resume()--> Running
//                                  ^   configure() |  <--suspend()--  |
//                                  +---------------+   processBlock(), sendEvents()
//   close() from any state (a running instance is suspended first) -> Closed
//
// The getters and parameter and program calls need an open instance (Open,
// Ready or Running). raw() gives the record's own calls for callers that
// break the rules on purpose (validators, tests): they check nothing and do
// not change the state.
//
// [one thread at a time] for every call: an instance is the plug-in's, which
// expects one request at a time. Different instances may run on different
// threads. The tags below say the states a call needs and whether it may
// allocate (see <aerie/aerie.h>).
class Instance {
public:
    enum class State { Created, Open, Ready, Running, Closed };

    // Calls the module's entry. [allocates; the instance's thread from now on]
    Instance(const Module& module, Host& host);
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    // The lifecycle.
    State state() const noexcept { return state_; }  // [any state]
    void open();                                      // effOpen [state: created]
    // Sample rate and the largest block processBlock will be given.
    // [state: open, ready]
    void configure(double sampleRate, std::int32_t maxBlockSize);
    void resume();  // effMainsChanged 1 [state: ready]
    // One block of at most the configured size: processReplacing when the
    // plug-in can replace, otherwise process into cleared outputs. Inputs
    // and outputs are numInputs() and numOutputs() buffers.
    // [audio thread; running]: no lock, allocates nothing
    void processBlock(float* const* inputs, float* const* outputs, std::int32_t frames);
    // A block's events, before its processBlock. [audio thread; running]
    void sendEvents(VstEvents* events);
    void sendEvents(EventList& events);
    void suspend();  // effMainsChanged 0 [state: running]
    // effClose; the record is gone afterwards. Answers what the plug-in
    // answered. [any state but closed]
    VstIntPtr close();

    // What configure() set. [any state]
    double sampleRate() const noexcept { return sampleRate_; }
    std::int32_t maxBlockSize() const noexcept { return blockSize_; }

    // What the record says, from creation on. [any state but closed; no
    // allocation]
    std::int32_t numInputs() const;
    std::int32_t numOutputs() const;
    std::int32_t numParameters() const;
    std::int32_t numPrograms() const;
    std::int32_t flags() const;
    bool canReplacing() const { return (flags() & effFlagsCanReplacing) != 0; }
    bool isSynth() const { return (flags() & effFlagsIsSynth) != 0; }
    bool hasChunks() const { return (flags() & effFlagsProgramChunks) != 0; }
    std::int32_t initialDelay() const;

    // What the plug-in answers. [state: open, ready, running; allocates]
    Identity identity();
    std::string effectName();
    std::string vendor();
    std::string product();
    std::int32_t vendorVersion();
    std::int32_t category();
    std::int32_t interfaceVersion();
    std::int32_t tailSize();
    PinInfo inputPin(std::int32_t index);
    PinInfo outputPin(std::int32_t index);
    std::string parameterName(std::int32_t index);
    std::string parameterLabel(std::int32_t index);
    std::string parameterDisplay(std::int32_t index);
    float parameterValue(std::int32_t index);
    void setParameterValue(std::int32_t index, float value);
    ParameterInfo parameter(std::int32_t index);
    std::int32_t program();
    void setProgram(std::int32_t index);
    // Program `index`'s name; plug-ins that cannot name other programs have
    // theirs asked by selecting it (the current program is selected again).
    std::string programName(std::int32_t index);
    // The state as the plug-in's own data (effGetChunk): the whole bank, or
    // the current program only. Empty when the plug-in keeps no chunks or
    // answers none; throws HostError (kind Other) for a chunk larger than
    // kMaxChunkSize, rather than lose the state without a word.
    std::vector<unsigned char> chunk(bool programOnly = false);
    void setChunk(const std::vector<unsigned char>& data, bool programOnly = false);
    // The answer to effCanDo: 1 yes, -1 no, 0 does not know.
    std::int32_t canDo(const char* capability);

    // The record's own calls, unchecked, for callers that break the rules
    // on purpose (validators, tests): instance.raw().dispatch(...).
    RawCalls raw() noexcept { return RawCalls(effect_); }
    // The plug-in's unique identifier (the record's uniqueID), from creation on.
    std::int32_t uniqueId() const;

private:
    void require(std::initializer_list<State> allowed, const char* call) const;
    void requireOpen(const char* call) const;
    void checkIndex(std::int32_t index, std::int32_t count, const char* what) const;
    PinInfo pin(std::int32_t opcode, std::int32_t index, std::int32_t count, const char* what);

    AEffect* effect_ = nullptr;
    Host& host_;
    State state_ = State::Created;
    double sampleRate_ = 0.0;
    std::int32_t blockSize_ = 0;
};

// "created", "open", "ready", "running", "closed".
const char* stateName(Instance::State state) noexcept;

}  // namespace aerie
