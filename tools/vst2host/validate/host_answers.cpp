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
    if (timeline_) ppq_ = timeline_->ppqAt(frame_);
    if (t.playing != transport_.playing || t.looping != transport_.looping) changed_ = true;
    transport_ = t;
    timeline_.reset();
    if (t.looping && (ppq_ < t.loopStart || ppq_ >= t.loopEnd)) {
        ppq_ = t.loopStart;
        changed_ = true;
    }
}

const aerie::Timeline& ValidatorHost::timeline() {
    // The timeline counts whole frames a second; a fractional rate is
    // rounded for the musical positions and reported as it is.
    const double rate = std::isfinite(sampleRate) && sampleRate >= 1.0f ? std::round(sampleRate) : 44100.0;
    if (timeline_ && timeline_->sampleRate() == static_cast<std::uint32_t>(rate)) return *timeline_;
    if (timeline_) ppq_ = timeline_->ppqAt(frame_);
    aerie::TimelineSettings settings;
    settings.sampleRate = static_cast<std::uint32_t>(rate);
    settings.bpm = transport_.tempo;  // as the scene gives it, not rounded to whole microseconds
    settings.signatures = {{0, transport_.numerator, transport_.denominator}};
    if (transport_.looping) settings.loop = aerie::Loop{transport_.loopStart, transport_.loopEnd};
    timeline_.emplace(std::move(settings));
    frame_ = timeline_->frameOfPpq(ppq_);
    return *timeline_;
}

void ValidatorHost::advance(std::int64_t frames) {
    if (!transport_.playing || !(sampleRate > 0.0f) || frames <= 0) return;
    samplePos_ += static_cast<double>(frames);
    const aerie::Timeline& t = timeline();
    frame_ += static_cast<std::uint64_t>(frames);
    const double ppq = t.ppqAt(frame_);
    if (transport_.looping && transport_.loopEnd > transport_.loopStart && ppq >= transport_.loopEnd) {
        frame_ = t.frameOfPpq(transport_.loopStart + std::fmod(ppq - transport_.loopStart, transport_.loopEnd - transport_.loopStart));
        changed_ = true;
    }
}

VstTimeInfo* ValidatorHost::currentTime() {
    ++timeRequests_;
    VstTimeInfo& t = info_;
    timeline().fill(t, frame_, changed_);
    t.samplePos = samplePos_;
    t.sampleRate = sampleRate;
    t.nanoSeconds = static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
    if (!transport_.playing) t.flags &= ~kVstTransportPlaying;
    changed_ = false;
    return &t;
}

}  // namespace validate
