// A test effect that sends MIDI: each note it receives comes back an octave
// up, at the same frame, and its audio passes through. Written on EffectExt
// alone, it also stands for effects without the layer's tables.
#include <cstring>

#include "host/effect_ext.h"
#include "host/entry.h"

namespace {

class MidiEcho : public EffectExt {
public:
    explicit MidiEcho(audioMasterCallback host) : EffectExt(host, 0, 0) {
        setNumInputs(1);
        setNumOutputs(1);
        setUniqueId(fourCharCode('K', 't', 'M', 'e'));
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
    void process(float** in, float** out, std::int32_t frames) override {
        for (std::int32_t i = 0; i < frames; ++i) out[0][i] += in[0][i];
    }
    void processReplacing(float** in, float** out, std::int32_t frames) override {
        if (in[0] != out[0]) std::memmove(out[0], in[0], sizeof(float) * static_cast<std::size_t>(frames));
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

KSTV_PLUGIN_ENTRY(MidiEcho);
