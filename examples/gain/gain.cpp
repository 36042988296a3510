// The example of docs/writing-plugins.md, built and checked like every
// module; the page quotes the region between the doc markers.
// [doc:gain]
#include "host/effect_ext.h"
#include "host/entry.h"

class Gain : public EffectExt {
public:
    explicit Gain(audioMasterCallback host) noexcept : EffectExt(host, 0, 1) {
        setNumInputs(1);
        setNumOutputs(1);
        setCanReplacing(true);
        setUniqueId(fourCharCode('G', 'a', 'i', 'n'));
    }
    void process(float** in, float** out, std::int32_t frames) override {
        for (std::int32_t i = 0; i < frames; ++i) out[0][i] += in[0][i] * gain;
    }
    void processReplacing(float** in, float** out, std::int32_t frames) override {
        for (std::int32_t i = 0; i < frames; ++i) out[0][i] = in[0][i] * gain;
    }
    void setParameter(std::int32_t, float value) override { gain = value; }
    float getParameter(std::int32_t) override { return gain; }
    void getParamName(std::int32_t, char* text) override { copyHostText(text, "Gain"); }
    void getParamLabel(std::int32_t, char* text) override { copyHostText(text, "dB"); }
    void getParamDisplay(std::int32_t, char* text) override { formatDecibels(gain, text); }
    bool getEffectName(char* name) override { copyHostText(name, "Gain"); return true; }

private:
    float gain = 1.0f;
};

KSTV_PLUGIN_ENTRY(Gain);
// [/doc:gain]
