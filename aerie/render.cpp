#include <aerie/render.h>

#include <algorithm>
#include <cmath>

namespace aerie {

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

}  // namespace aerie

#include <chrono>
#include <cstring>

namespace aerie {

namespace {

// Whether no sample is NaN or infinite (all exponent bits set), four at a
// time: the check runs on every output sample, so it must cost next to
// nothing beside the plug-in.
bool allFinite(const float* x, std::size_t n) noexcept {
    using Lanes = std::uint32_t __attribute__((vector_size(16)));
    const Lanes exponent = {0x7f800000u, 0x7f800000u, 0x7f800000u, 0x7f800000u};
    Lanes any = {0, 0, 0, 0};
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        Lanes v;
        std::memcpy(&v, x + k, sizeof v);
        any |= static_cast<Lanes>((v & exponent) == exponent);
    }
    std::uint32_t rest = any[0] | any[1] | any[2] | any[3];
    for (; k < n; ++k) {
        std::uint32_t u;
        std::memcpy(&u, x + k, 4);
        rest |= static_cast<std::uint32_t>((u & 0x7f800000u) == 0x7f800000u);
    }
    return rest == 0;
}

}  // namespace

void mapChannels(const float* const* from, int fromCount, float* const* to, int toCount, std::size_t frames) noexcept {
    for (int k = 0; k < toCount; ++k) {
        const float* source = k < fromCount ? from[k] : (fromCount == 1 ? from[0] : nullptr);
        if (source == nullptr) {
            std::memset(to[k], 0, frames * sizeof(float));
        } else if (source != to[k]) {
            std::memcpy(to[k], source, frames * sizeof(float));
        }
    }
}

ChainRenderer::ChainRenderer(const std::vector<ChainStage>& stages, int inputChannels, std::int32_t blockSize)
    : blockSize_(blockSize) {
    if (stages.empty()) throw HostError("a chain needs at least one module");
    const auto frames = static_cast<std::size_t>(blockSize);
    chainInputStore_.assign(static_cast<std::size_t>(std::max(inputChannels, 0)), std::vector<float>(frames, 0.0f));
    for (const ChainStage& s : stages) {
        AEffect* e = s.instance->effect();
        Stage st{s.instance, s.takesMidi, (e->flags & effFlagsCanReplacing) != 0, std::max(e->numInputs, 0),
                 std::max(e->numOutputs, 0), {}, {}, {}, {}};
        // One spare buffer each side, so that a plug-in that counts one too
        // many pins does not write into the void.
        st.inputStore.assign(static_cast<std::size_t>(st.numInputs) + 1, std::vector<float>(frames, 0.0f));
        st.outputStore.assign(static_cast<std::size_t>(st.numOutputs) + 1, std::vector<float>(frames, 0.0f));
        for (auto& b : st.inputStore) st.inputs.push_back(b.data());
        for (auto& b : st.outputStore) st.outputs.push_back(b.data());
        stages_.push_back(std::move(st));
    }
    // Chain input k is the first module's input k where it has one, so that
    // the input is read straight into place; mapChannels skips a buffer onto
    // itself. The buffers are refilled every block, whatever the plug-in did
    // to them.
    Stage& first = stages_.front();
    for (std::size_t k = 0; k < chainInputStore_.size(); ++k) {
        chainInputs_.push_back(static_cast<int>(k) < first.numInputs ? first.inputs[k] : chainInputStore_[k].data());
    }
    chainInputs_.push_back(nullptr);
}

void ChainRenderer::start() {
    for (Stage& s : stages_) s.instance->dispatch(effMainsChanged, 0, 1);
}

void ChainRenderer::stop() {
    for (Stage& s : stages_) s.instance->dispatch(effMainsChanged, 0, 0);
}

void ChainRenderer::block(std::int32_t frames, VstEvents* events, void (*beforeStage)(std::size_t, void*), void* context) {
    using Clock = std::chrono::steady_clock;
    const auto n = static_cast<std::size_t>(frames);
    const float* const* from = chainInputs_.data();
    int fromCount = inputChannels();
    const bool timed = measure && (measureEvery <= 1 || blocks_ % measureEvery == 0);
    for (std::size_t i = 0; i < stages_.size(); ++i) {
        Stage& s = stages_[i];
        mapChannels(from, fromCount, s.inputs.data(), s.numInputs, n);
        if (!s.replacing) {
            for (int c = 0; c < s.numOutputs; ++c) std::memset(s.outputs[static_cast<std::size_t>(c)], 0, n * sizeof(float));
        }
        if (beforeStage != nullptr) beforeStage(i, context);
        const Clock::time_point t0 = timed ? Clock::now() : Clock::time_point();
        if (events != nullptr && events->numEvents > 0 && s.takesMidi) s.instance->dispatch(effProcessEvents, 0, 0, events);
        if (s.replacing) {
            s.instance->processReplacing(s.inputs.data(), s.outputs.data(), frames);
        } else {
            s.instance->process(s.inputs.data(), s.outputs.data(), frames);
        }
        if (timed) pluginNanoseconds_ += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count();
        from = s.outputs.data();
        fromCount = s.numOutputs;
    }
    if (!nonFinite_.found) {
        const Stage& last = stages_.back();
        std::size_t first = n;
        for (int c = 0; c < last.numOutputs; ++c) {
            const float* x = last.outputs[static_cast<std::size_t>(c)];
            if (allFinite(x, n)) continue;
            for (std::size_t k = 0; k < first; ++k) {
                if (!std::isfinite(x[k])) {
                    first = k;
                    nonFinite_ = {true, frames_ + k, c, x[k]};
                    break;
                }
            }
        }
    }
    frames_ += n;
    ++blocks_;
    if (timed) ++measuredBlocks_;
}

}  // namespace aerie
