#include <aerie/render_job.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

#include <aerie/io/automation.h>
#include <aerie/io/midi_reader.h>
#include <aerie/io/midi_writer.h>
#include <aerie/preset_state.h>

namespace aerie {

namespace {

// "1000", "97.5": a number as short as it can be written.
std::string jobNumber(double x) {
    char b[32];
    (void)std::snprintf(b, sizeof b, "%g", x);
    return b;
}

std::string jobLower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool jobDigits(const std::string& s) {
    return !s.empty() && s.size() <= 9 && s.find_first_not_of("0123456789") == std::string::npos;
}

// `1 "Attack", 2 "Release"`: the parameters at `which`.
std::string jobCandidates(const std::vector<std::string>& names, const std::vector<int>& which) {
    std::string out;
    for (std::size_t i = 0; i < which.size(); ++i) {
        if (i > 0) out += ", ";
        out += std::to_string(which[i] + 1) + " \"" + names[static_cast<std::size_t>(which[i])] + "\"";
    }
    return out;
}

// Without a MIDI file: the job's tempo and signature, or 120 and 4/4.
TimelineSettings plainTimeline(const RenderJob& job) {
    TimelineSettings s;
    s.sampleRate = job.sampleRate;
    s.bpm = job.bpm;
    if (job.signature) s.signatures = {*job.signature};
    s.loop = job.loop;
    return s;
}

void sortByFrame(std::vector<TimedMidi>& events) {
    std::stable_sort(events.begin(), events.end(), [](const TimedMidi& a, const TimedMidi& b) { return a.frame < b.frame; });
}

void planNotes(const RenderJob& job, PlannedRender& p) {
    for (const RenderNote& n : job.notes) {
        const MidiTime on{n.startNs, 1000000000ull};
        const MidiTime off{n.startNs + n.lengthNs, 1000000000ull};
        TimedMidi m;
        m.frame = on.frame(job.sampleRate);
        m.bytes[0] = 0x90;
        m.bytes[1] = static_cast<unsigned char>(n.note);
        m.bytes[2] = static_cast<unsigned char>(n.velocity);
        p.events.push_back(m);
        m.frame = off.frame(job.sampleRate);
        m.bytes[0] = 0x80;
        m.bytes[2] = 0;
        p.events.push_back(m);
        p.lastEventSeconds = std::max(p.lastEventSeconds.value_or(0.0), off.seconds());
    }
    sortByFrame(p.events);
    p.played = countText(static_cast<long long>(job.notes.size()), "note", "notes");
}

void planMessages(const RenderJob& job, PlannedRender& p) {
    for (const RenderMessage& e : job.messages) {
        if (!(e.seconds >= 0.0 && e.seconds < 1e9)) throw HostError(ErrorKind::BadArgument, "a MIDI message at no time one can render");
        TimedMidi m;
        m.frame = static_cast<std::uint64_t>(std::llround(e.seconds * job.sampleRate));
        std::memcpy(m.bytes, e.bytes, 3);
        p.events.push_back(m);
        p.lastEventSeconds = std::max(p.lastEventSeconds.value_or(0.0), e.seconds);
    }
    sortByFrame(p.events);
    p.played = countText(static_cast<long long>(job.messages.size()), "MIDI message", "MIDI messages");
}

void planMidiFile(const RenderJob& job, PlannedRender& p, TimelineSettings& timeline) {
    const std::string& path = job.midiFile;
    const MidiSequence seq = readMidiFile(path);
    // The file's tempo map and signatures, unless the job replaces them;
    // with a tempo given the file's ticks are placed at that tempo.
    const bool metrical = seq.division > 0;
    if (metrical) timeline.ticksPerQuarter = seq.division;
    if (metrical && !job.bpm) {
        for (const MidiTempo& x : seq.tempos) timeline.tempos.push_back({x.tick, x.microsPerQuarter});
    }
    if (!job.signature) {
        for (const MidiTimeSignature& x : seq.timeSignatures) timeline.signatures.push_back({x.tick, x.numerator, x.denominator});
    }
    const Timeline placed(timeline);
    const bool replaced = metrical && job.bpm.has_value();
    try {
        for (const MidiEvent& e : seq.events) {
            TimedMidi m;
            try {
                m.frame = replaced ? placed.frameOfTick(e.tick) : e.time.frame(job.sampleRate);
            } catch (const HostError&) {
                throw MidiError("MIDI file too long: an event lies beyond any renderable length");
            }
            std::copy(e.bytes, e.bytes + 3, m.bytes);
            p.events.push_back(m);
            p.lastEventSeconds = replaced ? static_cast<double>(m.frame) / job.sampleRate : e.time.seconds();
        }
    } catch (const MidiError& e) {
        throw MidiError(std::string(e.what()) + ": " + path);
    }
    std::ostringstream src;
    src << seq.events.size() << " MIDI events from " << seq.trackCount << (seq.trackCount == 1 ? " track" : " tracks") << " of "
        << (!job.midiShown.empty() ? job.midiShown : path == "-" ? "standard input" : path) << " (format " << seq.format << ", "
        << seq.tempoChanges << (seq.tempoChanges == 1 ? " tempo change)" : " tempo changes)");
    p.played = src.str();
}

}  // namespace

std::string secondsText(double seconds) {
    char b[32];
    (void)std::snprintf(b, sizeof b, "%.3f s", seconds);
    return b;
}

std::string countText(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string moduleLabel(const std::string& name, std::size_t index, std::size_t count) {
    if (count == 1) return name;
    return "module " + std::to_string(index + 1) + " (" + name + ")";
}

PlannedRender planRender(const RenderJob& job, std::unique_ptr<WavReader> input) {
    PlannedRender p;
    p.input = std::move(input);
    const std::uint32_t rate = job.sampleRate;
    if (rate == 0) throw HostError(ErrorKind::BadArgument, "a render needs a sample rate");
    if (job.bpm && !(*job.bpm >= kMinBpm && *job.bpm <= kMaxBpm)) {
        throw HostError(ErrorKind::BadArgument, "a tempo of " + jobNumber(*job.bpm) + " beats per minute (from " +
                                                    jobNumber(kMinBpm) + " to " + jobNumber(kMaxBpm) + ")");
    }
    if (job.signature && !validSignature(job.signature->numerator, job.signature->denominator)) {
        throw HostError(ErrorKind::BadArgument, "a time signature of " + std::to_string(job.signature->numerator) + "/" +
                                                    std::to_string(job.signature->denominator) +
                                                    " (N/D with D a power of two up to 64)");
    }
    const int midiSources = (job.midiFile.empty() ? 0 : 1) + (job.notes.empty() ? 0 : 1) + (job.messages.empty() ? 0 : 1);
    if (midiSources > 1) throw HostError(ErrorKind::BadArgument, "give a render one of a MIDI file, notes or MIDI messages");
    if (!job.inputFile.empty() && job.inputBuffers != nullptr) {
        throw HostError(ErrorKind::BadArgument, "give a render one input: a WAV file or buffers");
    }
    std::uint64_t inputFrames = 0;
    bool hasInput = false;
    if (!job.inputFile.empty()) {
        if (!p.input) p.input = WavReader::open(job.inputFile);
        if (p.input->format().rate != rate) {
            throw HostError(ErrorKind::BadArgument, "the input is " + std::to_string(p.input->format().rate) +
                                                        " Hz, the render " + std::to_string(rate) + " Hz");
        }
        inputFrames = p.input->format().frames;
        hasInput = true;
    } else if (job.inputBuffers != nullptr && job.inputChannels > 0) {
        inputFrames = job.inputFrames;
        hasInput = true;
    }

    TimelineSettings settings = plainTimeline(job);
    if (!job.notes.empty()) planNotes(job, p);
    if (!job.messages.empty()) planMessages(job, p);
    if (!job.midiFile.empty()) {
        planMidiFile(job, p, settings);
        p.timelineFromFile = !job.bpm;
    }
    p.timeline = Timeline(settings);

    const auto tailFrames = static_cast<std::uint64_t>(std::llround(job.tailSeconds * rate));
    p.frames = tailFrames;
    if (hasInput) {
        p.frames = inputFrames + tailFrames;
        p.length = "input " + secondsText(static_cast<double>(inputFrames) / rate) + " (" + std::to_string(inputFrames) +
                   " frames) + tail " + secondsText(job.tailSeconds);
    }
    if (!p.events.empty()) {
        const std::uint64_t last = p.events.back().frame;
        const std::uint64_t byEvents = std::max(last + 1, last + tailFrames);
        if (byEvents > p.frames || !hasInput) {
            p.frames = byEvents;
            p.length = "last event at " + secondsText(p.lastEventSeconds.value_or(0.0)) + " (frame " + std::to_string(last) +
                       ") + tail " + secondsText(job.tailSeconds);
        }
    } else if (!hasInput) {
        p.length = "no events, tail " + secondsText(job.tailSeconds) + " only";
    }
    return p;
}

std::int32_t findParameter(Instance& instance, const std::string& key, const std::string& what, const std::string& label) {
    const std::int32_t count = instance.numParameters();
    if (jobDigits(key)) {
        const long n = std::stol(key);
        if (n < 1 || n > count) {
            throw HostError(ErrorKind::BadArgument, what + ": " + label + " has " + std::to_string(count) +
                                                        (count == 1 ? " parameter" : " parameters") +
                                                        (count > 0 ? " (1 to " + std::to_string(count) + ")" : ""));
        }
        return static_cast<std::int32_t>(n - 1);
    }
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(std::max(count, 0)));
    for (std::int32_t i = 0; i < count; ++i) names.push_back(instance.parameterName(i));
    auto matching = [&](auto&& test) {
        std::vector<int> found;
        for (std::int32_t i = 0; i < count; ++i) {
            if (test(names[static_cast<std::size_t>(i)])) found.push_back(i);
        }
        return found;
    };
    const std::string lowKey = jobLower(key);
    for (const auto& found : {matching([&](const std::string& n) { return n == key; }),
                              matching([&](const std::string& n) { return jobLower(n) == lowKey; }),
                              matching([&](const std::string& n) { return jobLower(n).rfind(lowKey, 0) == 0; })}) {
        if (found.size() == 1) return found.front();
        if (found.size() > 1) {
            std::string message = what;
            message.append(": \"").append(key).append("\" is ambiguous in ").append(label);
            message.append(": ").append(jobCandidates(names, found)).append(" (give the number)");
            throw HostError(ErrorKind::BadArgument, message);
        }
    }
    std::vector<int> all(static_cast<std::size_t>(std::max(count, 0)));
    for (std::int32_t i = 0; i < count; ++i) all[static_cast<std::size_t>(i)] = i;
    throw HostError(ErrorKind::BadArgument, what + ": " + label + " has no parameter \"" + key + "\"; " +
                                                (count == 0 ? std::string("it has no parameters")
                                                            : "its parameters: " + jobCandidates(names, all)));
}

RenderSession::RenderSession(const RenderJob& job, PlannedRender& plan, RenderHooks hooks)
    : job_(job), planned_(plan), hooks_(std::move(hooks)) {}

RenderSession::~RenderSession() = default;

namespace {

bool wantsMidi(Instance& instance, const Host& host) {
    if (instance.isSynth()) return true;
    if (instance.canDo("receiveVstEvents") > 0 || instance.canDo("receiveVstMidiEvent") > 0) return true;
    return host.counts[audioMasterWantMidi] > 0;
}

}  // namespace

namespace {

AutomationState automationStateFor(const RenderJob& job) {
    const bool reading = !job.automation.empty();
    const bool writing = !job.saveAutomationFile.empty();
    return reading && writing ? AutomationState::ReadWrite
           : reading          ? AutomationState::Read
           : writing          ? AutomationState::Write
                              : AutomationState::Off;
}

}  // namespace

std::unique_ptr<LoadedModule> loadRenderModule(const RenderJob& job, const std::string& path, std::size_t i,
                                               std::size_t count, const std::function<void(const std::string&)>& onStep) {
    auto step = [&onStep](const std::string& s) {
        if (onStep) onStep(s);
    };
    auto m = std::make_unique<LoadedModule>();
    const std::string which = count == 1 ? std::string() : " " + std::to_string(i + 1);
    m->path = path;
    m->name = std::filesystem::path(m->path).filename().string();
    m->host.sampleRate = static_cast<float>(job.sampleRate);
    m->host.blockSize = job.blockSize;
    m->host.vendor = job.hostVendor;
    m->host.product = job.hostProduct;
    m->host.processLevel = ProcessLevel::Offline;
    m->host.automationState = automationStateFor(job);
    try {
        step("loading the module" + which);
        m->module = Module::open(m->path);
        step("creating an instance of the module" + which + " (calling its entry point)");
        m->instance = std::make_unique<Instance>(*m->module, m->host);
    } catch (const HostError& e) {
        throw HostError(e.kind(), count == 1 ? e.what() : "module " + std::to_string(i + 1) + ": " + e.what());
    }
    Instance& inst = *m->instance;
    // The name is asked before effOpen, as hosts do when they list modules.
    step("asking the module" + which + " for its name (effGetEffectName)");
    const std::string effectName = inst.raw().text(effGetEffectName);
    if (!effectName.empty()) m->name = effectName;
    const std::string label = moduleLabel(m->name, i, count);
    step("asking " + label + " for its vendor (effGetVendorString)");
    m->vendor = inst.raw().text(effGetVendorString);
    step("opening " + label + " (effOpen)");
    inst.open();
    step("setting the sample rate and block size of " + label + " (effSetSampleRate, effSetBlockSize)");
    inst.configure(static_cast<double>(job.sampleRate), job.blockSize);
    step("asking " + label + " what it can do (effCanDo)");
    m->takesMidi = wantsMidi(inst, m->host);
    return m;
}

bool RenderChain::running() const noexcept {
    return std::any_of(modules.begin(), modules.end(), [this](const LoadedModule* m) { return m->runningIn == this; });
}

void RenderChain::stop() {
    for (LoadedModule* m : modules) {
        if (m->runningIn != this) continue;
        m->runningIn = nullptr;
        if (m->instance && m->instance->state() == Instance::State::Running) m->instance->suspend();
    }
    renderer.reset();
}

void RenderSession::loadModule(std::size_t i) {
    own_.push_back(loadRenderModule(job_, job_.modules[i], i, job_.modules.size(), hooks_.step));
    ownChain_.modules.push_back(own_.back().get());
}

// State, bank, preset, program, then parameters: each later one wins.
void RenderSession::applySettings() {
    auto step = [this](const std::string& s) {
        if (hooks_.step) hooks_.step(s);
    };
    auto note = [this](const std::string& s) {
        if (hooks_.note) hooks_.note(s);
    };
    for (const RenderState& s : job_.states) {
        LoadedModule& m = module(s.module);
        step("loading the state " + s.name + " into " + label(s.module));
        for (const std::string& n : s.apply(*m.instance, label(s.module))) note(n);
    }
    for (const auto* list : {&job_.banks, &job_.presets}) {
        for (const RenderPreset& p : *list) {
            LoadedModule& m = module(p.module);
            step("loading " + p.name + " into " + label(p.module));
            try {
                for (const std::string& n : applyPreset(*m.instance, p.data, job_.force)) note(p.name + ": " + n);
            } catch (const PresetError& e) {
                throw PresetError(p.name + ": " + e.what());
            }
        }
    }
    for (const RenderProgram& p : job_.programs) {
        LoadedModule& m = module(p.module);
        const std::int32_t available = m.instance->numPrograms();
        if (p.program >= available) {
            throw HostError(ErrorKind::BadArgument, p.what + ": " + label(p.module) + " has " +
                                                        countText(available, "program", "programs") +
                                                        (available > 0 ? " (1 to " + std::to_string(available) + ")" : ""));
        }
        step("selecting program " + std::to_string(p.program + 1) + " of " + label(p.module) + " (effSetProgram)");
        m.instance->setProgram(p.program);
    }
    for (const RenderParameter& p : job_.parameters) {
        LoadedModule& m = module(p.module);
        step("naming the parameters of " + label(p.module) + " (effGetParamName)");
        const std::int32_t index = findParameter(*m.instance, p.parameter, p.what, label(p.module));
        step("setting parameter " + std::to_string(index + 1) + " of " + label(p.module));
        m.instance->setParameterValue(index, p.value);
    }
}

// The automation as points of the chain, in time order.
void RenderSession::resolveAutomation() {
    const Timeline& time = planned_.timeline;
    for (const RenderAutomation& a : job_.automation) {
        const RenderParameter& p = a.parameter;
        LoadedModule& m = module(p.module);
        AutomationPoint point;
        point.stage = p.module;
        point.index = findParameter(*m.instance, p.parameter, p.what, label(p.module));
        point.value = p.value;
        try {
            point.frame = a.unit == RenderAutomation::Unit::Beats  ? time.frameOfPpq(a.time)
                          : a.unit == RenderAutomation::Unit::Frames ? static_cast<std::uint64_t>(std::max(a.time, 0.0))
                                                                     : static_cast<std::uint64_t>(std::llround(a.time * job_.sampleRate));
        } catch (const HostError& e) {
            throw HostError(ErrorKind::BadInputFile, a.where + ": " + e.what());
        }
        plan_.automation.push_back(point);
    }
    std::stable_sort(plan_.automation.begin(), plan_.automation.end(),
                     [](const AutomationPoint& a, const AutomationPoint& b) { return a.frame < b.frame; });
}

void RenderSession::load() {
    if (job_.chain != nullptr) {
        useChain();
    } else {
        if (job_.modules.empty()) throw HostError(ErrorKind::BadArgument, "a render needs at least one module");
        for (std::size_t i = 0; i < job_.modules.size(); ++i) loadModule(i);
    }
    const std::size_t count = chain_->modules.size();
    const std::vector<LoadedModule*>& chain = chain_->modules;
    names_.clear();
    for (const LoadedModule* m : chain) names_.push_back(m->name);
    if (hooks_.stages) hooks_.stages(names_);

    applySettings();
    if (hooks_.step) hooks_.step("naming the parameters of the automation (effGetParamName)");
    resolveAutomation();

    auto note = [this](const std::string& text) {
        if (!text.empty() && hooks_.note) hooks_.note(text);
    };
    const int inputChannels = planned_.input ? planned_.input->format().channels
                              : job_.inputBuffers != nullptr ? job_.inputChannels
                                                             : 0;
    if (inputChannels > 0) {
        note(describeChannelMapping(inputChannels, "the input", chain[0]->instance->numInputs(), label(0)));
    }
    for (std::size_t i = 1; i < count; ++i) {
        note(describeChannelMapping(chain[i - 1]->instance->numOutputs(), label(i - 1), chain[i]->instance->numInputs(),
                                    label(i)));
    }
    if (!planned_.events.empty() && std::none_of(chain.begin(), chain.end(), [](const auto* m) { return m->takesMidi; })) {
        note(std::string(count == 1 ? "the plug-in does" : "no module of the chain does") +
             " not ask for MIDI: the events are not sent");
    }
    channels_ = chain.back()->instance->numOutputs();
    if (channels_ < 1 || channels_ > 1024) {
        throw HostError(ErrorKind::BadRecord,
                        label(count - 1) + " reports " + std::to_string(channels_) + " audio outputs; nothing to record");
    }
    for (LoadedModule* m : chain) m->host.record = false;

    if (!job_.outputFile.empty()) {
        wav_ = std::make_unique<WavWriter>(job_.outputFile, channels_, job_.sampleRate, job_.format);
        if (hooks_.temporary) hooks_.temporary(wav_->temporaryPath());
    }

    // A continued render goes on with the renderer that left the chain running.
    const bool continues = job_.continues && chain_->renderer && chain_->running() &&
                           chain_->renderer->inputChannels() == inputChannels;
    if (job_.continues && !continues) {
        throw HostError(ErrorKind::BadArgument, chain_->running() ? "a render that continues another takes as many input channels"
                                                                  : "no render to continue: the chain is not running");
    }
    if (!continues) {
        std::vector<ChainStage> stages;
        stages.reserve(chain.size());
        for (LoadedModule* m : chain) stages.push_back({m->instance.get(), m->takesMidi, &m->host});
        chain_->renderer = std::make_unique<ChainRenderer>(stages, inputChannels, job_.blockSize);
    }
    renderer_ = chain_->renderer.get();
    renderer_->setCapture(job_.captureMidi || !job_.midiOutFile.empty(), !job_.saveAutomationFile.empty());

    plan_.frames = planned_.frames;
    plan_.events = planned_.events;
    plan_.timeline = &planned_.timeline;
    plan_.compensateLatency = job_.compensateLatency;
    plan_.stopOnNonFinite = job_.stopOnNonFinite;
    plan_.continues = continues;
    plan_.leaveRunning = job_.leaveRunning;
}

// Checks the caller's chain against the job; a chain left running that this
// render does not continue is suspended first.
void RenderSession::useChain() {
    chain_ = job_.chain;
    if (chain_->modules.empty()) throw HostError(ErrorKind::BadArgument, "a render needs at least one module");
    for (LoadedModule* m : chain_->modules) {
        if (m->runningIn != nullptr && m->runningIn != chain_) {
            if (job_.continues) throw HostError(ErrorKind::WrongState, "no render to continue: " + m->name + " ran in another chain since");
            m->runningIn->stop();
        }
        const Instance& inst = *m->instance;
        if (inst.sampleRate() != static_cast<double>(job_.sampleRate) || inst.maxBlockSize() != job_.blockSize) {
            throw HostError(ErrorKind::BadArgument, m->name + " runs at " + std::to_string(static_cast<long long>(inst.sampleRate())) +
                                                        " Hz in blocks of " + std::to_string(inst.maxBlockSize()) +
                                                        ", the render at " + std::to_string(job_.sampleRate) + " Hz in blocks of " +
                                                        std::to_string(job_.blockSize));
        }
    }
    if (!job_.continues) chain_->stop();
    for (LoadedModule* m : chain_->modules) m->host.automationState = automationStateFor(job_);
}

RenderResult RenderSession::render() {
    RenderCallbacks callbacks;
    WavReader* input = planned_.input.get();
    if (input != nullptr) {
        callbacks.readInput = [input](float* const* in, std::size_t frames) { return input->read(in, frames); };
    } else if (job_.inputBuffers != nullptr && job_.inputChannels > 0) {
        callbacks.readInput = [this](float* const* in, std::size_t frames) -> std::size_t {
            const std::uint64_t left = job_.inputFrames - std::min(inputRead_, job_.inputFrames);
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, frames));
            for (int c = 0; c < job_.inputChannels; ++c) std::memcpy(in[c], job_.inputBuffers[c] + inputRead_, n * sizeof(float));
            inputRead_ += n;
            return n;
        };
    }
    if (wav_) {
        callbacks.write = [this](const float* const* out, std::size_t frames) { wav_->write(out, frames); };
    } else if (job_.sink) {
        callbacks.write = [this](const float* const* out, std::size_t frames) { job_.sink(out, channels_, frames); };
    }
    callbacks.beforeBlock = hooks_.beforeBlock;
    const std::string suffix = chain_->modules.size() == 1 ? "" : "s";
    callbacks.step = [this, &suffix](const char* step) {
        if (!hooks_.step) return;
        if (std::strcmp(step, "rendering") == 0) {
            hooks_.step("rendering");
        } else {
            hooks_.step(std::string(step) + " the module" + suffix + " (effMainsChanged)");
        }
    };
    callbacks.beforeStage = hooks_.beforeStage;
    callbacks.context = hooks_.context;
    const auto wallStart = std::chrono::steady_clock::now();
    const RenderResult result = renderChain(*renderer_, plan_, callbacks);
    for (LoadedModule* m : chain_->modules) m->runningIn = plan_.leaveRunning ? chain_ : nullptr;
    wallSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    written_ = result.framesWritten;
    return result;
}

// The files written after the render: states, presets, banks.
void RenderSession::saveSettings() {
    for (const RenderSave::Kind kind : {RenderSave::Kind::State, RenderSave::Kind::Preset, RenderSave::Kind::Bank}) {
        for (const RenderSave& s : job_.saves) {
            if (s.kind != kind) continue;
            LoadedModule& m = module(s.module);
            if (kind == RenderSave::Kind::State) {
                if (hooks_.step) hooks_.step("saving the state of " + label(s.module));
                if (s.save) s.save(*m.instance, m.name, m.vendor);
                continue;
            }
            const bool bank = kind == RenderSave::Kind::Bank;
            if (hooks_.step) hooks_.step(std::string("saving the ") + (bank ? "bank" : "preset") + " of " + label(s.module));
            try {
                writePresetFile(s.path, capturePreset(*m.instance, bank));
            } catch (const PresetError& e) {
                throw HostError(ErrorKind::OutputFile, s.path + ": " + e.what());
            }
        }
    }
}

// The files of what the modules sent: the automation they reported and their MIDI.
void RenderSession::writeCaptures() {
    const std::uint32_t rate = job_.sampleRate;
    if (!job_.saveAutomationFile.empty()) {
        std::vector<std::pair<std::uint64_t, AutomationRow>> rows;
        const std::vector<LoadedModule*>& chain = chain_->modules;
        for (std::size_t i = 0; i < chain.size(); ++i) {
            for (const AutomatedValue& v : chain[i]->host.automated) {
                AutomationRow r;
                r.time = static_cast<double>(v.frame) / rate;
                r.parameter = (chain.size() > 1 ? std::to_string(i + 1) + ":" : "") + std::to_string(v.index + 1);
                r.value = std::clamp(v.value, 0.0f, 1.0f);
                rows.emplace_back(v.frame, r);
            }
        }
        std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<AutomationRow> sorted;
        sorted.reserve(rows.size());
        for (auto& r : rows) sorted.push_back(r.second);
        writeAutomationFile(job_.saveAutomationFile, sorted);
    }
    if (!job_.midiOutFile.empty()) {
        const Timeline& timeline = planned_.timeline;
        const TimelineSettings& t = timeline.settings();
        std::vector<MidiTempo> tempos;
        for (const TempoChange& x : t.tempos) tempos.push_back({x.tick, x.microsPerQuarter});
        std::vector<MidiTimeSignature> signatures;
        for (const TimeSignature& x : t.signatures) signatures.push_back({x.tick, x.numerator, x.denominator});
        std::vector<MidiOutEvent> events;
        for (const CapturedMidi& m : renderer_->midiOut()) {
            MidiOutEvent e;
            e.tick = timeline.tickAt(m.frame);
            std::memcpy(e.bytes, m.bytes, 3);
            events.push_back(e);
        }
        try {
            writeMidiFile(job_.midiOutFile, serializeMidi(t.ticksPerQuarter, tempos, signatures, events));
        } catch (const MidiError& e) {
            throw HostError(ErrorKind::OutputFile, e.what());
        }
    }
}

void RenderSession::finish() {
    saveSettings();
    writeCaptures();
    // The caller's chain stays loaded; the session's own is closed and unloaded.
    for (std::size_t i = 0; i < own_.size(); ++i) {
        if (hooks_.step) hooks_.step("closing " + label(i) + " (effClose)");
        own_[i]->instance->close();
        own_[i]->instance.reset();
    }
    if (wav_) {
        wav_->commit();
        written_ = wav_->frames();
    }
    for (std::size_t i = 0; i < own_.size(); ++i) {
        if (hooks_.step) hooks_.step("unloading " + label(i));
        own_[i]->module.reset();
    }
}

}  // namespace aerie
