// Offline rendering the way a host plays a plug-in: open, sample rate, block
// size, resume; then per block that block's MIDI events with their exact
// frame offsets followed by one render call; suspend at the end.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "tools/vsthost/vsthost.h"

namespace vsthost {

// A channel message at an absolute frame of the render.
struct TimedMidi {
    std::uint64_t frame = 0;
    unsigned char bytes[3] = {0, 0, 0};
};

struct RenderSettings {
    std::uint32_t sampleRate = 44100;
    std::int32_t blockSize = 512;
    std::uint64_t totalFrames = 0;
};

struct RenderHooks {
    // Before each block: its first frame. For progress and crash reports.
    std::function<void(std::uint64_t firstFrame)> beforeBlock;
    // After each block: one buffer per output, `frames` frames each.
    std::function<void(const float* const* outputs, std::int32_t frames)> output;
};

// Renders `settings.totalFrames` frames. `events` must be sorted by frame;
// events at or past the end are not delivered. Uses processReplacing when
// the plug-in can replace, otherwise process into cleared buffers. Leaves
// the instance suspended, not closed.
void renderInstance(Instance& instance, const std::vector<TimedMidi>& events, const RenderSettings& settings,
                    const RenderHooks& hooks);

}  // namespace vsthost
