#include <aerie/render.h>

#include <algorithm>
#include <chrono>
#include <cmath>
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

std::string count(int n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

// A module's MIDI lands in the block it was sent in, whatever offset it gave.
std::int32_t clampDelta(std::int32_t delta, std::int32_t frames) noexcept {
    return std::clamp(delta, std::int32_t{0}, std::max(frames - 1, std::int32_t{0}));
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

std::string describeChannelMapping(int have, const std::string& from, int want, const std::string& to) {
    if (have > want) {
        const int dropped = have - want;
        return from + " has " + count(have, "channel", "channels") + ", " + to + " takes " +
               count(want, "input", "inputs") + ": " +
               (want == 0 ? "all" : (dropped == 1 ? "the last one" : "the last " + std::to_string(dropped))) + " dropped";
    }
    if (have == 1 && want > 1) return from + " is mono: it feeds all " + std::to_string(want) + " inputs of " + to;
    if (have < want && have > 0) {
        return to + " has " + count(want, "input", "inputs") + ", " + from + " gives " + std::to_string(have) +
               (want - have > 1 ? ": inputs " + std::to_string(have + 1) + " to " + std::to_string(want) + " get silence"
                                : ": input " + std::to_string(want) + " gets silence");
    }
    return "";
}

ChainRenderer::ChainRenderer(const std::vector<ChainStage>& stages, int inputChannels, std::int32_t blockSize)
    : blockSize_(blockSize) {
    if (stages.empty()) throw HostError("a chain needs at least one module");
    const auto frames = static_cast<std::size_t>(blockSize);
    chainInputStore_.assign(static_cast<std::size_t>(std::max(inputChannels, 0)), std::vector<float>(frames, 0.0f));
    stages_.reserve(stages.size());
    for (const ChainStage& s : stages) {
        Host* host = s.host != nullptr ? s.host : static_cast<Host*>(s.instance->raw().effect()->user);
        if (host == nullptr) throw HostError("a chain module without a host");
        Stage st{s.instance, host, s.takesMidi, false, 0, 0, 0, {}, {}, {}, {}, {}};
        plan(st);
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
    outputChannels_ = stages_.back().numOutputs;
    finalOutputs_ = stages_.back().outputs.data();
}

// Reads the module's pins and latency and makes its buffers. One spare
// buffer each side, so that a plug-in that counts one too many pins does not
// write into the void.
void ChainRenderer::plan(Stage& st) {
    AEffect* e = st.instance->raw().effect();
    const auto frames = static_cast<std::size_t>(blockSize_);
    st.replacing = (e->flags & effFlagsCanReplacing) != 0;
    st.numInputs = std::max(e->numInputs, 0);
    st.numOutputs = std::max(e->numOutputs, 0);
    st.latency = std::max(e->initialDelay, 0);
    st.inputStore.assign(static_cast<std::size_t>(st.numInputs) + 1, std::vector<float>(frames, 0.0f));
    st.outputStore.assign(static_cast<std::size_t>(st.numOutputs) + 1, std::vector<float>(frames, 0.0f));
    st.inputs.clear();
    st.outputs.clear();
    for (auto& b : st.inputStore) st.inputs.push_back(b.data());
    for (auto& b : st.outputStore) st.outputs.push_back(b.data());
}

// Between blocks, after a module announced new pins or latency: its
// buffers are made again and the chain's ends keep their channel counts.
void ChainRenderer::replan() {
    for (std::size_t i = 0; i < stages_.size(); ++i) {
        Stage& s = stages_[i];
        if (!s.host->ioChanged) continue;
        s.host->ioChanged = false;
        const std::int32_t before = s.latency;
        AEffect* e = s.instance->raw().effect();
        if (std::max(e->numInputs, 0) == s.numInputs && std::max(e->numOutputs, 0) == s.numOutputs) {
            s.latency = std::max(e->initialDelay, 0);
        } else {
            plan(s);
        }
        ioChanges_.push_back({frames_, i, s.numInputs, s.numOutputs, s.latency, before});
        if (i == 0) {
            for (std::size_t k = 0; k < chainInputStore_.size(); ++k) {
                chainInputs_[k] = static_cast<int>(k) < s.numInputs ? s.inputs[k] : chainInputStore_[k].data();
            }
        }
    }
    Stage& last = stages_.back();
    if (last.numOutputs == outputChannels_) {
        finalOutputs_ = last.outputs.data();
    } else {
        finalStore_.assign(static_cast<std::size_t>(outputChannels_), std::vector<float>(static_cast<std::size_t>(blockSize_)));
        finalPointers_.clear();
        for (auto& b : finalStore_) finalPointers_.push_back(b.data());
        finalOutputs_ = finalPointers_.data();
    }
}

void ChainRenderer::setTimeline(const Timeline* timeline) {
    for (Stage& s : stages_) s.host->timeline = timeline;
}

void ChainRenderer::setCapture(bool midi, bool automation) {
    captureMidi_ = midi;
    for (std::size_t i = 0; i < stages_.size(); ++i) {
        Host& h = *stages_[i].host;
        // What a module sends is always taken when another module follows it.
        h.collect = midi || automation || i + 1 < stages_.size();
        h.sentMidi.reserve(1024);
        if (automation) h.automated.reserve(4096);
    }
    if (midi) midiOut_.reserve(4096);
}

void ChainRenderer::setParameter(std::size_t stage, std::int32_t index, float value) {
    Stage& s = stages_.at(stage);
    // Some modules report a value the host sets as if the user had moved it.
    const bool collect = s.host->collect;
    const std::size_t kept = s.host->automated.size();
    s.instance->raw().setParameter(index, value);
    if (collect) s.host->automated.resize(kept);
}

std::int32_t ChainRenderer::latency() const noexcept {
    std::int32_t total = 0;
    for (const Stage& s : stages_) total += s.latency;
    return total;
}

void ChainRenderer::start() {
    for (Stage& s : stages_) {
        s.host->position = 0;
        s.host->firstBlock = true;
        // A configured instance keeps its lifecycle; one set up by hand is
        // resumed by hand.
        if (s.instance->state() == Instance::State::Ready) {
            s.instance->resume();
        } else {
            s.instance->raw().dispatch(effMainsChanged, 0, 1);
        }
    }
    // A module may set its latency on resume.
    for (Stage& s : stages_) s.latency = std::max(s.instance->initialDelay(), 0);
}

void ChainRenderer::stop() {
    for (Stage& s : stages_) {
        if (s.instance->state() == Instance::State::Running) {
            s.instance->suspend();
        } else {
            s.instance->raw().dispatch(effMainsChanged, 0, 0);
        }
    }
}

// The events module i gets: the render's (when it takes MIDI) and what the
// module before it sent in this block, by frame.
VstEvents* ChainRenderer::eventsFor(std::size_t i, VstEvents* events, std::int32_t frames) {
    Stage& s = stages_[i];
    VstEvents* own = s.takesMidi ? events : nullptr;
    const std::vector<SentMidi>* sent = i > 0 ? &stages_[i - 1].host->sentMidi : nullptr;
    if (sent == nullptr || sent->empty()) return own;
    s.routed.clear();
    const std::int32_t ownCount = own != nullptr ? own->numEvents : 0;
    std::int32_t a = 0;
    std::size_t b = 0;
    while (a < ownCount || b < sent->size()) {
        const bool takeOwn =
            b == sent->size() ||
            (a < ownCount && eventSlots(own)[a]->deltaFrames <= clampDelta((*sent)[b].deltaFrames, frames));
        if (takeOwn) {
            s.routed.addRaw(*eventSlots(own)[a++]);
        } else {
            const SentMidi& m = (*sent)[b++];
            s.routed.addMidi(clampDelta(m.deltaFrames, frames), m.bytes[0], m.bytes[1], m.bytes[2]);
        }
    }
    return s.routed.get();
}

void ChainRenderer::block(std::int32_t frames, VstEvents* events, void (*beforeStage)(std::size_t, void*), void* context) {
    using Clock = std::chrono::steady_clock;
    const auto n = static_cast<std::size_t>(frames);
    const bool timed = measure && (measureEvery <= 1 || blocks_ % measureEvery == 0);
    const bool first = blocks_ == 0;
    for (Stage& s : stages_) {
        if (s.host->ioChanged) {
            replan();
            break;
        }
    }
    const float* const* from = chainInputs_.data();
    int fromCount = inputChannels();
    for (std::size_t i = 0; i < stages_.size(); ++i) {
        Stage& s = stages_[i];
        mapChannels(from, fromCount, s.inputs.data(), s.numInputs, n);
        if (!s.replacing) {
            for (int c = 0; c < s.numOutputs; ++c) std::memset(s.outputs[static_cast<std::size_t>(c)], 0, n * sizeof(float));
        }
        Host& h = *s.host;
        h.position = frames_;
        h.firstBlock = first;
        h.sentMidi.clear();
        VstEvents* list = eventsFor(i, events, frames);
        if (beforeStage != nullptr) beforeStage(i, context);
        const Clock::time_point t0 = timed ? Clock::now() : Clock::time_point();
        if (list != nullptr && list->numEvents > 0) s.instance->raw().dispatch(effProcessEvents, 0, 0, list);
        if (s.replacing) {
            s.instance->raw().processReplacing(s.inputs.data(), s.outputs.data(), frames);
        } else {
            s.instance->raw().process(s.inputs.data(), s.outputs.data(), frames);
        }
        if (timed) pluginNanoseconds_ += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count();
        if (captureMidi_) {
            for (const SentMidi& m : h.sentMidi) {
                CapturedMidi c;
                c.frame = frames_ + static_cast<std::uint64_t>(clampDelta(m.deltaFrames, frames));
                c.stage = i;
                std::memcpy(c.bytes, m.bytes, 3);
                midiOut_.push_back(c);
            }
        }
        from = s.outputs.data();
        fromCount = s.numOutputs;
    }
    if (finalOutputs_ != stages_.back().outputs.data()) {
        mapChannels(stages_.back().outputs.data(), stages_.back().numOutputs, finalPointers_.data(), outputChannels_, n);
    }
    if (!nonFinite_.found) {
        std::size_t firstBad = n;
        for (int c = 0; c < outputChannels_; ++c) {
            const float* x = finalOutputs_[c];
            if (allFinite(x, n)) continue;
            for (std::size_t k = 0; k < firstBad; ++k) {
                if (!std::isfinite(x[k])) {
                    firstBad = k;
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

RenderResult renderChain(ChainRenderer& renderer, const RenderPlan& plan, const RenderCallbacks& cb) {
    RenderResult result;
    renderer.setTimeline(plan.timeline);
    if (!plan.continues) {
        if (cb.step) cb.step("resuming");
        renderer.start();
    }
    // The latency in force as the render begins is what is removed; a later
    // change is reported, not compensated. A render that continues another
    // had it removed there.
    result.latency = renderer.latency();
    const std::uint64_t skip = plan.compensateLatency && !plan.continues ? static_cast<std::uint64_t>(result.latency) : 0;
    result.latencyRemoved = static_cast<std::int32_t>(skip);
    const std::uint64_t total = plan.frames + skip;
    if (cb.step) cb.step("rendering");
    EventList list;
    auto nextEvent = plan.events.begin();
    auto nextPoint = plan.automation.begin();
    const auto blockSize = static_cast<std::uint64_t>(renderer.blockSize());
    std::uint64_t blockIndex = 0;
    for (std::uint64_t start = 0; start < total; start += blockSize) {
        const auto frames = static_cast<std::int32_t>(std::min<std::uint64_t>(blockSize, total - start));
        if (cb.beforeBlock) cb.beforeBlock(blockIndex++, start);
        if (renderer.inputChannels() > 0) {
            float* const* in = renderer.inputs();
            const std::size_t got = cb.readInput ? cb.readInput(in, static_cast<std::size_t>(frames)) : 0;
            for (int c = 0; c < renderer.inputChannels(); ++c) std::fill(in[c] + got, in[c] + frames, 0.0f);
        }
        while (nextPoint != plan.automation.end() && nextPoint->frame <= start) {
            renderer.setParameter(nextPoint->stage, nextPoint->index, nextPoint->value);
            ++result.automationApplied;
            ++nextPoint;
        }
        list.clear();
        while (nextEvent != plan.events.end() && nextEvent->frame < start + static_cast<std::uint64_t>(frames)) {
            list.addMidi(static_cast<std::int32_t>(nextEvent->frame - start), nextEvent->bytes[0], nextEvent->bytes[1],
                         nextEvent->bytes[2]);
            ++nextEvent;
        }
        renderer.block(frames, list.size() > 0 ? list.get() : nullptr, cb.beforeStage, cb.context);
        if (plan.stopOnNonFinite && renderer.nonFinite().found) {
            result.stoppedEarly = true;
            break;
        }
        // The part of the block past the latency being removed.
        const std::uint64_t end = start + static_cast<std::uint64_t>(frames);
        if (end > skip && cb.write) {
            const std::uint64_t from = start >= skip ? 0 : skip - start;
            const float* const* out = renderer.outputs();
            const float* shifted[1024];
            const int channels = std::min(renderer.outputChannels(), 1024);
            for (int c = 0; c < channels; ++c) shifted[c] = out[c] + from;
            cb.write(shifted, static_cast<std::size_t>(end - start - from));
            result.framesWritten += end - start - from;
        }
    }
    if (plan.leaveRunning) return result;
    if (cb.step) cb.step("suspending");
    renderer.stop();
    return result;
}

}  // namespace aerie
