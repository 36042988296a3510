// The host side of the plug-in interface: the callback plug-ins call into,
// and what it answers to each request.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host/abi/aeffect.h"
#include "host/abi/events.h"
#include "host/abi/opcodes.h"
#include "host/abi/time_info.h"

namespace aerie {

class Timeline;

// One request the plug-in sent to the host callback.
struct HostRequest {
    AEffect* effect;
    std::int32_t opcode;
    std::int32_t index;
    VstIntPtr value;
    void* ptr;
    float opt;
};

// What audioMasterGetCurrentProcessLevel answers.
enum class ProcessLevel : std::int32_t { Unknown = 0, User = 1, Realtime = 2, Prefetch = 3, Offline = 4 };
// What audioMasterGetAutomationState answers.
enum class AutomationState : std::int32_t { Unsupported = 0, Off = 1, Read = 2, Write = 3, ReadWrite = 4 };

// A parameter change the plug-in reported (audioMasterAutomate), at the
// first frame of the block it was reported in.
struct AutomatedValue {
    std::uint64_t frame = 0;
    std::int32_t index = 0;
    float value = 0.0f;
};

// A MIDI message the plug-in sent (audioMasterProcessEvents), at a frame of
// the block it was sent in.
struct SentMidi {
    std::int32_t deltaFrames = 0;
    unsigned char bytes[3] = {0, 0, 0};
};

class Host;

// One row of the answer table: a request, its name, and how it is answered.
struct HostAnswer {
    std::int32_t opcode;
    const char* name;    // "audioMasterGetTime"
    const char* answer;  // "the time record at the block's first frame"
    VstIntPtr (*answerFor)(Host& host, const HostRequest& request);
};

// The table every Host answers from, one row per request it knows, in
// request order. Requests not in it are answered 0. The table and the
// look-ups below: [any thread]; hostRequestName allocates.
const std::vector<HostAnswer>& hostAnswers();
// The row of a request, or null.
const HostAnswer* findHostAnswer(std::int32_t opcode) noexcept;
// The request's name from its row ("audioMasterWantMidi"), or "audioMaster
// request 99" for one the table does not know.
std::string hostRequestName(std::int32_t opcode);
// The capability words the host answers 1 to; every other word gets -1.
const std::vector<std::string>& hostCapabilities();

// The host side of the callback: answers requests from the table and
// records them. Override `answer` to change what the plug-in hears.
//
// [one thread at a time]: the plug-in calls back on the thread it is called
// on, so a Host is used on its instances' thread. Its fields are set before
// the instance is created or between blocks, not while the plug-in runs.
// With `record` off and `sentMidi` reserved, answering allocates nothing and
// takes no lock: the audio thread's requests (the time, MIDI out) are safe.
class Host {
public:
    virtual ~Host() = default;
    // The table's answer (hostAnswers()). [the plug-in's calling thread]
    virtual VstIntPtr answer(const HostRequest& request);

    // Every request, in order, while `record` is true. A long render turns
    // it off once the instance is set up, so that the record stays bounded.
    std::vector<HostRequest> requests;
    bool record = true;
    // How often each request was made (always counted; the last slot counts
    // every request number beyond the others).
    std::array<std::uint32_t, 64> counts{};

    // What the host says about itself and the way it runs the plug-in.
    float sampleRate = 44100.0f;
    std::int32_t blockSize = 512;
    VstIntPtr versionAnswer = 2400;
    std::string vendor = "aerie";
    std::string product = "aerie";
    std::int32_t vendorVersion = 1;
    ProcessLevel processLevel = ProcessLevel::Realtime;
    AutomationState automationState = AutomationState::Off;
    std::int32_t inputLatency = 0;
    std::int32_t outputLatency = 0;
    std::string directory;  // the module's folder (audioMasterGetDirectory)

    // The song position: the time record answers the timeline at `position`
    // (the first frame of the block being processed). Without a timeline,
    // audioMasterGetTime answers 0, "no time".
    const Timeline* timeline = nullptr;
    std::uint64_t position = 0;
    bool firstBlock = true;

    // Taken from the plug-in while `collect` is set: the MIDI it sends and
    // the parameter changes it reports. The render empties `sentMidi` each
    // block; reserve room beforehand and a block allocates nothing.
    bool collect = false;
    std::vector<SentMidi> sentMidi;
    std::vector<AutomatedValue> automated;
    std::uint32_t sentOtherEvents = 0;  // events of other types, not kept
    // Set by audioMasterIOChanged; whoever re-reads pins and latency clears it.
    bool ioChanged = false;

    // The time record handed out; valid until the next request.
    VstTimeInfo time{};
    std::uint64_t timeFrame = ~std::uint64_t{0};  // the frame `time` describes

    // The callback to hand to a module's entry. It finds its Host through the
    // record's `user` field (set by Instance) or, during the entry call, the
    // one Instance is creating with. [any thread: the plug-in's; never throws]
    static VstIntPtr VST_CALL callback(AEffect* effect, std::int32_t opcode, std::int32_t index,
                                       VstIntPtr value, void* ptr, float opt) noexcept;
};

}  // namespace aerie
