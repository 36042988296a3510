#include "tests/blackbox/blackbox.h"

#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

namespace blackbox {

std::vector<float> Plugin::render(std::int32_t frames) {
    std::vector<float> out(static_cast<std::size_t>(frames), 12345.0f);
    float* outputs[1] = {out.data()};
    instance->raw().processReplacing(nullptr, outputs, frames);
    return out;
}

void Plugin::accumulate(std::vector<float>& buffer) {
    float* outputs[1] = {buffer.data()};
    instance->raw().process(nullptr, outputs, static_cast<std::int32_t>(buffer.size()));
}

std::vector<float> renderNotes(Plugin& plugin, const std::vector<Note>& notes, std::int64_t total,
                               std::int32_t block) {
    std::vector<float> out;
    out.reserve(static_cast<std::size_t>(total));
    for (std::int64_t start = 0; start < total; start += block) {
        const auto frames = static_cast<std::int32_t>(std::min<std::int64_t>(block, total - start));
        aerie::EventList events;
        for (const Note& n : notes) {
            if (n.frame >= start && n.frame < start + frames) {
                events.addNoteOn(static_cast<std::int32_t>(n.frame - start), n.note, n.velocity);
            }
        }
        if (events.size() > 0) plugin.send(events);
        const std::vector<float> chunk = plugin.render(frames);
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    return out;
}

std::int64_t ringLength(const std::vector<float>& signal, std::int64_t from) {
    std::int64_t last = from;
    for (std::int64_t i = from; i < static_cast<std::int64_t>(signal.size()); ++i) {
        if (signal[static_cast<std::size_t>(i)] != 0.0f) last = i;
    }
    return last - from + 1;
}

}  // namespace blackbox
