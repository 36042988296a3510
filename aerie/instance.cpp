#include <aerie/instance.h>

#include <algorithm>
#include <filesystem>
#include <cmath>
#include <cstring>
#include <initializer_list>

#include "host/abi/pins.h"
#include <aerie/event_list.h>

namespace aerie {

namespace detail {
extern thread_local Host* creatingHost;
}  // namespace detail

const char* stateName(Instance::State state) noexcept {
    switch (state) {
    case Instance::State::Created: return "created";
    case Instance::State::Open: return "open";
    case Instance::State::Ready: return "ready";
    case Instance::State::Running: return "running";
    case Instance::State::Closed: return "closed";
    }
    return "unknown";
}

Instance::Instance(const Module& module, Host& host) : host_(host) {
    // Restored on the way out, so that an instance created from inside
    // another plug-in's callback leaves the outer creation as it was.
    struct Creating {
        Host* previous;
        explicit Creating(Host* h) : previous(detail::creatingHost) { detail::creatingHost = h; }
        ~Creating() { detail::creatingHost = previous; }
        Creating(const Creating&) = delete;
        Creating& operator=(const Creating&) = delete;
    };
    AEffect* e = nullptr;
    {
        const Creating creating(&host);
        e = module.entry()(&Host::callback);
    }
    if (e == nullptr) throw HostError(ErrorKind::EntryNull, "the module's entry answered null: no instance was created");
    if (e->magic != kEffectMagic) {
        throw HostError(ErrorKind::BadRecord, "the module's record lacks the interface's magic number");
    }
    if (e->dispatcher == nullptr) throw HostError(ErrorKind::BadRecord, "the module's record has no dispatcher");
    e->user = &host;
    effect_ = e;
    // audioMasterGetDirectory answers the module's folder.
    if (host.directory.empty()) {
        std::error_code ec;
        const std::filesystem::path file = std::filesystem::absolute(module.path(), ec);
        host.directory = (ec ? std::filesystem::path(module.path()) : file).parent_path().string();
    }
}

Instance::~Instance() {
    if (effect_ == nullptr) return;
    // A destructor must not throw, and the plug-in's answers no longer
    // matter. close() suspends a running instance first, once.
    try {
        close();
    } catch (...) {
    }
}

void Instance::require(std::initializer_list<State> allowed, const char* call) const {
    if (std::find(allowed.begin(), allowed.end(), state_) != allowed.end()) return;
    const std::string state = stateName(state_);
    const char* article = state.front() == 'o' ? " on an " : " on a ";
    std::string message = std::string(call) + article + state + " instance; it must be ";
    for (std::size_t i = 0; i < allowed.size(); ++i) {
        if (i > 0) message += i + 1 == allowed.size() ? " or " : ", ";
        message += stateName(allowed.begin()[i]);
    }
    throw HostError(ErrorKind::WrongState,
                    message + " (the lifecycle: open, configure, resume, process blocks, suspend, close)");
}

void Instance::requireOpen(const char* call) const { require({State::Open, State::Ready, State::Running}, call); }

void Instance::checkIndex(std::int32_t index, std::int32_t count, const char* what) const {
    if (index >= 0 && index < count) return;
    throw HostError(ErrorKind::BadArgument, std::string(what) + " " + std::to_string(index) + " does not exist: there are " +
                                                std::to_string(std::max(count, 0)) + " (from 0)");
}

void Instance::open() {
    require({State::Created}, "open");
    raw().dispatch(effOpen);
    state_ = State::Open;
}

void Instance::configure(double sampleRate, std::int32_t maxBlockSize) {
    require({State::Open, State::Ready}, "configure");
    if (!(std::isfinite(sampleRate) && sampleRate > 0.0)) {
        throw HostError(ErrorKind::BadArgument, "configure: the sample rate must be more than 0 (got " +
                                                    std::to_string(sampleRate) + ")");
    }
    if (maxBlockSize <= 0) {
        throw HostError(ErrorKind::BadArgument,
                        "configure: the block size must be at least 1 frame (got " + std::to_string(maxBlockSize) + ")");
    }
    // What the host answers when the plug-in asks, too.
    host_.sampleRate = static_cast<float>(sampleRate);
    host_.blockSize = maxBlockSize;
    raw().dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(sampleRate));
    raw().dispatch(effSetBlockSize, 0, maxBlockSize);
    sampleRate_ = sampleRate;
    blockSize_ = maxBlockSize;
    state_ = State::Ready;
}

void Instance::resume() {
    require({State::Ready}, "resume");
    raw().dispatch(effMainsChanged, 0, 1);
    state_ = State::Running;
}

void Instance::suspend() {
    require({State::Running}, "suspend");
    raw().dispatch(effMainsChanged, 0, 0);
    state_ = State::Ready;
}

void Instance::processBlock(float* const* inputs, float* const* outputs, std::int32_t frames) {
    if (state_ != State::Running) require({State::Running}, "processBlock");
    if (frames < 0 || frames > blockSize_) {
        throw HostError(ErrorKind::BadArgument, "processBlock: " + std::to_string(frames) +
                                                    " frames, the configured block size is " + std::to_string(blockSize_));
    }
    auto** in = const_cast<float**>(inputs);
    auto** out = const_cast<float**>(outputs);
    if ((effect_->flags & effFlagsCanReplacing) != 0 && effect_->processReplacing != nullptr) {
        effect_->processReplacing(effect_, in, out, frames);
        return;
    }
    // process adds onto the outputs.
    for (std::int32_t c = 0; c < effect_->numOutputs; ++c) {
        std::fill(outputs[c], outputs[c] + frames, 0.0f);
    }
    if (effect_->process != nullptr) effect_->process(effect_, in, out, frames);
}

void Instance::sendEvents(VstEvents* events) {
    if (state_ != State::Running) require({State::Running}, "sendEvents");
    raw().dispatch(effProcessEvents, 0, 0, events);
}

void Instance::sendEvents(EventList& events) { sendEvents(events.get()); }

VstIntPtr Instance::close() {
    if (effect_ == nullptr) require({State::Created, State::Open, State::Ready, State::Running}, "close");
    AEffect* e = effect_;
    if (state_ == State::Running) e->dispatcher(e, effMainsChanged, 0, 0, nullptr, 0.0f);
    effect_ = nullptr;
    state_ = State::Closed;
    return e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
}

std::int32_t Instance::numInputs() const { return effect_ != nullptr ? effect_->numInputs : 0; }
std::int32_t Instance::numOutputs() const { return effect_ != nullptr ? effect_->numOutputs : 0; }
std::int32_t Instance::numParameters() const { return effect_ != nullptr ? effect_->numParams : 0; }
std::int32_t Instance::numPrograms() const { return effect_ != nullptr ? effect_->numPrograms : 0; }
std::int32_t Instance::flags() const { return effect_ != nullptr ? effect_->flags : 0; }
std::int32_t Instance::initialDelay() const { return effect_ != nullptr ? effect_->initialDelay : 0; }

std::string Instance::effectName() {
    requireOpen("effectName");
    return raw().text(effGetEffectName);
}

std::string Instance::vendor() {
    requireOpen("vendor");
    return raw().text(effGetVendorString);
}

std::string Instance::product() {
    requireOpen("product");
    return raw().text(effGetProductString);
}

std::int32_t Instance::vendorVersion() {
    requireOpen("vendorVersion");
    return static_cast<std::int32_t>(raw().dispatch(effGetVendorVersion));
}

std::int32_t Instance::category() {
    requireOpen("category");
    return static_cast<std::int32_t>(raw().dispatch(effGetPlugCategory));
}

std::int32_t Instance::interfaceVersion() {
    requireOpen("interfaceVersion");
    return static_cast<std::int32_t>(raw().dispatch(effGetVstVersion));
}

Identity Instance::identity() {
    requireOpen("identity");
    Identity id;
    id.effectName = effectName();
    id.vendor = vendor();
    id.product = product();
    id.vendorVersion = vendorVersion();
    id.uniqueId = effect_->uniqueID;
    id.category = category();
    id.interfaceVersion = interfaceVersion();
    id.recordVersion = effect_->version;
    return id;
}

std::int32_t Instance::tailSize() {
    requireOpen("tailSize");
    return static_cast<std::int32_t>(raw().dispatch(effGetTailSize));
}

PinInfo Instance::pin(std::int32_t opcode, std::int32_t index, std::int32_t count, const char* what) {
    checkIndex(index, count, what);
    VstPinProperties p{};
    PinInfo info;
    info.described = raw().dispatch(opcode, index, 0, &p) != 0;
    if (info.described) {
        p.label[sizeof p.label - 1] = '\0';
        info.label = p.label;
        info.flags = p.flags;
    }
    return info;
}

PinInfo Instance::inputPin(std::int32_t index) {
    requireOpen("inputPin");
    return pin(effGetInputProperties, index, numInputs(), "input");
}

PinInfo Instance::outputPin(std::int32_t index) {
    requireOpen("outputPin");
    return pin(effGetOutputProperties, index, numOutputs(), "output");
}

std::string Instance::parameterName(std::int32_t index) {
    requireOpen("parameterName");
    checkIndex(index, numParameters(), "parameter");
    return raw().text(effGetParamName, index);
}

std::string Instance::parameterLabel(std::int32_t index) {
    requireOpen("parameterLabel");
    checkIndex(index, numParameters(), "parameter");
    return raw().text(effGetParamLabel, index);
}

std::string Instance::parameterDisplay(std::int32_t index) {
    requireOpen("parameterDisplay");
    checkIndex(index, numParameters(), "parameter");
    return raw().text(effGetParamDisplay, index);
}

float Instance::parameterValue(std::int32_t index) {
    requireOpen("parameterValue");
    checkIndex(index, numParameters(), "parameter");
    return raw().getParameter(index);
}

void Instance::setParameterValue(std::int32_t index, float value) {
    requireOpen("setParameterValue");
    checkIndex(index, numParameters(), "parameter");
    if (!(value >= 0.0f && value <= 1.0f)) {
        throw HostError(ErrorKind::BadArgument,
                        "parameter values are from 0 to 1 (got " + std::to_string(value) + ")");
    }
    raw().setParameter(index, value);
}

ParameterInfo Instance::parameter(std::int32_t index) {
    requireOpen("parameter");
    ParameterInfo p;
    p.name = parameterName(index);
    p.label = parameterLabel(index);
    p.display = parameterDisplay(index);
    p.value = parameterValue(index);
    return p;
}

std::int32_t Instance::program() {
    requireOpen("program");
    return static_cast<std::int32_t>(raw().dispatch(effGetProgram));
}

void Instance::setProgram(std::int32_t index) {
    requireOpen("setProgram");
    checkIndex(index, numPrograms(), "program");
    raw().dispatch(effSetProgram, 0, index);
}

std::string Instance::programName(std::int32_t index) {
    requireOpen("programName");
    checkIndex(index, numPrograms(), "program");
    char name[256] = {};
    if (raw().dispatch(effGetProgramNameIndexed, index, -1, name) == 0) {
        // Older plug-ins name only the current program.
        const auto current = static_cast<std::int32_t>(raw().dispatch(effGetProgram));
        raw().dispatch(effSetProgram, 0, index);
        std::memset(name, 0, sizeof name);
        raw().dispatch(effGetProgramName, 0, 0, name);
        raw().dispatch(effSetProgram, 0, current);
    }
    name[sizeof name - 1] = '\0';
    return name;
}

ChunkAnswer RawCalls::readChunk(bool programOnly) const {
    void* data = nullptr;
    const VstIntPtr size = dispatch(effGetChunk, programOnly ? 1 : 0, 0, &data);
    ChunkAnswer a;
    a.size = static_cast<std::int64_t>(size);
    if (size <= 0 || data == nullptr) {
        a.kind = ChunkAnswer::Kind::None;
    } else if (static_cast<std::uint64_t>(size) > kMaxChunkSize) {
        a.kind = ChunkAnswer::Kind::TooLarge;
    } else {
        a.kind = ChunkAnswer::Kind::Given;
        const auto* bytes = static_cast<const unsigned char*>(data);
        a.bytes.assign(bytes, bytes + size);
    }
    return a;
}

std::vector<unsigned char> Instance::chunk(bool programOnly) {
    requireOpen("chunk");
    if (!hasChunks()) return {};
    ChunkAnswer a = raw().readChunk(programOnly);
    if (a.kind == ChunkAnswer::Kind::TooLarge) {
        throw HostError(ErrorKind::Other, "the plug-in's " + std::string(programOnly ? "program" : "bank") + " chunk of " +
                                              std::to_string(a.size) + " bytes is larger than the " +
                                              std::to_string(kMaxChunkSize >> 20) + " MiB a host takes");
    }
    return std::move(a.bytes);
}

void Instance::setChunk(const std::vector<unsigned char>& data, bool programOnly) {
    requireOpen("setChunk");
    if (!hasChunks()) throw HostError(ErrorKind::BadArgument, "setChunk: the plug-in keeps no chunks");
    // The plug-in reads the chunk during the call; it does not keep the address.
    std::vector<unsigned char> copy(data);
    raw().dispatch(effSetChunk, programOnly ? 1 : 0, static_cast<VstIntPtr>(copy.size()), copy.data());
}

std::int32_t Instance::canDo(const char* capability) {
    std::string word(capability);
    return static_cast<std::int32_t>(raw().dispatch(effCanDo, 0, 0, word.data(), 0.0f));
}

std::int32_t Instance::uniqueId() const { return effect_ != nullptr ? effect_->uniqueID : 0; }

AEffect* RawCalls::live() const {
    if (*effect_ == nullptr) throw HostError(ErrorKind::WrongState, "a raw call on a closed instance");
    return *effect_;
}

VstIntPtr RawCalls::dispatch(std::int32_t opcode, std::int32_t index, VstIntPtr value, void* ptr, float opt) const {
    AEffect* e = live();
    return e->dispatcher(e, opcode, index, value, ptr, opt);
}

void RawCalls::process(float** inputs, float** outputs, std::int32_t frames) const {
    AEffect* e = live();
    e->process(e, inputs, outputs, frames);
}

void RawCalls::processReplacing(float** inputs, float** outputs, std::int32_t frames) const {
    AEffect* e = live();
    e->processReplacing(e, inputs, outputs, frames);
}

void RawCalls::setParameter(std::int32_t index, float value) const {
    AEffect* e = live();
    e->setParameter(e, index, value);
}

float RawCalls::getParameter(std::int32_t index) const {
    AEffect* e = live();
    return e->getParameter(e, index);
}

std::string RawCalls::text(std::int32_t opcode, std::int32_t index) const {
    char buffer[256] = {};
    dispatch(opcode, index, 0, buffer, 0.0f);
    buffer[sizeof buffer - 1] = '\0';
    return buffer;
}

}  // namespace aerie
