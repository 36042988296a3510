#include "tools/vsthost/render.h"

#include <algorithm>

namespace vsthost {

void renderInstance(Instance& instance, const std::vector<TimedMidi>& events, const RenderSettings& settings,
                    const RenderHooks& hooks) {
    AEffect* e = instance.effect();
    const std::int32_t block = settings.blockSize;
    const auto numInputs = static_cast<std::size_t>(std::max(e->numInputs, 0));
    const auto numOutputs = static_cast<std::size_t>(std::max(e->numOutputs, 0));
    const bool replacing = (e->flags & effFlagsCanReplacing) != 0;

    // One spare buffer each side, so that a plug-in that counts one too many
    // pins does not write into the void.
    std::vector<std::vector<float>> inputStore(numInputs + 1, std::vector<float>(static_cast<std::size_t>(block), 0.0f));
    std::vector<std::vector<float>> outputStore(numOutputs + 1, std::vector<float>(static_cast<std::size_t>(block), 0.0f));
    std::vector<float*> inputs;
    std::vector<float*> outputs;
    inputs.reserve(inputStore.size());
    outputs.reserve(outputStore.size());
    for (auto& b : inputStore) inputs.push_back(b.data());
    for (auto& b : outputStore) outputs.push_back(b.data());

    instance.dispatch(effOpen);
    instance.dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(settings.sampleRate));
    instance.dispatch(effSetBlockSize, 0, block);
    instance.dispatch(effMainsChanged, 0, 1);

    EventList list;
    auto next = events.begin();
    for (std::uint64_t start = 0; start < settings.totalFrames; start += static_cast<std::uint64_t>(block)) {
        const auto frames = static_cast<std::int32_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(block),
                                                                              settings.totalFrames - start));
        if (hooks.beforeBlock) hooks.beforeBlock(start);
        list.clear();
        while (next != events.end() && next->frame < start + static_cast<std::uint64_t>(frames)) {
            list.addMidi(static_cast<std::int32_t>(next->frame - start), next->bytes[0], next->bytes[1], next->bytes[2]);
            ++next;
        }
        if (list.size() > 0) instance.dispatch(effProcessEvents, 0, 0, list.get());
        for (auto& b : inputStore) std::fill(b.begin(), b.end(), 0.0f);
        for (auto& b : outputStore) std::fill(b.begin(), b.end(), 0.0f);
        if (replacing) {
            instance.processReplacing(inputs.data(), outputs.data(), frames);
        } else {
            instance.process(inputs.data(), outputs.data(), frames);
        }
        if (hooks.output) hooks.output(outputs.data(), frames);
    }
    instance.dispatch(effMainsChanged, 0, 0);
}

}  // namespace vsthost
