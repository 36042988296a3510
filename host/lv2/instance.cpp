#include "host/lv2/instance.h"

#include <cmath>
#include <cstring>
#include <new>

#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/time/time.h>

#include "host/abi/opcodes.h"
#include "host/parameter.h"

namespace kstv::lv2 {

namespace {

// The instance being made: the effect's constructor may call back before
// its record can point at the adapter.
thread_local Instance* tCreating = nullptr;

VstIntPtr ask(AEffect* e, std::int32_t opcode, std::int32_t index = 0, VstIntPtr value = 0, void* ptr = nullptr,
              float opt = 0.0f) {
    return e->dispatcher(e, opcode, index, value, ptr, opt);
}

const void* feature(const LV2_Feature* const* features, const char* uri) noexcept {
    for (; features != nullptr && *features != nullptr; ++features) {
        if ((*features)->URI != nullptr && std::strcmp((*features)->URI, uri) == 0) return (*features)->data;
    }
    return nullptr;
}

std::uint32_t bitsOf(float v) noexcept {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

}  // namespace

Instance::Instance(const ModuleEntry& entry, double rate) : entry_(entry), rate_(rate) {}

Instance* Instance::create(const ModuleEntry& entry, double rate, const LV2_Feature* const* features) noexcept {
    if (!isFinite(rate) || rate < 1.0 || rate > 1.0e7) return nullptr;
    Instance* instance = new (std::nothrow) Instance(entry, rate);
    if (instance == nullptr) return nullptr;
    bool opened = false;
    try {
        opened = instance->open(features);
    } catch (...) {
        opened = false;  // out of memory while describing: no instance
    }
    if (!opened) {
        delete instance;
        return nullptr;
    }
    return instance;
}

bool Instance::open(const LV2_Feature* const* features) {
    map_ = static_cast<LV2_URID_Map*>(const_cast<void*>(feature(features, LV2_URID__map)));
    if (map_ != nullptr && map_->map != nullptr) {
        const auto m = [this](const char* uri) { return map_->map(map_->handle, uri); };
        urid_ = {m(LV2_ATOM__Sequence), m(LV2_ATOM__Chunk), m(LV2_ATOM__Object), m(LV2_ATOM__Blank),
                 m(LV2_ATOM__frameTime), m(LV2_ATOM__Int), m(LV2_ATOM__Long), m(LV2_ATOM__Float),
                 m(LV2_ATOM__Double), m(LV2_MIDI__MidiEvent), m(LV2_TIME__Position), m(LV2_TIME__bar),
                 m(LV2_TIME__barBeat), m(LV2_TIME__beatsPerBar), m(LV2_TIME__beatUnit), m(LV2_TIME__beatsPerMinute),
                 m(LV2_TIME__speed), m(LV2_TIME__frame), m(LV2_BUF_SIZE__maxBlockLength),
                 m(LV2_BUF_SIZE__nominalBlockLength), m(kChunkKey)};
    } else {
        map_ = nullptr;
    }
    takeOptions(features);

    tCreating = this;
    effect_ = entry_.main(&Instance::hostCallback);
    tCreating = nullptr;
    if (effect_ == nullptr || effect_->magic != kEffectMagic) {
        effect_ = nullptr;
        return false;
    }
    effect_->user = this;
    ask(effect_, effOpen);
    ask(effect_, effSetSampleRate, 0, 0, nullptr, static_cast<float>(rate_));
    ask(effect_, effSetBlockSize, 0, maxBlock_);
    layout_ = describe(effect_, entry_.layer != nullptr ? entry_.layer(effect_) : nullptr, false);
    // An instrument hears its notes through the event port, which needs the
    // host's URIs: without them it could not play.
    if (layout_.midiIn && layout_.instrument && map_ == nullptr) return false;

    inPorts_.assign(layout_.inputs.size(), nullptr);
    outPorts_.assign(layout_.outputs.size(), nullptr);
    controlPorts_.assign(layout_.controls.size(), nullptr);
    in_.assign(static_cast<std::size_t>(effect_->numInputs > 0 ? effect_->numInputs : 0) + 1, nullptr);
    out_.assign(static_cast<std::size_t>(effect_->numOutputs > 0 ? effect_->numOutputs : 0) + 1, nullptr);
    silence_.assign(static_cast<std::size_t>(maxBlock_), 0.0f);
    scratch_.assign(static_cast<std::size_t>(maxBlock_) * out_.size(), 0.0f);
    // Never a float a port can hold: the first run looks at every port.
    seen_.assign(layout_.controls.size(), 0.0f);
    for (float& s : seen_) {
        const std::uint32_t marker = 0x7FC0DEADu;
        std::memcpy(&s, &marker, sizeof s);
    }
    list_.assign(sizeof(VstEvents) + sizeof(void*) * kEventCapacity, 0);  // the slots are pointers
    // Until the host connects them, the ports read silence and write scratch.
    for (std::size_t c = 0; c < layout_.inputs.size(); ++c) in_[c] = silence_.data();
    for (std::size_t c = 0; c < layout_.outputs.size(); ++c) out_[c] = scratchFor(static_cast<std::uint32_t>(c));
    pieceIn_ = in_;
    pieceOut_ = out_;
    return true;
}

void Instance::takeOptions(const LV2_Feature* const* features) noexcept {
    const auto* options = static_cast<const LV2_Options_Option*>(feature(features, LV2_OPTIONS__options));
    if (options == nullptr || map_ == nullptr) return;
    std::int32_t nominal = 0, maximum = 0;
    for (; options->key != 0; ++options) {
        if (options->type != urid_.atomInt || options->size != sizeof(std::int32_t) || options->value == nullptr) continue;
        std::int32_t v = 0;
        std::memcpy(&v, options->value, sizeof v);
        if (options->key == urid_.maxBlock) maximum = v;
        if (options->key == urid_.nominalBlock) nominal = v;
    }
    const std::int32_t size = maximum > 0 ? maximum : nominal;
    if (size >= 1 && size <= (1 << 20)) maxBlock_ = size;
}

Instance::~Instance() {
    if (effect_ == nullptr) return;
    if (active_) ask(effect_, effMainsChanged, 0, 0);
    ask(effect_, effClose);  // the effect deletes itself
}

void Instance::connect(std::uint32_t port, void* data) noexcept {
    const std::uint32_t outputs = layout_.firstOutput(), controls = layout_.firstControl();
    if (port < outputs) {
        inPorts_[port] = static_cast<const float*>(data);
        in_[port] = data != nullptr ? static_cast<float*>(data) : silence_.data();
    } else if (port < controls) {
        outPorts_[port - outputs] = static_cast<float*>(data);
        out_[port - outputs] = data != nullptr ? static_cast<float*>(data) : scratchFor(port - outputs);
    } else if (port < layout_.latencyPort()) {
        controlPorts_[port - controls] = static_cast<const float*>(data);
    } else if (port == layout_.latencyPort()) {
        latencyPort_ = static_cast<float*>(data);
    } else if (port == layout_.eventPort()) {
        eventPort_ = static_cast<const LV2_Atom_Sequence*>(data);
    } else if (layout_.midiOut && port == layout_.midiOutPort()) {
        midiOutPort_ = static_cast<LV2_Atom_Sequence*>(data);
    }
}

void Instance::activate() noexcept {
    if (active_) return;
    // The control ports connected by now are taken before the effect
    // resumes, as a VST 2 host sets parameters before it resumes: an effect
    // that starts a ramp on a change made while running then starts at its
    // settings, not on a ramp towards them.
    readControls();
    ask(effect_, effMainsChanged, 0, 1);
    active_ = true;
}

void Instance::deactivate() noexcept {
    if (!active_) return;
    ask(effect_, effMainsChanged, 0, 0);
    active_ = false;
}

// ---- run ------------------------------------------------------------------------

// Asked on every run: a port that holds what it held last time costs a load
// and a compare.
inline void Instance::readControls() noexcept {
    const std::size_t count = controlPorts_.size();
    const float* const* ports = controlPorts_.data();
    float* seen = seen_.data();
    if (acknowledge_) [[unlikely]] {
        acknowledgePorts();
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const float* port = ports[i];
        if (port == nullptr || bitsOf(*port) == bitsOf(seen[i])) [[likely]] continue;
        changed(i);
    }
}

void Instance::run(std::uint32_t frames) noexcept {
    readControls();
    if (latencyPort_ != nullptr) *latencyPort_ = static_cast<float>(effect_->initialDelay);
    if (midiOutPort_ != nullptr) [[unlikely]] startMidiOut();
    // The usual run: no events (a host hands an empty sequence on most
    // runs), no longer than promised. One call, as a VST 2 host would make
    // it; the rest is out of this path.
    const auto total = static_cast<std::int32_t>(frames);
    if (total > 0 && total <= maxBlock_ &&
        (eventPort_ == nullptr || eventPort_->atom.size <= sizeof(LV2_Atom_Sequence_Body))) [[likely]] {
        pieceStart_ = 0;
        pieceFrames_ = total;
        effect_->processReplacing(effect_, in_.data(), out_.data(), total);
        framesRun_ += total;
        return;
    }
    runInPieces(frames);
}

void Instance::startMidiOut() noexcept {
    if (map_ == nullptr) return;
    outCapacity_ = midiOutPort_->atom.size;
    lv2_atom_sequence_clear(midiOutPort_);
    midiOutPort_->atom.type = urid_.sequence;
    lastOutFrame_ = 0;
}

// A run with events, or longer than the effect was promised: in pieces
// between them, none longer than the promise.
void Instance::runInPieces(std::uint32_t frames) noexcept {
    if (frames == 0 || frames > 0x7FFFFFFFu) return;
    if (eventPort_ != nullptr && eventPort_->atom.size > sizeof(LV2_Atom_Sequence_Body)) readEvents(frames);
    const auto total = static_cast<std::int32_t>(frames);
    std::int32_t nextEvent = 0;
    for (std::int32_t start = 0; start < total; start += maxBlock_) {
        renderPiece(start, total - start < maxBlock_ ? total - start : maxBlock_, nextEvent);
    }
    pendingCount_ = 0;
}

void Instance::acknowledgePorts() noexcept {
    for (std::size_t i = 0; i < controlPorts_.size(); ++i) {
        if (controlPorts_[i] != nullptr) seen_[i] = *controlPorts_[i];
    }
    acknowledge_ = false;
}

void Instance::changed(std::size_t i) noexcept {
    const float value = *controlPorts_[i];
    seen_[i] = value;
    // A port that holds what the effect has already changes nothing: a
    // host's first run, or ports set to the values of a state just
    // restored, keep the effect's values to the bit.
    const ControlPort& c = layout_.controls[i];
    if (!isFinite(value) || value == c.fromNormalised(effect_->getParameter(effect_, c.parameter))) return;
    effect_->setParameter(effect_, c.parameter, c.toNormalised(value));
}

void Instance::readEvents(std::uint32_t frames) noexcept {
    const LV2_Atom_Sequence* seq = eventPort_;
    if (seq == nullptr || map_ == nullptr || seq->atom.type != urid_.sequence) return;
    if (seq->body.unit != 0 && seq->body.unit != urid_.frameTime) return;  // times in beats: not ours to place
    // Walked by hand, every size checked against the sequence's own.
    const std::uint32_t total = seq->atom.size;
    if (total < sizeof(LV2_Atom_Sequence_Body)) return;
    const auto* base = reinterpret_cast<const unsigned char*>(&seq->body);
    std::uint32_t at = sizeof(LV2_Atom_Sequence_Body);
    while (at + sizeof(LV2_Atom_Event) <= total) {
        const auto* ev = reinterpret_cast<const LV2_Atom_Event*>(base + at);
        const std::uint32_t size = ev->body.size;
        if (size > total - at - sizeof(LV2_Atom_Event)) break;  // runs past the sequence
        std::int64_t frame = ev->time.frames;
        frame = frame < 0 ? 0 : (frame >= static_cast<std::int64_t>(frames) ? frames - 1 : frame);
        const auto* body = reinterpret_cast<const unsigned char*>(ev + 1);
        if (ev->body.type == urid_.midiEvent && size >= 1 && size <= 3 && body[0] >= 0x80 && body[0] < 0xF0 &&
            layout_.midiIn && pendingCount_ < kEventCapacity) {
            Pending p{static_cast<std::int32_t>(frame), {0, 0, 0}, static_cast<std::uint8_t>(size)};
            std::memcpy(p.bytes, body, size);
            // In frame order, those of one frame as they came: an insertion
            // sort, as a host's sequence is nearly always in order already.
            std::int32_t k = pendingCount_++;
            while (k > 0 && pending_[k - 1].frame > p.frame) {
                pending_[k] = pending_[k - 1];
                --k;
            }
            pending_[k] = p;
        } else if ((ev->body.type == urid_.object || ev->body.type == urid_.blank) &&
                   size >= sizeof(LV2_Atom_Object_Body)) {
            readPosition(reinterpret_cast<const LV2_Atom_Object_Body*>(body), size);
        }
        at += static_cast<std::uint32_t>(sizeof(LV2_Atom_Event)) + ((size + 7u) & ~7u);
    }
}

// A time:Position: what it says is taken from this run on. What it leaves
// out goes on from where the song was.
void Instance::readPosition(const LV2_Atom_Object_Body* body, std::uint32_t size) noexcept {
    if (body->otype != urid_.position) return;
    double sample = currentSample(), beats = currentBeats();
    double bar = -1.0, barBeat = -1.0;
    const auto* base = reinterpret_cast<const unsigned char*>(body);
    std::uint32_t at = sizeof(LV2_Atom_Object_Body);
    while (at + sizeof(LV2_Atom_Property_Body) <= size) {
        const auto* prop = reinterpret_cast<const LV2_Atom_Property_Body*>(base + at);
        const std::uint32_t valueSize = prop->value.size;
        if (valueSize > size - at - sizeof(LV2_Atom_Property_Body)) break;
        const void* v = prop + 1;
        double number = 0.0;
        bool numeric = true;
        if (prop->value.type == urid_.atomFloat && valueSize >= 4) {
            float f;
            std::memcpy(&f, v, 4);
            number = f;
        } else if (prop->value.type == urid_.atomDouble && valueSize >= 8) {
            std::memcpy(&number, v, 8);
        } else if (prop->value.type == urid_.atomInt && valueSize >= 4) {
            std::int32_t n;
            std::memcpy(&n, v, 4);
            number = n;
        } else if (prop->value.type == urid_.atomLong && valueSize >= 8) {
            std::int64_t n;
            std::memcpy(&n, v, 8);
            number = static_cast<double>(n);
        } else {
            numeric = false;
        }
        if (numeric && isFinite(number)) {
            const LV2_URID key = prop->key;
            if (key == urid_.bpm && number >= 1.0 && number <= 1000.0) {
                bpm_ = number;
                hasTempo_ = true;
            } else if (key == urid_.speed && number >= -1000.0 && number <= 1000.0) {
                speed_ = number;
            } else if (key == urid_.frame && number >= 0.0 && number < 1.0e15) {
                sample = number;
            } else if (key == urid_.bar && number >= 0.0 && number < 1.0e12) {
                bar = number;
            } else if (key == urid_.barBeat && number >= 0.0 && number < 1000.0) {
                barBeat = number;
            } else if (key == urid_.beatsPerBar && number >= 1.0 && number <= 255.0) {
                beatsPerBar_ = number;
                hasSignature_ = true;
            } else if (key == urid_.beatUnit && number >= 1.0 && number <= 64.0) {
                beatUnit_ = number;
            }
        }
        at += static_cast<std::uint32_t>(sizeof(LV2_Atom_Property_Body)) + ((valueSize + 7u) & ~7u);
    }
    if (bar >= 0.0 || barBeat >= 0.0) {
        if (bar < 0.0) bar = std::floor(beats / beatsPerBar_);
        beats = bar * beatsPerBar_ + (barBeat >= 0.0 ? barBeat : 0.0);
        hasBar_ = true;
    }
    hasPosition_ = true;
    baseSample_ = sample;
    baseBeats_ = beats;
    baseFrames_ = framesRun_;
}

// Where the song is at the start of the piece being rendered: from the last
// position the host gave, moved on by the frames since at its speed (and a
// host that gives none: a clock counting frames).
double Instance::currentSample() const noexcept {
    const double elapsed = static_cast<double>(framesRun_ - baseFrames_);
    return baseSample_ + elapsed * (hasPosition_ ? speed_ : 1.0);
}

double Instance::currentBeats() const noexcept {
    if (!hasTempo_) return baseBeats_;
    const double elapsed = static_cast<double>(framesRun_ - baseFrames_);
    return baseBeats_ + elapsed * (hasPosition_ ? speed_ : 1.0) * bpm_ / (60.0 * rate_);
}

// The record audioMasterGetTime answers during a piece, as a VST 2 host
// fills it: the song position in quarter notes, the bar's start, tempo and
// signature where the host said them.
void Instance::fillTime() noexcept {
    time_ = VstTimeInfo{};
    time_.samplePos = currentSample();
    time_.sampleRate = rate_;
    time_.flags = hasPosition_ && speed_ != 0.0 ? kVstTransportPlaying : 0;
    if (hasTempo_) {
        time_.tempo = bpm_;
        time_.flags |= kVstTempoValid;
    }
    if (hasSignature_) {
        time_.timeSigNumerator = static_cast<std::int32_t>(beatsPerBar_);
        time_.timeSigDenominator = static_cast<std::int32_t>(beatUnit_);
        time_.flags |= kVstTimeSigValid;
    }
    if (hasBar_) {
        const double beats = currentBeats();
        const double quarters = 4.0 / beatUnit_;  // per beat
        time_.barStartPos = std::floor(beats / beatsPerBar_) * beatsPerBar_ * quarters;
        time_.ppqPos = beats * quarters;
        time_.flags |= kVstPpqPosValid | kVstBarsValid;
    }
}

void Instance::renderPiece(std::int32_t start, std::int32_t frames, std::int32_t& nextEvent) noexcept {
    // This piece's events, their frames counted from its start.
    auto* list = reinterpret_cast<VstEvents*>(list_.data());
    std::int32_t count = 0;
    while (nextEvent < pendingCount_ && pending_[nextEvent].frame < start + frames) {
        const Pending& p = pending_[nextEvent++];
        VstMidiEvent& m = midi_[count];
        m = VstMidiEvent{};
        m.type = kVstMidiType;
        m.byteSize = sizeof(VstMidiEvent) - 8;
        m.deltaFrames = p.frame - start;
        std::memcpy(m.midiData, p.bytes, p.size);
        eventSlots(list)[count++] = reinterpret_cast<VstEvent*>(&m);
    }
    if (count > 0) {
        list->numEvents = count;
        list->reserved = 0;
        ask(effect_, effProcessEvents, 0, 0, list);
    }
    // Connected ports advance to the piece; silence and scratch stay.
    for (std::size_t c = 0; c < layout_.inputs.size(); ++c) {
        pieceIn_[c] = inPorts_[c] != nullptr ? in_[c] + start : in_[c];
    }
    for (std::size_t c = 0; c < layout_.outputs.size(); ++c) {
        pieceOut_[c] = outPorts_[c] != nullptr ? out_[c] + start : out_[c];
    }
    pieceStart_ = start;
    pieceFrames_ = frames;
    effect_->processReplacing(effect_, pieceIn_.data(), pieceOut_.data(), frames);
    framesRun_ += frames;
}

// MIDI the effect sends during a piece: appended to the output sequence in
// time order, while it has room.
void Instance::sendMidi(const VstEvents* events) noexcept {
    if (events == nullptr || midiOutPort_ == nullptr || map_ == nullptr || outCapacity_ == 0) return;
    for (std::int32_t i = 0; i < events->numEvents; ++i) {
        const VstEvent* e = eventSlots(events)[i];
        if (e == nullptr || e->type != kVstMidiType) continue;
        const auto* m = reinterpret_cast<const VstMidiEvent*>(e);
        const auto status = static_cast<unsigned char>(m->midiData[0]);
        if (status < 0x80) continue;
        std::int32_t frame = m->deltaFrames < 0 ? 0 : (m->deltaFrames >= pieceFrames_ ? pieceFrames_ - 1 : m->deltaFrames);
        frame += pieceStart_;
        if (frame < lastOutFrame_) frame = lastOutFrame_;
        lastOutFrame_ = frame;
        const std::uint32_t size = status >= 0xF0 ? 1u : ((status & 0xE0) == 0xC0 ? 2u : 3u);
        struct {
            LV2_Atom_Event event;
            unsigned char bytes[8];
        } out{};
        out.event.time.frames = frame;
        out.event.body.type = urid_.midiEvent;
        out.event.body.size = size;
        std::memcpy(out.bytes, m->midiData, size);
        if (lv2_atom_sequence_append_event(midiOutPort_, outCapacity_, &out.event) == nullptr) return;  // full
    }
}

// ---- state ------------------------------------------------------------------------

LV2_State_Status Instance::save(LV2_State_Store_Function store, LV2_State_Handle handle) noexcept {
    if (!layout_.chunks || map_ == nullptr || store == nullptr) return LV2_STATE_SUCCESS;  // the ports say it all
    void* data = nullptr;
    const VstIntPtr size = ask(effect_, effGetChunk, 0, 0, &data);
    if (size <= 0 || data == nullptr) return LV2_STATE_ERR_UNKNOWN;
    return store(handle, urid_.chunkKey, data, static_cast<std::size_t>(size), urid_.chunk,
                 LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
}

LV2_State_Status Instance::restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle) noexcept {
    if (map_ == nullptr || retrieve == nullptr) return LV2_STATE_ERR_NO_FEATURE;
    std::size_t size = 0;
    std::uint32_t type = 0, flags = 0;
    const void* data = retrieve(handle, urid_.chunkKey, &size, &type, &flags);
    if (data == nullptr) return LV2_STATE_SUCCESS;  // a state of ports alone
    if (type != urid_.chunk) return LV2_STATE_ERR_BAD_TYPE;
    if (!layout_.chunks || size == 0 || size > 0x7FFFFFFFu) return LV2_STATE_ERR_UNKNOWN;
    try {
        // The effect's request takes a writable pointer; the host's bytes are not ours to hand it.
        std::vector<unsigned char> chunk(static_cast<const unsigned char*>(data),
                                         static_cast<const unsigned char*>(data) + size);
        if (ask(effect_, effSetChunk, 0, static_cast<VstIntPtr>(size), chunk.data()) == 0) return LV2_STATE_ERR_UNKNOWN;
    } catch (...) {
        return LV2_STATE_ERR_UNKNOWN;
    }
    // The ports still hold the values from before: until the host moves
    // one, the state's values stand.
    acknowledge_ = true;
    return LV2_STATE_SUCCESS;
}

// ---- the host the effect sees ---------------------------------------------------------

VstIntPtr VST_CALL Instance::hostCallback(AEffect* effect, std::int32_t opcode, std::int32_t, VstIntPtr,
                                          void* ptr, float) {
    Instance* self = effect != nullptr && effect->user != nullptr ? static_cast<Instance*>(effect->user) : tCreating;
    switch (opcode) {
    case audioMasterVersion:
        return 2400;
    case audioMasterGetTime:
        // Filled when asked: most effects never ask, and pay nothing for it.
        if (self == nullptr || self->effect_ == nullptr) return 0;
        self->fillTime();
        return reinterpret_cast<VstIntPtr>(&self->time_);
    case audioMasterGetSampleRate:
        return self != nullptr ? static_cast<VstIntPtr>(self->rate_) : 0;
    case audioMasterGetBlockSize:
        return self != nullptr ? self->maxBlock_ : 0;
    case audioMasterWantMidi:
    case audioMasterIOChanged:
        return 1;
    case audioMasterProcessEvents:
        if (self != nullptr) self->sendMidi(static_cast<const VstEvents*>(ptr));
        return 1;
    case audioMasterCanDo: {
        const char* word = static_cast<const char*>(ptr);
        if (word == nullptr) return 0;
        for (const char* yes : {"sendVstEvents", "sendVstMidiEvent", "sendVstTimeInfo", "receiveVstEvents",
                                "receiveVstMidiEvent"}) {
            if (std::strcmp(word, yes) == 0) return 1;
        }
        return 0;
    }
    default:
        return 0;
    }
}

// ---- the descriptor -----------------------------------------------------------------

namespace {

const ModuleEntry* gEntry = nullptr;

LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const* features) {
    return gEntry != nullptr ? Instance::create(*gEntry, rate, features) : nullptr;
}
void connectPort(LV2_Handle h, uint32_t port, void* data) { static_cast<Instance*>(h)->connect(port, data); }
void activate(LV2_Handle h) { static_cast<Instance*>(h)->activate(); }
void run(LV2_Handle h, uint32_t frames) { static_cast<Instance*>(h)->run(frames); }
void deactivate(LV2_Handle h) { static_cast<Instance*>(h)->deactivate(); }
void cleanup(LV2_Handle h) { delete static_cast<Instance*>(h); }

LV2_State_Status saveState(LV2_Handle h, LV2_State_Store_Function store, LV2_State_Handle handle, uint32_t,
                           const LV2_Feature* const*) {
    return static_cast<Instance*>(h)->save(store, handle);
}
LV2_State_Status restoreState(LV2_Handle h, LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle, uint32_t,
                              const LV2_Feature* const*) {
    return static_cast<Instance*>(h)->restore(retrieve, handle);
}
const LV2_State_Interface kState{saveState, restoreState};

int writeBundle(const char* folder, const char* binary, char* error, unsigned long errorSize);
const BundleWriter kBundleWriter{writeBundle};

const void* extensionData(const char* uri) {
    if (uri == nullptr) return nullptr;
    if (std::strcmp(uri, LV2_STATE__interface) == 0) return &kState;
    if (std::strcmp(uri, kBundleWriterUri) == 0) return &kBundleWriter;
    return nullptr;
}

}  // namespace

const LV2_Descriptor* descriptor(const ModuleEntry& entry) noexcept {
    static const LV2_Descriptor d = [&entry] {
        gEntry = &entry;
        return LV2_Descriptor{entry.uri, instantiate, connectPort, activate, run, deactivate, cleanup, extensionData};
    }();
    return &d;
}

}  // namespace kstv::lv2

// The bundle writer lives in turtle.cpp; it needs the module entry too.
namespace kstv::lv2 {
int writeBundleFor(const ModuleEntry& entry, const char* folder, const char* binary, char* error,
                   unsigned long errorSize) noexcept;
namespace {
int writeBundle(const char* folder, const char* binary, char* error, unsigned long errorSize) {
    return gEntry != nullptr ? writeBundleFor(*gEntry, folder, binary, error, errorSize) : 1;
}
}  // namespace
}  // namespace kstv::lv2
