#include "synth/kestravian.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr char kEffectName[] = "Kestravian";
constexpr char kVendor[] = "Ulvo";
constexpr char kProduct[] = "Kestravian";
constexpr std::int32_t kVendorVersion = 1;
constexpr double kReferenceRate = 44100.0;
// The rate factors a sample rate may give: rates from about 4.4e-26 Hz to
// about 4.4e34 Hz, every rate a host could mean and far beyond.
constexpr double kSmallestRateFactor = 1e-30;
constexpr double kLargestRateFactor = 1e30;

// Byte offsets inside a MIDI event record (the common header is read
// through VstEvent; the MIDI bytes as raw bytes).
constexpr std::size_t kMidiDataOffset = 24;

// Whether a host's float is above zero and finite, decided on its bits. A
// host may run with invalid-operation traps unmasked, and comparing a NaN
// raises one (a signalling NaN even in a quiet comparison or std::isnan).
bool positiveAndFinite(float value) noexcept {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits != 0 && bits < 0x7F800000u;  // sign clear, not +0, exponent not all ones
}

// Copies a name into a host buffer and answers whether it did.
bool answerText(char* dst, const char* text) noexcept {
    if (dst == nullptr) return false;
    copyHostText(dst, text);
    return true;
}

}  // namespace

Kestravian::Kestravian(audioMasterCallback audioMasterIn) noexcept
    : EffectExt(audioMasterIn, 0, 0), rateFactor(1.0f) {
    if (audioMasterIn != nullptr) {
        setNumInputs(0);
        setNumOutputs(1);
        setCanReplacing(true);
        setHasVu(false);
        setHasClip(false);
        setIsSynth(true);
        setUniqueId(kKestravianId);
    }
    resetResonator();
}

Kestravian::~Kestravian() = default;

void Kestravian::resetResonator() noexcept { resonator.reset(); }

// ---- audio -------------------------------------------------------------------

void Kestravian::setParameter(std::int32_t, float) {}

float Kestravian::getParameter(std::int32_t) { return 0.0f; }

void Kestravian::process(float**, float** outputs, std::int32_t sampleFrames) {
    renderInto<Output::Add>(outputs, sampleFrames);
}

void Kestravian::processReplacing(float**, float** outputs, std::int32_t sampleFrames) {
    renderInto<Output::Replace>(outputs, sampleFrames);
}

// Renders into the host's first output buffer; a host that passes none
// still has its block's time pass (see render).
template <Kestravian::Output mode>
void Kestravian::renderInto(float** outputs, std::int32_t sampleFrames) noexcept {
    float* out = outputs != nullptr ? outputs[0] : nullptr;
    if (out != nullptr) {
        render<mode>(out, sampleFrames);
    } else {
        render<Output::Discard>(nullptr, sampleFrames);
    }
}

// One block: start each scheduled click on its frame (at most one start per
// frame, entries before frame 0 start on frame 0 and push later ones back),
// render the stretches between starts, then drop the whole schedule,
// including entries the block never reached. A host that passes no output
// buffer still has its block's time pass: the resonator runs on unheard.
//
// The resonator lives in locals for the whole block. While it rings, the
// only chain from one frame to the next is the product and its two roundings
// to float. The gate is decided from the new parts and leaves the frame loop
// when it closes: a branch that is always predicted "rings on", so the frames
// that follow do not wait for the gate's arithmetic. Closing sets the state
// to +0, exactly what the gate does frame by frame.
//
// A silent resonator (both parts exactly zero) stays silent until the next
// start: zero times any coefficient is zero, which the gate sets to +0
// again. The gate leaves only +0 and a start only a +0 imaginary part, so a
// silent resonator's every sample is +0, and frames up to the next start are
// written (or added) in bulk.
template <Kestravian::Output mode>
void Kestravian::render(float* out, std::int32_t sampleFrames) noexcept {
    const std::int64_t frames = sampleFrames;
    auto next = schedule.begin();
    const auto last = schedule.end();
    std::int64_t nextStart = next != last ? next->first : frames + 1;
    float re = resonator.state.real();
    float im = resonator.state.imag();
    double cr = resonator.coefficient.real();
    double ci = resonator.coefficient.imag();
    std::int64_t i = 0;
    while (i < frames) {
        if (i >= nextStart) {
            resonator.start(coefficients.get(next->second.note, rateFactor), next->second.velocity);
            re = resonator.state.real();
            im = resonator.state.imag();
            cr = resonator.coefficient.real();
            ci = resonator.coefficient.imag();
            ++next;
            nextStart = next != last ? next->first : frames + 1;
        }
        const std::int64_t stop = std::clamp<std::int64_t>(nextStart, i + 1, frames);
        if (!(re == 0.0f && im == 0.0f)) {
            while (i < stop) {
                if constexpr (mode == Output::Replace) out[i] = im;
                if constexpr (mode == Output::Add) out[i] = static_cast<float>(static_cast<double>(out[i]) + im);
                ++i;
                Resonator::multiply(re, im, cr, ci);
                if (Resonator::belowSilence(re, im)) [[unlikely]] {
                    re = 0.0f;
                    im = 0.0f;
                    break;
                }
            }
        }
        if constexpr (mode == Output::Replace) {
            std::fill(out + i, out + stop, 0.0f);
        } else if constexpr (mode == Output::Add) {
            // Adding the silent resonator's +0 still turns -0 into +0.
            for (std::int64_t k = i; k < stop; ++k) out[k] = out[k] + 0.0f;
        }
        i = stop;
    }
    resonator.state = {re, im};
    schedule.clear();
}

// ---- requests -----------------------------------------------------------------

void Kestravian::setProgram(std::int32_t) {}
void Kestravian::setProgramName(char*) {}
void Kestravian::getProgramName(char*) {}
void Kestravian::getParamLabel(std::int32_t, char*) {}
void Kestravian::getParamDisplay(std::int32_t, char*) {}
void Kestravian::getParamName(std::int32_t, char*) {}

void Kestravian::setSampleRate(float rate) {
    sampleRate = rate;
    // A rate of zero, below zero or NaN would make every later click grow
    // without bound or turn to NaN; the clicks keep the last good rate. So
    // they do for absurd rates whose factor leaves [kSmallestRateFactor,
    // kLargestRateFactor], infinity included: the first samples of a soft
    // click turn subnormal above about 3e38 Hz, and the factor times a note
    // overflows a float below about 1e-32 Hz. The bounds keep well clear.
    if (!positiveAndFinite(rate)) return;
    const double factor = kReferenceRate / static_cast<double>(rate);
    if (factor >= kSmallestRateFactor && factor <= kLargestRateFactor) rateFactor = static_cast<float>(factor);
}

void Kestravian::setBlockSize(std::int32_t size) { blockSize = size; }

void Kestravian::resume() { hostWantMidi(1); }

std::int32_t Kestravian::processEvents(VstEvents* events) {
    if (events == nullptr) return 1;  // no list: nothing to take
    VstEvent* const* slot = eventSlots(events);
    for (std::int32_t i = 0; i < events->numEvents; ++i) {
        const VstEvent* event = slot[i];
        if (event == nullptr || event->type != kVstMidiType) continue;
        const auto* midi = reinterpret_cast<const unsigned char*>(event) + kMidiDataOffset;
        if ((midi[0] & 0xF0) != 0x90) continue;  // note-ons of every channel only
        const ClickEntry click{static_cast<std::int16_t>(midi[2] & 0x7F), static_cast<std::int16_t>(midi[1] & 0x7F)};
        try {
            schedule.offer(event->deltaFrames, click);
        } catch (const std::bad_alloc&) {
            // No memory for one more entry: this note-on is dropped.
        }
    }
    return 1;
}

bool Kestravian::getProgramNameIndexed(std::int32_t, std::int32_t index, char*) { return index < 0; }

bool Kestravian::copyProgram(std::int32_t destination) { return destination < 0; }

bool Kestravian::getOutputProperties(std::int32_t index, VstPinProperties* properties) {
    if (index >= 1 || properties == nullptr) return false;
    (void)std::snprintf(properties->label, sizeof properties->label, "Click %1d", static_cast<int>(index + 1));
    properties->flags = kVstPinIsActive;
    return true;
}

bool Kestravian::getEffectName(char* name) { return answerText(name, kEffectName); }
bool Kestravian::getVendorString(char* text) { return answerText(text, kVendor); }
bool Kestravian::getProductString(char* text) { return answerText(text, kProduct); }
std::int32_t Kestravian::getVendorVersion() { return kVendorVersion; }

std::int32_t Kestravian::canDo(char* text) {
    if (text == nullptr) return -1;
    if (std::strcmp(text, "receiveVstEvents") == 0) return 1;
    if (std::strcmp(text, "receiveVstMidiEvent") == 0) return 1;
    return -1;
}
