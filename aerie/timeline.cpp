#include <aerie/timeline.h>

#include <algorithm>
#include <cmath>

#include <aerie/host_error.h>

namespace aerie {

namespace {

constexpr std::uint64_t kMaxFrame = std::uint64_t{1} << 62;

// num / den seconds in frames at `rate`: whole frames and the fraction.
bool toFrames(std::uint64_t num, std::uint64_t den, std::uint32_t rate, std::uint64_t& whole, double& fraction) {
    const std::uint64_t q = num / den;
    const std::uint64_t r = num % den;  // < den < 2^37, so r * rate fits
    std::uint64_t a = 0;
    if (__builtin_mul_overflow(q, static_cast<std::uint64_t>(rate), &a)) return false;
    const std::uint64_t part = r * rate;
    if (__builtin_add_overflow(a, part / den, &whole)) return false;
    fraction = static_cast<double>(part % den) / static_cast<double>(den);
    return whole <= kMaxFrame;
}

}  // namespace

Timeline::Timeline(TimelineSettings settings) : s_(std::move(settings)) {
    if (s_.sampleRate == 0) throw HostError("a timeline needs a sample rate");
    if (s_.ticksPerQuarter <= 0) s_.ticksPerQuarter = 960;
    den_ = static_cast<std::uint64_t>(s_.ticksPerQuarter) * 1000000u;
    if (s_.bpm) {
        if (!(*s_.bpm >= 0.1 && *s_.bpm <= 1e6)) throw HostError("a tempo of " + std::to_string(*s_.bpm) + " beats per minute");
        s_.tempos = {TempoChange{0, static_cast<std::uint32_t>(std::llround(60e6 / *s_.bpm))}};
    }
    if (s_.tempos.empty() || s_.tempos.front().tick != 0) s_.tempos.insert(s_.tempos.begin(), TempoChange{});
    if (s_.signatures.empty() || s_.signatures.front().tick != 0) s_.signatures.insert(s_.signatures.begin(), TimeSignature{});
    for (const TempoChange& t : s_.tempos) {
        if (t.microsPerQuarter == 0) throw HostError("a tempo of 0 microseconds per quarter note");
    }
    for (const TimeSignature& t : s_.signatures) {
        if (t.numerator < 1 || t.denominator < 1 || (t.denominator & (t.denominator - 1)) != 0) {
            throw HostError("a time signature of " + std::to_string(t.numerator) + "/" + std::to_string(t.denominator));
        }
    }
    std::uint64_t num = 0;
    for (std::size_t i = 0; i < s_.tempos.size(); ++i) {
        const TempoChange& t = s_.tempos[i];
        if (i > 0) {
            const TempoChange& before = s_.tempos[i - 1];
            std::uint64_t step = 0;
            // A tempo map beyond any renderable length ends where it stops fitting.
            if (__builtin_mul_overflow(t.tick - before.tick, before.microsPerQuarter, &step) ||
                __builtin_add_overflow(num, step, &num)) {
                break;
            }
        }
        Segment seg{t.tick, t.microsPerQuarter, num, 0, 0.0, s_.bpm.value_or(0.0)};
        if (!toFrames(num, den_, s_.sampleRate, seg.startFrame, seg.startFraction)) break;
        // Two changes at one tick: the later one holds.
        if (!segments_.empty() && segments_.back().tick == t.tick) segments_.pop_back();
        segments_.push_back(seg);
    }
}

const Timeline::Segment& Timeline::segmentAtFrame(std::uint64_t frame) const noexcept {
    // The segment holding the frame: the last one that starts at or before it.
    auto it = std::upper_bound(segments_.begin(), segments_.end(), frame, [](std::uint64_t f, const Segment& s) {
        return f < s.startFrame || (f == s.startFrame && s.startFraction > 0.0);
    });
    return *(it == segments_.begin() ? it : it - 1);
}

const Timeline::Segment& Timeline::segmentAtTick(std::uint64_t tick) const noexcept {
    auto it = std::upper_bound(segments_.begin(), segments_.end(), tick,
                               [](std::uint64_t t, const Segment& s) { return t < s.tick; });
    return *(it == segments_.begin() ? it : it - 1);
}

const Timeline::Segment& Timeline::segmentAtPpq(double ppq) const noexcept {
    const double q = static_cast<double>(s_.ticksPerQuarter);
    auto it = std::upper_bound(segments_.begin(), segments_.end(), ppq,
                               [q](double p, const Segment& s) { return p < static_cast<double>(s.tick) / q; });
    return *(it == segments_.begin() ? it : it - 1);
}

double Timeline::framesInto(const Segment& s, std::uint64_t frame) const noexcept {
    // The whole frames are subtracted in integers, so the difference is
    // exact however long the render.
    const double whole = frame >= s.startFrame ? static_cast<double>(frame - s.startFrame)
                                               : -static_cast<double>(s.startFrame - frame);
    return whole - s.startFraction;
}

double Timeline::ppqAt(std::uint64_t frame) const noexcept {
    const Segment& s = segmentAtFrame(frame);
    if (s.bpm > 0.0) {
        // One rounding of the exact product: frame 2,646,000 at 44.1 kHz and
        // 90 BPM is quarter 90, not 89.99999999999999.
        return static_cast<double>(s.tick) / static_cast<double>(s_.ticksPerQuarter) +
               framesInto(s, frame) * s.bpm / (60.0 * static_cast<double>(s_.sampleRate));
    }
    return static_cast<double>(s.tick) / static_cast<double>(s_.ticksPerQuarter) + framesInto(s, frame) / framesPerQuarter(s);
}

double Timeline::tempoAt(std::uint64_t frame) const noexcept { return tempoOf(segmentAtFrame(frame)); }

double Timeline::tempoOf(const Segment& s) noexcept {
    return s.bpm > 0.0 ? s.bpm : 60e6 / static_cast<double>(s.microsPerQuarter);
}

double Timeline::framesPerQuarter(const Segment& s) const noexcept {
    const double rate = static_cast<double>(s_.sampleRate);
    return s.bpm > 0.0 ? 60.0 * rate / s.bpm : static_cast<double>(s.microsPerQuarter) / 1e6 * rate;
}

std::uint64_t Timeline::frameOfTick(std::uint64_t tick) const {
    const Segment& s = segmentAtTick(tick);
    if (s.bpm > 0.0) {
        // The typed tempo holds from tick 0: tick * 60 * rate / (bpm * division).
        const double at = static_cast<double>(tick) * 60.0 * static_cast<double>(s_.sampleRate) /
                          (s.bpm * static_cast<double>(s_.ticksPerQuarter));
        if (!(at < static_cast<double>(kMaxFrame))) throw HostError("a position beyond any renderable length");
        const double whole = std::floor(at);
        return static_cast<std::uint64_t>(whole) + (at - whole >= 0.5 ? 1 : 0);
    }
    std::uint64_t num = 0;
    std::uint64_t step = 0;
    std::uint64_t whole = 0;
    double fraction = 0.0;
    if (__builtin_mul_overflow(tick - s.tick, static_cast<std::uint64_t>(s.microsPerQuarter), &step) ||
        __builtin_add_overflow(s.timeNum, step, &num) || !toFrames(num, den_, s_.sampleRate, whole, fraction)) {
        throw HostError("a position beyond any renderable length");
    }
    return whole + (fraction >= 0.5 ? 1 : 0);
}

std::uint64_t Timeline::frameOfPpq(double ppq) const {
    if (!(ppq >= 0.0)) return 0;
    const Segment& s = segmentAtPpq(ppq);
    const double quarters = ppq - static_cast<double>(s.tick) / static_cast<double>(s_.ticksPerQuarter);
    const double frames = s.bpm > 0.0 ? quarters * 60.0 * static_cast<double>(s_.sampleRate) / s.bpm
                                      : quarters * static_cast<double>(s.microsPerQuarter) / 1e6 *
                                            static_cast<double>(s_.sampleRate);
    const double at = static_cast<double>(s.startFrame) + s.startFraction + frames;
    if (!(at < static_cast<double>(kMaxFrame))) throw HostError("a position beyond any renderable length");
    return static_cast<std::uint64_t>(std::llround(at));
}

std::uint64_t Timeline::tickAt(std::uint64_t frame) const noexcept {
    const Segment& s = segmentAtFrame(frame);
    const double ticks = s.bpm > 0.0 ? framesInto(s, frame) * s.bpm * static_cast<double>(s_.ticksPerQuarter) /
                                           (60.0 * static_cast<double>(s_.sampleRate))
                                     : framesInto(s, frame) * 1e6 * static_cast<double>(s_.ticksPerQuarter) /
                                           (static_cast<double>(s_.sampleRate) * static_cast<double>(s.microsPerQuarter));
    const double t = static_cast<double>(s.tick) + ticks;
    return t <= 0.0 ? 0 : static_cast<std::uint64_t>(std::llround(t));
}

void Timeline::fill(VstTimeInfo& info, std::uint64_t frame, bool first) const noexcept {
    const Segment& seg = segmentAtFrame(frame);
    const double rate = static_cast<double>(s_.sampleRate);
    const double q = static_cast<double>(s_.ticksPerQuarter);
    const double quarterFrames = framesPerQuarter(seg);
    const double ppq = ppqAt(frame);

    // The signature in force: the last one that starts at or before the position.
    const TimeSignature* sig = &s_.signatures.front();
    for (const TimeSignature& t : s_.signatures) {
        if (static_cast<double>(t.tick) / q > ppq) break;
        sig = &t;
    }
    const double sigStart = static_cast<double>(sig->tick) / q;
    const double barLength = 4.0 * sig->numerator / sig->denominator;
    const double bars = std::floor((ppq - sigStart) / barLength);

    // MIDI clocks fall every 1/24 quarter note; one that falls on this very
    // frame is 0 frames away.
    const double nextClock = std::ceil(ppq * 24.0) / 24.0;
    const double toClock = (nextClock - ppq) * quarterFrames;

    info = VstTimeInfo{};
    info.samplePos = static_cast<double>(frame);
    info.sampleRate = rate;
    info.nanoSeconds = static_cast<double>(frame) / rate * 1e9;
    info.ppqPos = ppq;
    info.tempo = tempoOf(seg);
    info.barStartPos = sigStart + bars * barLength;
    info.timeSigNumerator = sig->numerator;
    info.timeSigDenominator = sig->denominator;
    info.samplesToNextClock = static_cast<std::int32_t>(std::lround(toClock));
    info.flags = kVstTransportPlaying | kVstNanosValid | kVstPpqPosValid | kVstTempoValid | kVstBarsValid |
                 kVstTimeSigValid | kVstClockValid;
    if (first) info.flags |= kVstTransportChanged;
    if (s_.loop) {
        info.cycleStartPos = s_.loop->start;
        info.cycleEndPos = s_.loop->end;
        info.flags |= kVstTransportCycleActive | kVstCyclePosValid;
    }
}

}  // namespace aerie
