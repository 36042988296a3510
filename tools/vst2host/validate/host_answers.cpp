#include "tools/vst2host/validate/host_answers.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <string_view>

namespace validate {

bool HostAnswers::supported(std::int32_t opcode) {
    switch (opcode) {
    case audioMasterAutomate:
    case audioMasterVersion:
    case audioMasterCurrentId:
    case audioMasterIdle:
    case audioMasterWantMidi:
    case audioMasterGetTime:
    case audioMasterGetSampleRate:
    case audioMasterGetBlockSize:
    case audioMasterGetCurrentProcessLevel:
    case audioMasterGetAutomationState:
    case audioMasterGetVendorString:
    case audioMasterGetProductString:
    case audioMasterGetVendorVersion:
    case audioMasterCanDo:
    case audioMasterGetLanguage:
    case audioMasterSizeWindow:
    case audioMasterUpdateDisplay: return true;
    default: return false;
    }
}

VstIntPtr HostAnswers::answer(const aerie::HostRequest& r, float sampleRate, bool& handled) {
    handled = true;
    switch (r.opcode) {
    case audioMasterGetTime: return reinterpret_cast<VstIntPtr>(time(sampleRate));
    case audioMasterGetVendorString:
        if (r.ptr != nullptr) std::strcpy(static_cast<char*>(r.ptr), "Kestravian");
        return 1;
    case audioMasterGetProductString:
        if (r.ptr != nullptr) std::strcpy(static_cast<char*>(r.ptr), "vst2host validate");
        return 1;
    case audioMasterGetVendorVersion: return 1000;
    case audioMasterGetLanguage:         // 1: English
    case audioMasterGetAutomationState:  // 1: off
    case audioMasterSizeWindow:          // the editor's window may take the size it asks for
    case audioMasterUpdateDisplay: return 1;
    case audioMasterCanDo: {
        if (r.ptr == nullptr) return 0;
        // No allocation: plug-ins ask this from the audio thread too.
        const std::string_view word(static_cast<const char*>(r.ptr));
        return (word == "sendVstEvents" || word == "sendVstMidiEvent" || word == "receiveVstEvents" ||
                word == "receiveVstMidiEvent" || word == "sendVstTimeInfo" || word == "sizeWindow")
                   ? 1
                   : 0;
    }
    default: handled = false; return 0;
    }
}

void HostAnswers::setTransport(const Transport& t) {
    if (t.playing != transport_.playing || t.looping != transport_.looping) changed_ = true;
    transport_ = t;
    if (t.looping && (ppq_ < t.loopStart || ppq_ >= t.loopEnd)) {
        ppq_ = t.loopStart;
        changed_ = true;
    }
}

void HostAnswers::advance(std::int64_t frames, float sampleRate) {
    if (!transport_.playing || !(sampleRate > 0.0f)) return;
    samplePos_ += static_cast<double>(frames);
    ppq_ += static_cast<double>(frames) / sampleRate * transport_.tempo / 60.0;
    if (transport_.looping && transport_.loopEnd > transport_.loopStart && ppq_ >= transport_.loopEnd) {
        ppq_ = transport_.loopStart + std::fmod(ppq_ - transport_.loopStart, transport_.loopEnd - transport_.loopStart);
        changed_ = true;
    }
}

VstTimeInfo* HostAnswers::time(float sampleRate) {
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
