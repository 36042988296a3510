// The validator's host: it answers every request from aerie's one answer
// table, as the render host does, introducing itself as "vst2host validate".
// Only the time differs: where a render plays its timeline from start to
// end, the validator plays scenes of its own (stopped, a tempo change, a
// loop that jumps back). Each scene is an aerie::Timeline, which answers
// audioMasterGetTime at the play position as a render's does; the
// transport below says where the position goes. Its own code never counts
// against the plug-in's real-time safety.
#pragma once

#include <cstdint>
#include <optional>

#include <aerie/aerie.h>
#include <aerie/timeline.h>

namespace validate {

// A state of the transport the validator plays to a plug-in.
struct Transport {
    bool playing = true;
    double tempo = 120.0;  // quarter notes a minute; the timeline keeps whole microseconds a quarter note
    bool looping = false;
    double loopStart = 0.0, loopEnd = 0.0;  // in quarter notes
    std::int32_t numerator = 4, denominator = 4;
};

class ValidatorHost : public aerie::Host {
public:
    ValidatorHost();
    // Whether the answer table knows the request.
    static bool supported(std::int32_t opcode) { return aerie::findHostAnswer(opcode) != nullptr; }
    VstIntPtr answer(const aerie::HostRequest& r) override;

    // The transport from the next block on.
    void setTransport(const Transport& t);
    // Moves the play position on by a rendered block, looping where the
    // transport loops.
    void advance(std::int64_t frames);
    // How often the plug-in asked for the time.
    std::int64_t timeRequests() const { return timeRequests_; }

private:
    VstTimeInfo* currentTime();
    // The scene's timeline at the host's rate, with the play position moved
    // onto it; built again when the scene or the rate changes.
    const aerie::Timeline& timeline();

    Transport transport_;
    double samplePos_ = 0.0;
    std::optional<aerie::Timeline> timeline_;
    std::uint64_t frame_ = 0;  // the play position on timeline_
    double ppq_ = 0.0;         // the play position where there is no timeline yet
    bool changed_ = true;
    std::int64_t timeRequests_ = 0;
    VstTimeInfo info_{};
};

}  // namespace validate
