#include "core.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <aerie/io/preset.h>
#include <aerie/preset_state.h>

namespace pyaerie {

namespace {

// The job fields every render from Python shares with vst2host's, so that
// both render the same job.
aerie::RenderJob baseJob(std::uint32_t sampleRate, std::int32_t blockSize) {
    aerie::RenderJob job;
    job.sampleRate = sampleRate;
    job.blockSize = blockSize;
    return job;
}

void beforeStage(std::size_t stage, void* reporter) { static_cast<aerie::SandboxReporter*>(reporter)->stage(stage); }

}  // namespace

void checkRateAndBlock(double sampleRate, std::int32_t blockSize) {
    if (!(sampleRate >= 1.0 && sampleRate <= 1e7) || sampleRate != std::floor(sampleRate)) {
        throw aerie::HostError(aerie::ErrorKind::BadArgument, "sample_rate must be a whole number of Hz from 1");
    }
    if (blockSize < 1 || blockSize > 1 << 20) {
        throw aerie::HostError(aerie::ErrorKind::BadArgument, "block_size must be from 1 to 1048576 frames");
    }
}

Core::Core(const std::string& path, double sampleRate, std::int32_t blockSize,
           const std::function<void(const std::string&)>& step) {
    checkRateAndBlock(sampleRate, blockSize);
    rate_ = static_cast<std::uint32_t>(sampleRate);
    module_ = aerie::loadRenderModule(baseJob(rate_, blockSize), path, 0, 1, step);
    own_.modules = {module_.get()};
}

// own_ goes before module_: a stream left running is suspended first.
Core::~Core() = default;

aerie::Instance& Core::instance() {
    if (!module_->instance) throw aerie::HostError(aerie::ErrorKind::WrongState, "the plug-in " + name() + " is closed");
    return *module_->instance;
}

// Loading a preset or state needs the plug-in suspended: a stream left running ends here.
void Core::endStream() {
    if (module_->runningIn != nullptr) module_->runningIn->stop();
}

Identity Core::identity() {
    aerie::Instance& i = instance();
    Identity d;
    d.name = module_->name;
    d.vendor = module_->vendor;
    d.product = i.product();
    d.version = i.vendorVersion();
    d.uniqueId = i.uniqueId();
    d.category = aerie::categoryName(i.category());
    d.isInstrument = i.isSynth() || i.category() == kPlugCategSynth;
    d.numInputs = i.numInputs();
    d.numOutputs = i.numOutputs();
    return d;
}

std::int32_t Core::latency() { return instance().initialDelay(); }

std::int32_t Core::tail() { return instance().tailSize(); }

std::vector<std::string> Core::parameterNames() {
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(std::max(instance().numParameters(), 0)));
    for (std::int32_t k = 0; k < instance().numParameters(); ++k) names.push_back(instance().parameterName(k));
    return names;
}

aerie::ParameterInfo Core::parameter(std::int32_t index) { return instance().parameter(index); }

void Core::setParameter(std::int32_t index, float value) { instance().setParameterValue(index, value); }

std::vector<std::string> Core::programNames() {
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(std::max(instance().numPrograms(), 0)));
    for (std::int32_t k = 0; k < instance().numPrograms(); ++k) names.push_back(instance().programName(k));
    return names;
}

std::int32_t Core::program() { return instance().program(); }

void Core::setProgram(std::int32_t index) { instance().setProgram(index); }

std::vector<unsigned char> Core::state(bool bank) { return aerie::serializePreset(aerie::capturePreset(instance(), bank)); }

std::vector<std::string> Core::setState(const std::vector<unsigned char>& bytes) {
    aerie::Instance& i = instance();
    const aerie::PresetFile preset = aerie::parsePreset(bytes);
    endStream();
    return aerie::applyPreset(i, preset, false);
}

std::vector<std::string> Core::loadPreset(const std::string& path) {
    aerie::Instance& i = instance();
    const aerie::PresetFile preset = aerie::readPresetFile(path);
    endStream();
    try {
        return aerie::applyPreset(i, preset, false);
    } catch (const aerie::PresetError& e) {
        throw aerie::PresetError(path + ": " + e.what());
    }
}

void Core::savePreset(const std::string& path, bool bank) { aerie::writePresetFile(path, aerie::capturePreset(instance(), bank)); }

void Core::close() {
    if (closed()) return;
    endStream();
    module_->instance->close();
    module_->instance.reset();
    module_->module.reset();
}

RenderedCall renderCall(aerie::RenderChain& chain, std::uint32_t sampleRate, std::int32_t blockSize, const CallArgs& args,
                        const RenderInput& input, const std::function<float*(int, std::uint64_t)>& output,
                        aerie::SandboxReporter* reporter) {
    aerie::RenderJob job = baseJob(sampleRate, blockSize);
    job.chain = &chain;
    job.continues = !args.reset;
    job.leaveRunning = true;
    job.captureMidi = args.returnMidi;
    job.compensateLatency = args.compensateLatency;
    job.tailSeconds = args.tailSeconds;
    job.bpm = args.bpm;
    if (args.signature) job.signature = aerie::TimeSignature{0, args.signature->first, args.signature->second};
    job.midiFile = args.midiFile;
    for (const auto& [bytes, seconds] : args.messages) {
        aerie::RenderMessage m;
        m.seconds = seconds;
        std::memcpy(m.bytes, bytes.data(), std::min<std::size_t>(bytes.size(), 3));
        job.messages.push_back(m);
    }
    for (const auto& [module, index, time, unit, value] : args.automation) {
        aerie::RenderAutomation a;
        a.parameter.module = module;
        a.parameter.parameter = std::to_string(index + 1);
        a.parameter.value = value;
        a.parameter.what = "automation";
        a.time = time;
        a.unit = unit == "f" ? aerie::RenderAutomation::Unit::Frames : aerie::RenderAutomation::Unit::Seconds;
        a.where = "automation";
        job.automation.push_back(a);
    }
    if (input.count > 0) {
        job.inputBuffers = input.channels;
        job.inputChannels = input.count;
        job.inputFrames = input.frames;
    }

    RenderedCall done;
    aerie::PlannedRender plan = aerie::planRender(job);
    if (!args.untilEvents) plan.frames = args.frames;
    aerie::RenderHooks hooks;
    hooks.note = [&done](const std::string& text) { done.notes.push_back(text); };
    if (reporter != nullptr) {
        hooks.step = [reporter](const std::string& s) { reporter->step(s); };
        hooks.stages = [reporter](const std::vector<std::string>& names) { reporter->stages(names); };
        hooks.beforeBlock = [reporter](std::uint64_t index, std::uint64_t first) { reporter->block(index, first); };
        hooks.beforeStage = beforeStage;
        hooks.context = reporter;
    }
    aerie::RenderSession session(job, plan, std::move(hooks));
    std::size_t midiBefore = 0;
    std::uint64_t startFrame = 0;  // the renderer's frame this call starts at
    try {
        session.load();
        midiBefore = session.renderer().midiOut().size();
        startFrame = session.renderer().framesRendered();
        const std::uint64_t frames = plan.frames;
        float* base = output(session.outputChannels(), frames);
        std::uint64_t written = 0;
        job.sink = [base, frames, &written](const float* const* c, int count, std::size_t n) {
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, frames - written));
            for (int k = 0; k < count; ++k) std::memcpy(base + k * frames + written, c[k], take * sizeof(float));
            written += take;
        };
        const aerie::RenderResult result = session.render();
        session.finish();
        startFrame += static_cast<std::uint64_t>(result.latencyRemoved);
    } catch (...) {
        chain.stop();
        throw;
    }
    if (!args.returnMidi) return done;
    for (std::size_t i = midiBefore; i < session.renderer().midiOut().size(); ++i) {
        const aerie::CapturedMidi& m = session.renderer().midiOut()[i];
        if (m.stage + 1 != chain.modules.size()) continue;
        const double seconds = static_cast<double>(m.frame - std::min(m.frame, startFrame)) / sampleRate;
        done.midi.emplace_back(std::string(reinterpret_cast<const char*>(m.bytes), 3), seconds);
    }
    return done;
}

}  // namespace pyaerie
