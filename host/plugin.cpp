#include "host/plugin.h"

#include <cstdio>
#include <cstring>

namespace kstv {

namespace {

constexpr char kMagic[4] = {'K', 's', 'S', 't'};
constexpr std::uint32_t kLayoutVersion = 1;
constexpr std::uint32_t kKindBank = 0, kKindProgram = 1;
constexpr std::uint32_t kMostPrograms = 4096;  // a bank claiming more is damaged
constexpr std::size_t kNameField = kProgramNameMax + 1;

std::int32_t count(std::size_t n) { return static_cast<std::int32_t>(n); }

bool answer(char* dst, const char* text, int max) noexcept {
    if (dst == nullptr) return false;
    copyText(dst, text, max);
    return true;
}

}  // namespace

Plugin::Plugin(audioMasterCallback host, const Description& description)
    : EffectExt(host, count(description.programs.size()), count(description.parameters.size())),
      description_(description),
      programs_(description.programs.empty() ? 1 : count(description.programs.size())),
      values_(new std::atomic<float>[static_cast<std::size_t>(programs_) * description.parameters.size()]),
      names_(static_cast<std::size_t>(programs_)),
      inputs_(description.inputs.size()),
      outputs_(description.outputs.size()),
      ins_(count(description.inputs.size())),
      outs_(count(description.outputs.size())) {
    setNumInputs(count(description.inputs.size()));
    setNumOutputs(count(description.outputs.size()));
    setCanReplacing(true);
    setProgramChunks(true);
    for (std::int32_t p = 0; p < programs_; ++p) {
        const Program* factory = description.programs.empty() ? nullptr : &description.programs[static_cast<std::size_t>(p)];
        copyText(names_[static_cast<std::size_t>(p)].data(), factory != nullptr ? factory->name : "Default",
                 kProgramNameMax);
        for (std::int32_t i = 0; i < parameterCount(); ++i) {
            const Parameter& param = description.parameters[static_cast<std::size_t>(i)];
            double plainValue = param.defaultValue;
            if (factory != nullptr && static_cast<std::size_t>(i) < factory->values.size()) {
                plainValue = factory->values.begin()[i];
            }
            slot(p, i).store(static_cast<float>(param.range.toNormalised(plainValue)));
        }
    }
    sizeScratch(blockSize);
    chunk_.reserve(64);
}

Plugin::~Plugin() = default;

void Plugin::identify(const Identity& identity) noexcept {
    setUniqueId(identity.uniqueId);
    setIsSynth(identity.synth);
    category_ = identity.category;
}

void Plugin::onEvent(const Event&) {}
void Plugin::startBlock(std::int32_t) {}
void Plugin::saveData(Writer&) {}
bool Plugin::loadData(Reader&, std::uint32_t) { return true; }
bool Plugin::loadOlderChunk(const unsigned char*, std::size_t, bool, Snapshot&) { return false; }

double Plugin::plain(std::int32_t index) const noexcept {
    return validParameter(index) ? description_.parameters[static_cast<std::size_t>(index)].range.toPlain(normalised(index))
                                 : 0.0;
}

// ---- audio -----------------------------------------------------------------------

void Plugin::process(float** inputs, float** outputs, std::int32_t sampleFrames) {
    run(inputs, outputs, sampleFrames, true);
}

void Plugin::processReplacing(float** inputs, float** outputs, std::int32_t sampleFrames) {
    // The usual block, no events and every buffer there, goes straight to
    // the plug-in: the one call a plug-in on EffectExt alone would make.
    if (queue_.size() == 0 && sampleFrames > 0 && buffersGiven(inputs, outputs)) [[likely]] {
        startBlock(sampleFrames);
        render(inputs, outputs, sampleFrames);
        return;
    }
    run(inputs, outputs, sampleFrames, false);
}

std::int32_t Plugin::processEvents(VstEvents* events) {
    queue_.take(events);
    return 1;
}

void Plugin::run(float** inputs, float** outputs, std::int32_t frames, bool accumulate) noexcept {
    if (frames < 0) frames = 0;
    // A host may hand null buffers: events are still taken, nothing is rendered.
    const bool buffers = buffersGiven(inputs, outputs);
    if (frames > 0) startBlock(frames);
    if (queue_.size() == 0) {
        if (buffers && frames > 0) {
            if (accumulate) {
                piece(inputs, outputs, 0, frames, true);
            } else {
                render(inputs, outputs, frames);
            }
        }
        return;
    }
    queue_.arrange(frames);
    std::int32_t at = 0, next = 0;
    for (;;) {
        while (next < queue_.size() && queue_[next].frame <= at) onEvent(queue_[next++]);
        if (at >= frames) break;
        const std::int32_t end = next < queue_.size() ? queue_[next].frame : frames;
        if (buffers) piece(inputs, outputs, at, end - at, accumulate);
        at = end;
    }
    queue_.clear();
}

void Plugin::piece(float** inputs, float** outputs, std::int32_t at, std::int32_t frames, bool accumulate) noexcept {
    if (!accumulate) {
        for (std::size_t c = 0; c < inputs_.size(); ++c) inputs_[c] = inputs[c] + at;
        for (std::size_t c = 0; c < outputs_.size(); ++c) outputs_[c] = outputs[c] + at;
        render(inputs_.data(), outputs_.data(), frames);
        return;
    }
    // Accumulating: rendered into scratch buffers, a block at a time, then added.
    for (std::int32_t done = 0; done < frames;) {
        const std::int32_t n = frames - done < scratchFrames_ ? frames - done : scratchFrames_;
        for (std::size_t c = 0; c < inputs_.size(); ++c) inputs_[c] = inputs[c] + at + done;
        for (std::size_t c = 0; c < outputs_.size(); ++c) outputs_[c] = scratch_.data() + c * static_cast<std::size_t>(scratchFrames_);
        render(inputs_.data(), outputs_.data(), n);
        for (std::size_t c = 0; c < outputs_.size(); ++c) {
            float* out = outputs[c] + at + done;
            const float* add = outputs_[c];
            for (std::int32_t i = 0; i < n; ++i) out[i] += add[i];
        }
        done += n;
    }
}

void Plugin::sizeScratch(std::int32_t frames) {
    scratchFrames_ = frames >= 1 && frames <= (1 << 20) ? frames : (frames < 1 ? 1024 : (1 << 20));
    scratch_.assign(outputs_.size() * static_cast<std::size_t>(scratchFrames_), 0.0f);
}

void Plugin::takeRate(float rate) noexcept {
    if (isFinite(rate) && rate >= 1.0f && rate <= 1.0e7f) rate_ = rate;
}

void Plugin::setSampleRate(float rate) {
    EffectExt::setSampleRate(rate);
    takeRate(rate);
}

void Plugin::setBlockSize(std::int32_t size) {
    EffectExt::setBlockSize(size);
    sizeScratch(size);
}

void Plugin::setBlockSizeAndSampleRate(std::int32_t size, float rate) {
    EffectExt::setBlockSizeAndSampleRate(size, rate);
    sizeScratch(size);
    takeRate(rate);
}

void Plugin::resume() {
    queue_.clear();
    if (description_.midiInput || (record.flags & effFlagsIsSynth) != 0) hostWantMidi(1);
}

// ---- parameters ------------------------------------------------------------------------

void Plugin::setParameter(std::int32_t index, float value) {
    if (validParameter(index) && isFinite(value)) {
        slot(current_.load(std::memory_order_relaxed), index).store(unitOr(value, 0.0f), std::memory_order_relaxed);
    }
}

float Plugin::getParameter(std::int32_t index) { return normalised(index); }

void Plugin::getParamName(std::int32_t index, char* text) {
    copyText(text, validParameter(index) ? description_.parameters[static_cast<std::size_t>(index)].name : "",
             kParamTextMax);
}

void Plugin::getParamLabel(std::int32_t index, char* text) {
    if (!validParameter(index)) return copyText(text, "", kParamTextMax);
    copyText(text, description_.parameters[static_cast<std::size_t>(index)].show(plain(index)).unit, kParamTextMax);
}

void Plugin::getParamDisplay(std::int32_t index, char* text) {
    if (!validParameter(index)) return copyText(text, "", kParamTextMax);
    copyText(text, description_.parameters[static_cast<std::size_t>(index)].show(plain(index)).text, kParamTextMax);
}

bool Plugin::canBeAutomated(std::int32_t index) {
    return validParameter(index) && description_.parameters[static_cast<std::size_t>(index)].automatable;
}

bool Plugin::string2Parameter(std::int32_t index, char* text) {
    if (!validParameter(index)) return false;
    if (text == nullptr) return true;  // hosts ask whether texts are taken at all
    const Parameter& param = description_.parameters[static_cast<std::size_t>(index)];
    double value = 0.0;
    if (!param.parse(text, value)) return false;
    setParameter(index, static_cast<float>(param.range.toNormalised(value)));
    return true;
}

bool Plugin::getParameterProperties(std::int32_t index, VstParameterProperties* properties) {
    if (!validParameter(index) || properties == nullptr) return false;
    const Parameter& param = description_.parameters[static_cast<std::size_t>(index)];
    copyText(properties->label, param.name, kLongNameMax);
    copyText(properties->shortLabel, param.shortName, kShortNameMax);
    const Range& r = param.range;
    std::int32_t flags = 0;
    if (r.mapping == Mapping::Stepped || r.mapping == Mapping::Choice) {
        flags = kVstParameterUsesIntegerMinMax | kVstParameterUsesIntStep;
        properties->minInteger = static_cast<std::int32_t>(r.min);
        properties->maxInteger = static_cast<std::int32_t>(r.max);
        properties->stepInteger = 1;
        properties->largeStepInteger = 1;
        if (r.mapping == Mapping::Choice && r.count == 2) flags |= kVstParameterIsSwitch;
    } else if (param.format == fmt::onOff) {
        flags = kVstParameterIsSwitch;
    } else {
        flags = kVstParameterUsesFloatStep | kVstParameterCanRamp;
        properties->stepFloat = 0.01f;
        properties->smallStepFloat = 0.001f;
        properties->largeStepFloat = 0.1f;
    }
    properties->flags = flags;
    return true;
}

// ---- programs -----------------------------------------------------------------------------

void Plugin::setProgram(std::int32_t program) {
    if (program < 0 || program >= programs_) return;
    curProgram = program;
    current_.store(program);
}

void Plugin::setProgramName(char* name) {
    if (name != nullptr) copyText(names_[static_cast<std::size_t>(current_.load())].data(), name, kProgramNameMax);
}

void Plugin::getProgramName(char* name) {
    copyText(name, names_[static_cast<std::size_t>(current_.load())].data(), kProgramNameMax);
}

bool Plugin::getProgramNameIndexed(std::int32_t, std::int32_t index, char* text) {
    if (text == nullptr || index < 0 || index >= programs_) return false;
    copyText(text, names_[static_cast<std::size_t>(index)].data(), kProgramNameMax);
    return true;
}

bool Plugin::copyProgram(std::int32_t destination) {
    if (destination < 0 || destination >= programs_) return false;
    const std::int32_t from = current_.load();
    names_[static_cast<std::size_t>(destination)] = names_[static_cast<std::size_t>(from)];
    for (std::int32_t i = 0; i < parameterCount(); ++i) slot(destination, i).store(slot(from, i).load());
    return true;
}

// ---- state ------------------------------------------------------------------------------------

std::int32_t Plugin::getChunk(void* data, bool isPreset) {
    if (data == nullptr) return 0;
    try {
        chunk_.clear();
        Writer w(chunk_);
        w.bytes(kMagic, 4);
        w.u32(kLayoutVersion);
        w.u32(isPreset ? kKindProgram : kKindBank);
        w.u32(static_cast<std::uint32_t>(record.uniqueID));
        w.u32(description_.dataVersion);
        const std::int32_t current = current_.load();
        w.u32(isPreset ? 1u : static_cast<std::uint32_t>(programs_));
        w.u32(isPreset ? 0u : static_cast<std::uint32_t>(current));
        for (std::int32_t p = isPreset ? current : 0; p < (isPreset ? current + 1 : programs_); ++p) {
            char name[kNameField] = {};
            copyText(name, names_[static_cast<std::size_t>(p)].data(), kProgramNameMax);
            w.bytes(name, kNameField);
            w.u32(static_cast<std::uint32_t>(parameterCount()));
            for (std::int32_t i = 0; i < parameterCount(); ++i) {
                w.u32(description_.parameters[static_cast<std::size_t>(i)].id);
                w.f32(slot(p, i).load());
            }
        }
        std::vector<unsigned char> own;
        Writer ownWriter(own);
        saveData(ownWriter);
        w.u32(static_cast<std::uint32_t>(own.size()));
        w.bytes(own.data(), own.size());
    } catch (...) {
        return 0;  // out of memory: nothing to hand out
    }
    void* address = chunk_.data();
    std::memcpy(data, &address, sizeof address);
    return static_cast<std::int32_t>(chunk_.size());
}

Snapshot Plugin::emptySnapshot(std::size_t programs) const {
    Snapshot s;
    s.programs.resize(programs);
    for (auto& p : s.programs) {
        p.values.resize(description_.parameters.size());
        p.known.assign(description_.parameters.size(), false);
        for (std::size_t i = 0; i < description_.parameters.size(); ++i) {
            const Parameter& param = description_.parameters[i];
            p.values[i] = static_cast<float>(param.range.toNormalised(param.defaultValue));
        }
    }
    return s;
}

bool Plugin::readChunk(const unsigned char* data, std::size_t size, bool isPreset, Snapshot& into) {
    Reader r(data, size);
    r.bytes(4);
    const std::uint32_t layout = r.u32(), kind = r.u32(), id = r.u32(), dataVersion = r.u32();
    const std::uint32_t programs = r.u32(), current = r.u32();
    if (!r.ok() || layout != kLayoutVersion || kind != (isPreset ? kKindProgram : kKindBank) ||
        id != static_cast<std::uint32_t>(record.uniqueID)) {
        return false;
    }
    if (isPreset ? (programs != 1 || current != 0) : (programs == 0 || programs > kMostPrograms || current >= programs)) {
        return false;
    }
    into = emptySnapshot(programs);
    into.current = static_cast<std::int32_t>(current);
    for (auto& program : into.programs) {
        const unsigned char* name = r.bytes(kNameField);
        const std::uint32_t values = r.u32();
        if (!r.ok() || std::memchr(name, 0, kNameField) == nullptr || values > r.left() / 8) return false;
        std::memcpy(program.name, name, kNameField);
        for (std::uint32_t k = 0; k < values; ++k) {
            const std::uint32_t pid = r.u32();
            const float v = r.f32();
            if (!isFinite(v) || v < 0.0f || v > 1.0f) return false;
            for (std::size_t i = 0; i < description_.parameters.size(); ++i) {
                if (description_.parameters[i].id == pid) {  // ids it does not know are skipped
                    program.values[i] = v;
                    program.known[i] = true;
                }
            }
        }
    }
    const std::uint32_t ownSize = r.u32();
    const unsigned char* own = ownSize <= r.left() ? r.bytes(ownSize) : nullptr;
    if (!r.atEnd() || (ownSize > 0 && own == nullptr)) return false;
    Reader ownReader(own, ownSize);
    return loadData(ownReader, dataVersion);
}

std::int32_t Plugin::setChunk(void* data, std::int32_t byteSize, bool isPreset) {
    if (data == nullptr || byteSize <= 0) return 0;
    const auto* bytes = static_cast<const unsigned char*>(data);
    const auto size = static_cast<std::size_t>(byteSize);
    try {
        Snapshot s;
        bool taken = false;
        if (size >= 4 && std::memcmp(bytes, kMagic, 4) == 0) {
            taken = readChunk(bytes, size, isPreset, s);
        } else {
            s = emptySnapshot(isPreset ? 1 : static_cast<std::size_t>(programs_));
            taken = loadOlderChunk(bytes, size, isPreset, s);
            if (taken && (s.programs.empty() || s.current < 0 || s.current >= count(s.programs.size()))) taken = false;
        }
        if (!taken) return 0;
        apply(s, isPreset);
        return 1;
    } catch (...) {
        return 0;  // out of memory while reading: nothing changed
    }
}

void Plugin::apply(const Snapshot& s, bool isPreset) noexcept {
    const auto put = [&](std::int32_t p, const Snapshot::Program& from) {
        copyText(names_[static_cast<std::size_t>(p)].data(), from.name, kProgramNameMax);
        for (std::int32_t i = 0; i < parameterCount() && static_cast<std::size_t>(i) < from.values.size(); ++i) {
            slot(p, i).store(unitOr(from.values[static_cast<std::size_t>(i)], 0.0f));
        }
    };
    if (isPreset) {
        put(current_.load(), s.programs.front());
        return;
    }
    for (std::int32_t p = 0; p < programs_ && static_cast<std::size_t>(p) < s.programs.size(); ++p) {
        put(p, s.programs[static_cast<std::size_t>(p)]);
    }
    setProgram(s.current);
}

// ---- identity and pins ------------------------------------------------------------------------

bool Plugin::getEffectName(char* name) { return answer(name, description_.name, kEffectNameMax); }
bool Plugin::getVendorString(char* text) { return answer(text, description_.vendor, kVendorTextMax); }
bool Plugin::getProductString(char* text) { return answer(text, description_.product, kVendorTextMax); }
std::int32_t Plugin::getVendorVersion() { return description_.version; }
std::int32_t Plugin::getPlugCategory() { return category_; }

std::int32_t Plugin::canDo(char* text) {
    if (text == nullptr) return -1;
    const bool midi = description_.midiInput || (record.flags & effFlagsIsSynth) != 0;
    if (std::strcmp(text, "receiveVstEvents") == 0 || std::strcmp(text, "receiveVstMidiEvent") == 0) {
        return midi ? 1 : -1;
    }
    if (std::strcmp(text, "plugAsChannelInsert") == 0) return (record.flags & effFlagsIsSynth) == 0 ? 1 : -1;
    char pins[16];
    (void)std::snprintf(pins, sizeof pins, "%din%dout", record.numInputs, record.numOutputs);
    return std::strcmp(text, pins) == 0 ? 1 : -1;
}

bool Plugin::describePin(std::span<const Pin> pins, std::int32_t index, VstPinProperties* properties) noexcept {
    if (properties == nullptr || index < 0 || index >= count(pins.size())) return false;
    const Pin& pin = pins[static_cast<std::size_t>(index)];
    const bool second = index > 0 && pins[static_cast<std::size_t>(index) - 1].stereo;
    copyText(properties->label, pin.name, kPinLabelMax);
    copyText(properties->shortLabel, pin.shortName, kShortNameMax);
    properties->flags = kVstPinIsActive | kVstPinUseSpeaker | (pin.stereo ? kVstPinIsStereo : 0);
    properties->arrangementType = pin.stereo || second ? kVstSpeakerArrStereo : kVstSpeakerArrMono;
    return true;
}

bool Plugin::getInputProperties(std::int32_t index, VstPinProperties* properties) {
    return describePin(description_.inputs, index, properties);
}

bool Plugin::getOutputProperties(std::int32_t index, VstPinProperties* properties) {
    return describePin(description_.outputs, index, properties);
}

}  // namespace kstv
