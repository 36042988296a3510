// What the validator's host tells a plug-in: its name, what it can do, and
// the transport it reports with audioMasterGetTime. Every answer the host
// gives about the session comes from here, so that the validator's host and
// the render host can share one table of answers.
#pragma once

#include <cstdint>

#include <aerie/aerie.h>

namespace validate {

// A state of the transport the validator plays to a plug-in.
struct Transport {
    bool playing = true;
    double tempo = 120.0;  // quarter notes a minute
    bool looping = false;
    double loopStart = 0.0, loopEnd = 0.0;  // in quarter notes
    std::int32_t numerator = 4, denominator = 4;
};

class HostAnswers {
public:
    // Whether the host answers the request with something else than 0.
    static bool supported(std::int32_t opcode);
    // The answer to a request; `handled` false leaves it to aerie::Host.
    VstIntPtr answer(const aerie::HostRequest& r, float sampleRate, bool& handled);

    // The transport from the next block on.
    void setTransport(const Transport& t);
    const Transport& transport() const { return transport_; }
    // Moves the play position on by a rendered block, looping where the
    // transport loops.
    void advance(std::int64_t frames, float sampleRate);
    // How often the plug-in asked for the time.
    std::int64_t timeRequests() const { return timeRequests_; }

private:
    VstTimeInfo* time(float sampleRate);

    Transport transport_;
    double samplePos_ = 0.0;
    double ppq_ = 0.0;
    bool changed_ = true;
    std::int64_t timeRequests_ = 0;
    VstTimeInfo info_{};
};

}  // namespace validate
