// What the host answers to each request, as one table: Host::answer, the
// request listings of `info` and the render, and the validator's host all
// read it.
#include <aerie/host.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include <aerie/timeline.h>

namespace aerie {

namespace {

// A text request: the interface's host strings are 64 bytes at most.
VstIntPtr copyText(void* ptr, const std::string& text) {
    if (ptr == nullptr) return 0;
    const std::size_t n = std::min<std::size_t>(text.size(), 63);
    std::memcpy(ptr, text.data(), n);
    static_cast<char*>(ptr)[n] = '\0';
    return 1;
}

VstIntPtr zero(Host&, const HostRequest&) { return 0; }
VstIntPtr one(Host&, const HostRequest&) { return 1; }

VstIntPtr automate(Host& h, const HostRequest& r) {
    if (h.collect) h.automated.push_back({h.position, r.index, r.opt});
    return 0;
}

VstIntPtr getTime(Host& h, const HostRequest&) {
    if (h.timeline == nullptr) return 0;
    if (h.timeFrame != h.position) {
        h.timeline->fill(h.time, h.position, h.firstBlock);
        h.timeFrame = h.position;
    }
    return reinterpret_cast<VstIntPtr>(&h.time);
}

VstIntPtr processEvents(Host& h, const HostRequest& r) {
    const auto* list = static_cast<const VstEvents*>(r.ptr);
    if (list == nullptr || !h.collect) return 0;
    for (std::int32_t i = 0; i < list->numEvents; ++i) {
        const VstEvent* e = eventSlots(list)[i];
        if (e == nullptr) continue;
        if (e->type != kVstMidiType) {
            ++h.sentOtherEvents;
            continue;
        }
        const auto* m = reinterpret_cast<const VstMidiEvent*>(e);
        SentMidi s;
        s.deltaFrames = m->deltaFrames;
        for (int k = 0; k < 3; ++k) s.bytes[k] = static_cast<unsigned char>(m->midiData[k]);
        h.sentMidi.push_back(s);
    }
    return 1;
}

VstIntPtr tempoAt(Host& h, const HostRequest& r) {
    if (h.timeline == nullptr) return 0;
    // Beats per minute times 10,000.
    const auto frame = static_cast<std::uint64_t>(std::max<VstIntPtr>(r.value, 0));
    return static_cast<VstIntPtr>(std::llround(h.timeline->tempoAt(frame) * 10000.0));
}

VstIntPtr canDo(Host&, const HostRequest& r) {
    if (r.ptr == nullptr) return 0;
    const char* word = static_cast<const char*>(r.ptr);
    for (const std::string& c : hostCapabilities()) {
        if (std::strncmp(word, c.c_str(), 64) == 0) return 1;
    }
    return -1;
}

// Made on first use: a table built before main could not report a failure.
const std::vector<HostAnswer>& answerTable() {
    static const std::vector<HostAnswer> table = {
    {audioMasterAutomate, "audioMasterAutomate", "noted at the block's first frame (--save-automation keeps it), 0", automate},
    {audioMasterVersion, "audioMasterVersion", "2400", [](Host& h, const HostRequest&) { return h.versionAnswer; }},
    {audioMasterCurrentId, "audioMasterCurrentId", "0 (no shell modules)", zero},
    {audioMasterIdle, "audioMasterIdle", "0 (nothing to do between blocks)", zero},
    {audioMasterPinConnected, "audioMasterPinConnected", "0: every pin is connected", zero},
    {audioMasterWantMidi, "audioMasterWantMidi", "1: MIDI is delivered", one},
    {audioMasterGetTime, "audioMasterGetTime", "the time record at the block's first frame", getTime},
    {audioMasterProcessEvents, "audioMasterProcessEvents", "1: the MIDI is taken (MIDI out)", processEvents},
    {audioMasterTempoAt, "audioMasterTempoAt", "the tempo at the frame, beats per minute x 10000", tempoAt},
    {audioMasterGetNumAutomatableParameters, "audioMasterGetNumAutomatableParameters", "0 (no limit)", zero},
    {audioMasterGetParameterQuantization, "audioMasterGetParameterQuantization", "0 (none)", zero},
    {audioMasterIOChanged, "audioMasterIOChanged", "1: pins and latency are read again at the next block",
     [](Host& h, const HostRequest&) -> VstIntPtr {
         h.ioChanged = true;
         return 1;
     }},
    {audioMasterNeedIdle, "audioMasterNeedIdle", "0 (no idle calls)", zero},
    {audioMasterSizeWindow, "audioMasterSizeWindow", "0: refused (no editor window)", zero},
    {audioMasterGetSampleRate, "audioMasterGetSampleRate", "the sample rate",
     [](Host& h, const HostRequest&) { return static_cast<VstIntPtr>(h.sampleRate); }},
    {audioMasterGetBlockSize, "audioMasterGetBlockSize", "the block size",
     [](Host& h, const HostRequest&) -> VstIntPtr { return h.blockSize; }},
    {audioMasterGetInputLatency, "audioMasterGetInputLatency", "0 frames (no audio device)",
     [](Host& h, const HostRequest&) -> VstIntPtr { return h.inputLatency; }},
    {audioMasterGetOutputLatency, "audioMasterGetOutputLatency", "0 frames (no audio device)",
     [](Host& h, const HostRequest&) -> VstIntPtr { return h.outputLatency; }},
    {audioMasterGetPreviousPlug, "audioMasterGetPreviousPlug", "0 (not told)", zero},
    {audioMasterGetNextPlug, "audioMasterGetNextPlug", "0 (not told)", zero},
    {audioMasterWillReplaceOrAccumulate, "audioMasterWillReplaceOrAccumulate", "1: replacing", one},
    {audioMasterGetCurrentProcessLevel, "audioMasterGetCurrentProcessLevel", "the process level (4 offline, 2 real-time)",
     [](Host& h, const HostRequest&) -> VstIntPtr { return static_cast<VstIntPtr>(h.processLevel); }},
    {audioMasterGetAutomationState, "audioMasterGetAutomationState", "the automation state (1 off, 2 read, 3 write, 4 both)",
     [](Host& h, const HostRequest&) -> VstIntPtr { return static_cast<VstIntPtr>(h.automationState); }},
    {audioMasterOfflineStart, "audioMasterOfflineStart", "0 (no offline processing interface)", zero},
    {audioMasterOfflineRead, "audioMasterOfflineRead", "0 (no offline processing interface)", zero},
    {audioMasterOfflineWrite, "audioMasterOfflineWrite", "0 (no offline processing interface)", zero},
    {audioMasterOfflineGetCurrentPass, "audioMasterOfflineGetCurrentPass", "0", zero},
    {audioMasterOfflineGetCurrentMetaPass, "audioMasterOfflineGetCurrentMetaPass", "0", zero},
    {audioMasterSetOutputSampleRate, "audioMasterSetOutputSampleRate", "0: refused", zero},
    {audioMasterGetSpeakerArrangement, "audioMasterGetSpeakerArrangement", "0 (none)", zero},
    {audioMasterGetVendorString, "audioMasterGetVendorString", "the host's vendor",
     [](Host& h, const HostRequest& r) { return copyText(r.ptr, h.vendor); }},
    {audioMasterGetProductString, "audioMasterGetProductString", "the host's name",
     [](Host& h, const HostRequest& r) { return copyText(r.ptr, h.product); }},
    {audioMasterGetVendorVersion, "audioMasterGetVendorVersion", "the host's version",
     [](Host& h, const HostRequest&) -> VstIntPtr { return h.vendorVersion; }},
    {audioMasterVendorSpecific, "audioMasterVendorSpecific", "0", zero},
    {audioMasterCanDo, "audioMasterCanDo", "1 for what the host does, -1 for the rest", canDo},
    {audioMasterGetLanguage, "audioMasterGetLanguage", "1 (English)", one},
    {audioMasterOpenWindow, "audioMasterOpenWindow", "0: refused", zero},
    {audioMasterCloseWindow, "audioMasterCloseWindow", "0: refused", zero},
    {audioMasterGetDirectory, "audioMasterGetDirectory", "the module's folder",
     [](Host& h, const HostRequest&) -> VstIntPtr {
         return h.directory.empty() ? 0 : reinterpret_cast<VstIntPtr>(h.directory.c_str());
     }},
    {audioMasterUpdateDisplay, "audioMasterUpdateDisplay", "1 (nothing on display to update)", one},
    {audioMasterBeginEdit, "audioMasterBeginEdit", "1", one},
    {audioMasterEndEdit, "audioMasterEndEdit", "1", one},
    };
    return table;
}

}  // namespace

const std::vector<HostAnswer>& hostAnswers() { return answerTable(); }

const HostAnswer* findHostAnswer(std::int32_t opcode) noexcept {
    // The table is in request order with few gaps: a direct look-up.
    static const auto index = [] {
        std::array<const HostAnswer*, 64> at{};
        for (const HostAnswer& a : answerTable()) at[static_cast<std::size_t>(a.opcode)] = &a;
        return at;
    }();
    return opcode >= 0 && static_cast<std::size_t>(opcode) < index.size() ? index[static_cast<std::size_t>(opcode)] : nullptr;
}

std::string hostRequestName(std::int32_t opcode) {
    const HostAnswer* a = findHostAnswer(opcode);
    return a != nullptr ? std::string(a->name) : "audioMaster request " + std::to_string(opcode);
}

const std::vector<std::string>& hostCapabilities() {
    static const std::vector<std::string> words = {"sendVstEvents",    "sendVstMidiEvent",    "sendVstTimeInfo",
                                                   "receiveVstEvents", "receiveVstMidiEvent", "acceptIOChanges"};
    return words;
}

VstIntPtr Host::answer(const HostRequest& request) {
    const HostAnswer* a = findHostAnswer(request.opcode);
    return a == nullptr ? 0 : a->answerFor(*this, request);
}

// The host an entry call on this thread is creating with: a plug-in may ask
// the host (its version, most often) before its record exists, when the
// callback has no record to find its Host through. One per thread, so that
// instances may be created on several threads at once.
namespace detail {
thread_local Host* creatingHost = nullptr;
}  // namespace detail

VstIntPtr VST_CALL Host::callback(AEffect* effect, std::int32_t opcode, std::int32_t index, VstIntPtr value,
                                  void* ptr, float opt) noexcept {
    Host* host = (effect != nullptr && effect->user != nullptr) ? static_cast<Host*>(effect->user) : detail::creatingHost;
    if (host == nullptr) return 0;
    const HostRequest request{effect, opcode, index, value, ptr, opt};
    // Nothing may unwind into the plug-in, which is not C++ at all as far as
    // the interface knows: a request that cannot be recorded or answered is
    // answered 0, the interface's "don't know".
    try {
        ++host->counts[static_cast<std::uint32_t>(opcode) < host->counts.size() ? static_cast<std::size_t>(opcode)
                                                                                 : host->counts.size() - 1];
        if (host->record) host->requests.push_back(request);
        return host->answer(request);
    } catch (...) {
        return 0;
    }
}

}  // namespace aerie
