// A test effect that shows what its host tells it. Each note it receives
// comes back an octave up, at the same frame (the host's MIDI output); its
// output carries, in the first frames of each render call, the time the host
// answers: song position in quarter notes, tempo, sample position, the
// bar's start, the signature, whether it plays (the rest of the block is
// silence). Written on EffectExt alone, it also stands for effects without
// the layer's tables.
#include <cstring>

#include "host/effect_ext.h"
#include "host/entry.h"

namespace {

class Probe : public EffectExt {
public:
    explicit Probe(audioMasterCallback host) : EffectExt(host, 0, 0) {
        setNumInputs(1);
        setNumOutputs(1);
        setUniqueId(fourCharCode('K', 't', 'P', 'b'));
        setCanReplacing(true);
    }
    std::int32_t canDo(char* text) override {
        for (const char* yes : {"receiveVstEvents", "receiveVstMidiEvent", "sendVstEvents", "sendVstMidiEvent"}) {
            if (text != nullptr && std::strcmp(text, yes) == 0) return 1;
        }
        return -1;
    }
    std::int32_t processEvents(VstEvents* events) override {
        count_ = 0;
        for (std::int32_t i = 0; events != nullptr && i < events->numEvents && count_ < kMost; ++i) {
            const VstEvent* e = eventSlots(events)[i];
            if (e == nullptr || e->type != kVstMidiType) continue;
            VstMidiEvent m;
            std::memcpy(&m, e, sizeof m);
            if ((m.midiData[0] & 0xE0) == 0x80) m.midiData[1] = static_cast<char>((m.midiData[1] + 12) & 0x7F);
            echoes_[count_] = m;
            slots_[count_] = reinterpret_cast<VstEvent*>(&echoes_[count_]);
            ++count_;
        }
        return 1;
    }
    void process(float**, float**, std::int32_t) override {}
    void processReplacing(float**, float** out, std::int32_t frames) override {
        std::memset(out[0], 0, sizeof(float) * static_cast<std::size_t>(frames));
        if (const VstTimeInfo* t = hostGetTime(kVstTimeInfoAllValid); t != nullptr && frames >= 7) {
            const bool sig = (t->flags & kVstTimeSigValid) != 0;
            const float shown[] = {(t->flags & kVstPpqPosValid) ? static_cast<float>(t->ppqPos) : -1.0f,
                                   (t->flags & kVstTempoValid) ? static_cast<float>(t->tempo) : -1.0f,
                                   static_cast<float>(t->samplePos),
                                   (t->flags & kVstBarsValid) ? static_cast<float>(t->barStartPos) : -1.0f,
                                   sig ? static_cast<float>(t->timeSigNumerator) : -1.0f,
                                   sig ? static_cast<float>(t->timeSigDenominator) : -1.0f,
                                   (t->flags & kVstTransportPlaying) ? 1.0f : 0.0f};
            std::memcpy(out[0], shown, sizeof shown);
        }
        if (count_ == 0) return;
        // VstEvents holds two slots in place; the rest follow it in memory.
        auto* list = reinterpret_cast<VstEvents*>(listMemory_);
        list->numEvents = count_;
        list->reserved = 0;
        for (std::int32_t i = 0; i < count_; ++i) eventSlots(list)[i] = slots_[i];
        callHost(audioMasterProcessEvents, 0, 0, list);
        count_ = 0;
    }

private:
    static constexpr std::int32_t kMost = 32;
    VstMidiEvent echoes_[kMost]{};
    VstEvent* slots_[kMost]{};
    std::int32_t count_ = 0;
    alignas(VstEvents) unsigned char listMemory_[sizeof(VstEvents) + kMost * sizeof(VstEvent*)]{};
};

}  // namespace

KSTV_PLUGIN_ENTRY(Probe);
