#include "tools/vst2host/validate/host_answers.h"

#include <chrono>
#include <cmath>
#include <cstring>

#include "tools/vst2host/validate/rt_monitor.h"

namespace validate {

ValidatorHost::ValidatorHost() {
    vendor = "Kestravian";
    product = "vst2host validate";
    vendorVersion = 1000;
    processLevel = aerie::ProcessLevel::Realtime;
}

VstIntPtr ValidatorHost::answer(const aerie::HostRequest& r) {
    const rt::HostScope host;
    if (r.opcode == audioMasterGetTime) return reinterpret_cast<VstIntPtr>(currentTime());
    return aerie::Host::answer(r);
}

void ValidatorHost::setTransport(const Transport& t) {
    if (t.playing != transport_.playing || t.looping != transport_.looping) changed_ = true;
    transport_ = t;
    if (t.looping && (ppq_ < t.loopStart || ppq_ >= t.loopEnd)) {
        ppq_ = t.loopStart;
        changed_ = true;
    }
}

void ValidatorHost::advance(std::int64_t frames) {
    if (!transport_.playing || !(sampleRate > 0.0f)) return;
    samplePos_ += static_cast<double>(frames);
    ppq_ += static_cast<double>(frames) / sampleRate * transport_.tempo / 60.0;
    if (transport_.looping && transport_.loopEnd > transport_.loopStart && ppq_ >= transport_.loopEnd) {
        ppq_ = transport_.loopStart + std::fmod(ppq_ - transport_.loopStart, transport_.loopEnd - transport_.loopStart);
        changed_ = true;
    }
}

VstTimeInfo* ValidatorHost::currentTime() {
    ++timeRequests_;
    VstTimeInfo& t = info_;
    t = VstTimeInfo{};
    t.samplePos = samplePos_;
    t.sampleRate = sampleRate;
    t.nanoSeconds = static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
    t.ppqPos = ppq_;
    t.tempo = transport_.tempo;
    const double quartersPerBar = transport_.numerator * 4.0 / transport_.denominator;
    t.barStartPos = std::floor(ppq_ / quartersPerBar) * quartersPerBar;
    t.cycleStartPos = transport_.loopStart;
    t.cycleEndPos = transport_.loopEnd;
    t.timeSigNumerator = transport_.numerator;
    t.timeSigDenominator = transport_.denominator;
    const double clocks = ppq_ * 24.0;
    t.samplesToNextClock = static_cast<std::int32_t>((std::ceil(clocks) - clocks) / 24.0 * 60.0 / transport_.tempo * sampleRate);
    t.flags = kVstNanosValid | kVstPpqPosValid | kVstTempoValid | kVstBarsValid | kVstTimeSigValid | kVstClockValid |
              (transport_.playing ? kVstTransportPlaying : 0) |
              (transport_.looping ? kVstTransportCycleActive | kVstCyclePosValid : 0) | (changed_ ? kVstTransportChanged : 0);
    changed_ = false;
    return &t;
}

}  // namespace validate
