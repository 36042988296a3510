// Polysynth: a small polyphonic instrument on kstv::Plugin. Eight voices, each
// a band-limited sawtooth through a resonant low-pass filter, shaped by an
// attack-decay-sustain-release envelope and scaled by the note's velocity;
// pitch bend of two semitones either way. Notes start and stop at their exact
// frames (the layer renders the block in pieces between events); cutoff and
// volume are smoothed.
#include <cmath>

#include "host/plugin.h"

namespace {

using kstv::Range;
namespace fmt = kstv::fmt;
enum Param : std::int32_t { kCutoff, kResonance, kAttack, kDecay, kSustain, kRelease, kVolume };

const kstv::Parameter kParams[] = {
    {1, "Cutoff", "Cutoff", "Hz", Range::logarithmic(40.0, 16000.0), 2000.0, fmt::hertz},
    {2, "Resonance", "Reso", "%", Range::linear(0.0, 0.95), 0.2, fmt::percent},
    {3, "Attack", "Attack", "ms", Range::logarithmic(1.0, 2000.0), 5.0, fmt::milliseconds},
    {4, "Decay", "Decay", "ms", Range::logarithmic(1.0, 4000.0), 300.0, fmt::milliseconds},
    {5, "Sustain", "Sustain", "%", Range::linear(0.0, 1.0), 0.6, fmt::percent},
    {6, "Release", "Release", "ms", Range::logarithmic(1.0, 4000.0), 200.0, fmt::milliseconds},
    {7, "Volume", "Volume", "dB", Range::linear(-40.0, 6.0), -6.0, fmt::dbValue},
};
const kstv::Program kPrograms[] = {
    {"Soft Pad", {1200.0, 0.1, 400.0, 800.0, 0.7, 900.0, -8.0}},
    {"Pluck", {3000.0, 0.4, 1.0, 250.0, 0.0, 150.0, -4.0}},
    {"Bright Lead", {8000.0, 0.3, 3.0, 100.0, 0.8, 80.0, -8.0}},
    {"Dark Bass", {300.0, 0.6, 2.0, 400.0, 0.5, 60.0, -3.0}},
};
const kstv::Pin kOuts[] = {{"Polysynth L", "L", true}, {"Polysynth R", "R"}};
const kstv::Description kDescription{.name = "Polysynth", .vendor = "Ulvo", .product = "Kestravian Polysynth",
                                     .parameters = kParams, .programs = kPrograms, .outputs = kOuts};

constexpr int kVoices = 8;
constexpr int kControlFrames = 32;  // the filter's coefficients follow the cutoff this often
constexpr double kPi = 3.14159265358979323846;
constexpr double kSilent = 1e-4;    // an envelope below this in release has ended

struct Voice {
    enum class Stage { Off, Attack, Decay, Sustain, Release } stage = Stage::Off;
    int note = 0, channel = 0;
    double velocity = 0.0, level = 0.0, phase = 0.0;
    double ic1 = 0.0, ic2 = 0.0;    // the filter's state
    unsigned long started = 0;      // for stealing the oldest
};

class Polysynth : public kstv::Plugin {
public:
    explicit Polysynth(audioMasterCallback host) : Plugin(host, kDescription) {}

    void resume() override {
        Plugin::resume();  // asks for MIDI
        for (Voice& v : voices_) v = Voice{};
        bend_ = 0.0;
        volume_.setTime(0.02, rate());
        volume_.reset(volumeGain());
        cutoff_.setTime(0.03 * rate() / kControlFrames, 1.0);  // in control periods
        cutoff_.reset(static_cast<float>(plain(kCutoff)));
    }

    void startBlock(std::int32_t) override {
        volume_.setTarget(volumeGain());
        cutoff_.setTarget(static_cast<float>(plain(kCutoff)));
        const double perFrame = 1.0 / rate();
        attackStep_ = perFrame * 1000.0 / plain(kAttack);
        decayFactor_ = std::exp(-perFrame * 1000.0 / plain(kDecay) * 4.6);  // -40 dB over the time shown
        releaseFactor_ = std::exp(-perFrame * 1000.0 / plain(kRelease) * 4.6);
        sustain_ = plain(kSustain);
        damping_ = 2.0 - 2.0 * plain(kResonance);
    }

    void onEvent(const kstv::Event& e) override {
        using Kind = kstv::Event::Kind;
        switch (e.kind) {
        case Kind::NoteOn: start(e.number, e.channel, e.value / 127.0); break;
        case Kind::NoteOff:
            for (Voice& v : voices_) {
                if (v.stage != Voice::Stage::Off && v.note == e.number && v.channel == e.channel) v.stage = Voice::Stage::Release;
            }
            break;
        case Kind::AllNotesOff:
            for (Voice& v : voices_) {
                if (v.stage != Voice::Stage::Off) v.stage = Voice::Stage::Release;
            }
            break;
        case Kind::PitchBend: bend_ = e.bend * 2.0; break;
        default: break;
        }
    }

    void render(const float* const*, float* const* out, std::int32_t frames) override {
        for (std::int32_t done = 0; done < frames; done += kControlFrames) {
            const std::int32_t n = frames - done < kControlFrames ? frames - done : kControlFrames;
            const double g = std::tan(kPi * std::fmin(cutoff_.next(), 0.45 * rate()) / rate());
            const double a1 = 1.0 / (1.0 + g * (g + damping_)), a2 = g * a1, a3 = g * a2;
            for (std::int32_t i = 0; i < n; ++i) out[0][done + i] = 0.0f;
            for (Voice& v : voices_) {
                if (v.stage == Voice::Stage::Off) continue;
                const double step = 440.0 * std::exp2((v.note - 69 + bend_) / 12.0) / rate();
                for (std::int32_t i = 0; i < n; ++i) {
                    const double x = saw(v.phase, step);
                    v.phase += step;
                    if (v.phase >= 1.0) v.phase -= 1.0;
                    const double v3 = x - v.ic2, v1 = a1 * v.ic1 + a2 * v3, v2 = v.ic2 + a2 * v.ic1 + a3 * v3;
                    v.ic1 = 2.0 * v1 - v.ic1;
                    v.ic2 = 2.0 * v2 - v.ic2;
                    out[0][done + i] += static_cast<float>(v2 * envelope(v) * v.velocity * 0.25);
                }
            }
            for (std::int32_t i = 0; i < n; ++i) {
                out[0][done + i] *= volume_.next();
                out[1][done + i] = out[0][done + i];
            }
        }
    }

private:
    void start(int note, int channel, double velocity) {
        Voice* pick = &voices_[0];
        for (Voice& v : voices_) {
            if (v.stage == Voice::Stage::Off) {
                pick = &v;
                break;
            }
            if (v.started < pick->started) pick = &v;  // all busy: the oldest goes
        }
        *pick = Voice{Voice::Stage::Attack, note, channel, velocity, 0.0, 0.0, 0.0, 0.0, ++clock_};
    }
    // The next envelope value of `v`; a voice that has died away goes quiet
    // for good (and its filter with it: no subnormal tails).
    double envelope(Voice& v) {
        switch (v.stage) {
        case Voice::Stage::Attack:
            v.level += attackStep_;
            if (v.level >= 1.0) v.level = 1.0, v.stage = Voice::Stage::Decay;
            break;
        case Voice::Stage::Decay:
            v.level = sustain_ + (v.level - sustain_) * decayFactor_;
            if (v.level - sustain_ < kSilent) v.level = sustain_, v.stage = Voice::Stage::Sustain;
            break;
        case Voice::Stage::Sustain: v.level = sustain_; break;
        case Voice::Stage::Release: v.level *= releaseFactor_; break;
        case Voice::Stage::Off: break;
        }
        if (v.level < kSilent && v.stage != Voice::Stage::Attack) v = Voice{};
        return v.level;
    }
    // A sawtooth from -1 to 1 with its jump smoothed over one step (polyBLEP).
    static double saw(double t, double dt) {
        double y = 2.0 * t - 1.0;
        if (t < dt) {
            const double x = t / dt;
            y -= x + x - x * x - 1.0;
        } else if (t > 1.0 - dt) {
            const double x = (t - 1.0) / dt;
            y -= x * x + x + x + 1.0;
        }
        return y;
    }
    float volumeGain() { return static_cast<float>(std::pow(10.0, plain(kVolume) / 20.0)); }

    Voice voices_[kVoices];
    unsigned long clock_ = 0;
    double bend_ = 0.0;  // semitones
    double attackStep_ = 0.0, decayFactor_ = 0.0, releaseFactor_ = 0.0, sustain_ = 0.0, damping_ = 2.0;
    kstv::LinearSmoother volume_;
    kstv::OnePoleSmoother cutoff_;
};

}  // namespace

KSTV_PLUGIN(Polysynth);
