// `vst2host render`: plays audio from a WAV file and MIDI (a file or a few
// notes) through one module or a chain of them, block by block as a host
// does, into a WAV file.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include "tools/vst2host/crash_guard.h"
#include "tools/vst2host/tool.h"
#include <aerie/io/midifile.h>
#include <aerie/process.h>
#include <aerie/render.h>
#include <aerie/aerie.h>
#include <aerie/io/wavfile.h>
#include <aerie/io/wavreader.h>

#if defined(_WIN32)
#include <io.h>
#define KSTV_DUP _dup
#define KSTV_DUP2 _dup2
#define KSTV_CLOSE _close
#else
#include <unistd.h>
#define KSTV_DUP dup
#define KSTV_DUP2 dup2
#define KSTV_CLOSE close
#endif

namespace tool {

namespace {

// While modules run, what they print to standard output goes to standard
// error, so that standard output carries the tool's own lines only.
class StdoutToStderr {
public:
    StdoutToStderr() {
        (void)std::fflush(stdout);
        saved_ = KSTV_DUP(1);
        if (saved_ >= 0) (void)KSTV_DUP2(2, 1);
    }
    ~StdoutToStderr() { restore(); }
    StdoutToStderr(const StdoutToStderr&) = delete;
    StdoutToStderr& operator=(const StdoutToStderr&) = delete;
    void restore() {
        if (saved_ < 0) return;
        (void)std::fflush(stdout);
        (void)KSTV_DUP2(saved_, 1);
        (void)KSTV_CLOSE(saved_);
        saved_ = -1;
    }

private:
    int saved_ = -1;
};

constexpr std::uint32_t kMaxRate = 1000000;
constexpr std::int32_t kMaxBlock = 1 << 20;
constexpr double kMaxTail = 3600.0;

struct RenderOptions {
    std::vector<std::string> modules;
    std::string input;
    std::string midi;
    std::string notes;
    std::string out;
    long long rate = 44100;
    bool rateGiven = false;
    long long block = 512;
    double tail = 1.0;
    std::string format = "float";
    std::vector<std::string> params;
    std::vector<std::string> programs;
    std::vector<std::string> states;
    std::vector<std::string> saveStates;
    bool force = false;
    bool strict = false;
    double timeout = 30.0;
};

struct Schedule {
    std::vector<aerie::TimedMidi> events;
    std::string source;            // for the summary: "3 tracks, 12 events, 2 tempo changes"
    std::optional<double> lastSeconds;
};

// "0.125" -> nanoseconds, exactly; at most 9 decimals.
std::optional<std::uint64_t> parseSeconds(const std::string& text) {
    std::uint64_t whole = 0;
    std::uint64_t frac = 0;
    int decimals = 0;
    bool digits = false;
    bool point = false;
    for (char c : text) {
        if (c == '.' && !point) {
            point = true;
        } else if (c >= '0' && c <= '9') {
            digits = true;
            if (point) {
                if (decimals == 9) return std::nullopt;
                frac = frac * 10 + static_cast<std::uint64_t>(c - '0');
                ++decimals;
            } else {
                whole = whole * 10 + static_cast<std::uint64_t>(c - '0');
                if (whole > std::uint64_t{24} * 3600) return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
    }
    if (!digits) return std::nullopt;
    while (decimals++ < 9) frac *= 10;
    return whole * 1000000000ull + frac;
}

std::optional<int> parseMidiNumber(const std::string& text) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    const int v = std::stoi(text);
    if (v > 127) return std::nullopt;
    return v;
}

Schedule notesSchedule(const std::string& list, std::uint32_t rate) {
    Schedule s;
    std::stringstream in(list);
    std::string item;
    int count = 0;
    while (std::getline(in, item, ',')) {
        item.erase(0, item.find_first_not_of(' '));
        item.erase(item.find_last_not_of(' ') + 1);
        auto bad = [&](const std::string& why) {
            return Error(kUsage, std::string("--notes: cannot read \"")
                                     .append(item)
                                     .append("\": ")
                                     .append(why)
                                     .append(" (expected NOTE:VELOCITY@SECONDS[+LENGTH], e.g. 60:127@0.5)"));
        };
        const auto colon = item.find(':');
        const auto at = item.find('@');
        if (colon == std::string::npos || at == std::string::npos || at < colon) throw bad("missing ':' or '@'");
        const auto plus = item.find('+', at);
        const auto note = parseMidiNumber(item.substr(0, colon));
        const auto velocity = parseMidiNumber(item.substr(colon + 1, at - colon - 1));
        const auto start = parseSeconds(item.substr(at + 1, plus == std::string::npos ? std::string::npos : plus - at - 1));
        const auto length = plus == std::string::npos ? parseSeconds("0.25") : parseSeconds(item.substr(plus + 1));
        if (!note) throw bad("the note must be a number from 0 to 127");
        if (!velocity) throw bad("the velocity must be a number from 0 to 127");
        if (!start) throw bad("the time must be a number of seconds, like 0.5");
        if (!length) throw bad("the length must be a number of seconds, like 0.25");
        const aerie::MidiTime on{*start, 1000000000ull};
        const aerie::MidiTime off{*start + *length, 1000000000ull};
        aerie::TimedMidi m;
        m.frame = on.frame(rate);
        m.bytes[0] = 0x90;
        m.bytes[1] = static_cast<unsigned char>(*note);
        m.bytes[2] = static_cast<unsigned char>(*velocity);
        s.events.push_back(m);
        m.frame = off.frame(rate);
        m.bytes[0] = 0x80;
        m.bytes[2] = 0;
        s.events.push_back(m);
        s.lastSeconds = std::max(s.lastSeconds.value_or(0.0), off.seconds());
        ++count;
    }
    if (count == 0) throw Error(kUsage, "--notes: no notes given");
    std::stable_sort(s.events.begin(), s.events.end(),
                     [](const aerie::TimedMidi& a, const aerie::TimedMidi& b) { return a.frame < b.frame; });
    s.source = std::to_string(count) + (count == 1 ? " note" : " notes") + " from --notes";
    return s;
}

Schedule midiSchedule(const std::string& path, std::uint32_t rate) {
    aerie::MidiSequence seq;
    try {
        seq = aerie::readMidiFile(path);
    } catch (const aerie::MidiError& e) {
        throw Error(kMidi, e.what());
    }
    Schedule s;
    try {
        for (const aerie::MidiEvent& e : seq.events) {
            aerie::TimedMidi m;
            m.frame = e.time.frame(rate);
            std::copy(e.bytes, e.bytes + 3, m.bytes);
            s.events.push_back(m);
            s.lastSeconds = e.time.seconds();
        }
    } catch (const aerie::MidiError& e) {
        throw Error(kMidi, std::string(e.what()) + ": " + path);
    }
    std::ostringstream src;
    src << seq.events.size() << " MIDI events from " << seq.trackCount << (seq.trackCount == 1 ? " track" : " tracks")
        << " of " << (path == "-" ? "standard input" : path) << " (format " << seq.format << ", "
        << seq.tempoChanges << (seq.tempoChanges == 1 ? " tempo change)" : " tempo changes)");
    s.source = src.str();
    return s;
}

aerie::SampleFormat parseFormat(const std::string& f) {
    if (f == "float") return aerie::SampleFormat::Float32;
    if (f == "pcm16") return aerie::SampleFormat::Pcm16;
    if (f == "pcm24") return aerie::SampleFormat::Pcm24;
    throw Error(kUsage, "--format must be float, pcm16 or pcm24 (got \"" + f + "\")");
}

std::string formatSeconds(double s) {
    char b[32];
    (void)std::snprintf(b, sizeof b, "%.3f s", s);
    return b;
}

std::string plural(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

void note(const std::string& text) { (void)std::fprintf(stderr, "vst2host: note: %s\n", text.c_str()); }

// A progress bar on standard error, shown only on a terminal and only once a
// render has taken long enough to be worth watching.
class Progress {
public:
    Progress(std::uint64_t total, std::uint32_t rate)
        : total_(total), rate_(rate), enabled_(aerie::isTerminal(stderr)), start_(Clock::now()) {}
    void update(std::uint64_t done) {
        if (!enabled_ || total_ == 0) return;
        const auto now = Clock::now();
        if (now - start_ < std::chrono::milliseconds(300) || now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        draw(done);
    }
    void finish() {
        if (shown_) {
            draw(total_);
            (void)std::fputc('\n', stderr);
        }
    }

private:
    using Clock = std::chrono::steady_clock;
    void draw(std::uint64_t done) {
        constexpr int width = 40;
        const double f = static_cast<double>(done) / static_cast<double>(total_);
        const int filled = static_cast<int>(f * width);
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.append(static_cast<std::size_t>(width - filled), '.');
        (void)std::fprintf(stderr, "\rrendering [%s] %3d%%  %.1f / %.1f s", bar.c_str(), static_cast<int>(f * 100.0),
                           static_cast<double>(done) / rate_, static_cast<double>(total_) / rate_);
        (void)std::fflush(stderr);
        shown_ = true;
    }
    std::uint64_t total_;
    std::uint32_t rate_;
    bool enabled_;
    bool shown_ = false;
    Clock::time_point start_;
    Clock::time_point last_{};
};

// One module of the chain, as loaded.
struct Loaded {
    std::string path;
    std::string name;  // its effect name, or the file name when it gives none
    std::string vendor;
    std::unique_ptr<aerie::Module> module;
    aerie::Host host;
    std::unique_ptr<aerie::Instance> instance;
    bool takesMidi = false;
};

// Options addressed to module K of a chain ("K:..."), or to the only module.
int addressedModule(const Addressed& a, const std::string& option, const std::string& text, std::size_t modules) {
    if (a.module == 0) {
        if (modules == 1) return 1;
        throw Error(kUsage, option + " " + text + ": in a chain of " + std::to_string(modules) +
                                " modules, say which one: " + option + " K:" + text);
    }
    if (a.module < 1 || static_cast<std::size_t>(a.module) > modules) {
        throw Error(kUsage, option + " " + text + ": there is no module " + std::to_string(a.module) + " (the chain has " +
                                plural(static_cast<long long>(modules), "module", "modules") + ")");
    }
    return a.module;
}

std::string moduleLabel(const Loaded& m, std::size_t index, std::size_t count) {
    if (count == 1) return m.name;
    return "module " + std::to_string(index + 1) + " (" + m.name + ")";
}

bool wantsMidi(aerie::Instance& instance, const aerie::Host& host) {
    if ((instance.effect()->flags & effFlagsIsSynth) != 0) return true;
    if (instance.canDo("receiveVstEvents") > 0 || instance.canDo("receiveVstMidiEvent") > 0) return true;
    return std::any_of(host.requests.begin(), host.requests.end(),
                       [](const aerie::HostRequest& r) { return r.opcode == audioMasterWantMidi; });
}

// The chain's renderer tells the crash guard which module it calls.
void beforeStage(std::size_t stage, void* /*context*/) { crashguard::setStage(stage); }

int runRender(RenderOptions& o) {
    if (o.rate < 1 || o.rate > kMaxRate) {
        throw Error(kUsage, "--rate must be from 1 to " + std::to_string(kMaxRate) + " Hz (got " + std::to_string(o.rate) + ")");
    }
    if (o.block < 1 || o.block > kMaxBlock) {
        throw Error(kUsage, "--block must be from 1 to " + std::to_string(kMaxBlock) + " frames (got " +
                                std::to_string(o.block) + ")");
    }
    if (!std::isfinite(o.tail) || o.tail < 0 || o.tail > kMaxTail) {
        throw Error(kUsage, "--tail must be from 0 to " + std::to_string(static_cast<int>(kMaxTail)) + " seconds");
    }
    if (!(o.timeout > 0)) throw Error(kUsage, "--timeout must be more than 0 seconds");
    if (!o.midi.empty() && !o.notes.empty()) throw Error(kUsage, "give either --midi FILE or --notes LIST, not both");
    if (o.input.empty() && o.midi.empty() && o.notes.empty()) {
        throw Error(kUsage, "give something to play: --input FILE.wav, --midi FILE or --notes LIST");
    }
    const aerie::SampleFormat format = parseFormat(o.format);
    const auto block = static_cast<std::int32_t>(o.block);
    const std::size_t count = o.modules.size();

    // Everything the command line says is checked before any module is loaded.
    std::vector<ParamSetting> params;
    for (const std::string& p : o.params) {
        params.push_back(parseParamSetting(p));
        params.back().module = addressedModule({params.back().module, ""}, "--param", p, count);
    }
    struct ProgramChoice {
        int module;
        long long number;
        std::string text;
    };
    std::vector<ProgramChoice> programs;
    for (const std::string& p : o.programs) {
        const Addressed a = splitModuleAddress(p);
        const int k = addressedModule(a, "--program", p, count);
        const std::string& n = a.rest;
        if (n.empty() || n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos || std::stoll(n) < 1) {
            throw Error(kUsage, "--program " + p + ": the program must be a number from 1, as info numbers them");
        }
        programs.push_back({k, std::stoll(n), p});
    }
    struct StateFile {
        int module;
        std::string path;
    };
    std::vector<StateFile> loads;
    std::vector<StateFile> saves;
    for (const std::string& s : o.states) {
        const Addressed a = splitModuleAddress(s);
        loads.push_back({addressedModule(a, "--state", s, count), a.rest});
    }
    for (const std::string& s : o.saveStates) {
        const Addressed a = splitModuleAddress(s);
        saves.push_back({addressedModule(a, "--save-state", s, count), a.rest});
    }
    std::vector<nlohmann::ordered_json> stateData(loads.size());
    for (std::size_t i = 0; i < loads.size(); ++i) stateData[i] = readStateFile(loads[i].path);

    std::unique_ptr<aerie::WavReader> input;
    if (!o.input.empty()) {
        try {
            input = aerie::WavReader::open(o.input);
        } catch (const aerie::WavError& e) {
            throw Error(kMidi, e.what());
        }
        const std::uint32_t fileRate = input->format().rate;
        if (o.rateGiven && static_cast<std::uint32_t>(o.rate) != fileRate) {
            throw Error(kUsage, "--rate " + std::to_string(o.rate) + " disagrees with the input, which is " +
                                    std::to_string(fileRate) + " Hz: the input's rate is the render rate (leave --rate out)");
        }
        if (fileRate > kMaxRate) throw Error(kMidi, "the input's sample rate of " + std::to_string(fileRate) + " Hz is too high");
        o.rate = fileRate;
    }
    const auto rate = static_cast<std::uint32_t>(o.rate);

    Schedule schedule;
    if (!o.notes.empty()) schedule = notesSchedule(o.notes, rate);
    if (!o.midi.empty()) schedule = midiSchedule(o.midi, rate);
    const auto tailFrames = static_cast<std::uint64_t>(std::llround(o.tail * rate));
    std::uint64_t total = tailFrames;
    std::string why;
    if (input) {
        total = input->format().frames + tailFrames;
        why = "input " + formatSeconds(static_cast<double>(input->format().frames) / rate) + " (" +
              std::to_string(input->format().frames) + " frames) + tail " + formatSeconds(o.tail);
    }
    if (!schedule.events.empty()) {
        const std::uint64_t last = schedule.events.back().frame;
        const std::uint64_t byEvents = std::max(last + 1, last + tailFrames);
        if (byEvents > total || !input) {
            total = byEvents;
            why = "last event at " + formatSeconds(*schedule.lastSeconds) + " (frame " + std::to_string(last) + ") + tail " +
                  formatSeconds(o.tail);
        }
    } else if (!input) {
        why = "no events, tail " + formatSeconds(o.tail) + " only";
    }

    // Names are looked up first: that probes modules in child processes,
    // which the watchdog below must not take for a hang.
    std::vector<std::string> paths;
    paths.reserve(o.modules.size());
    for (const std::string& m : o.modules) paths.push_back(resolveModule(m));

    // From here on a module runs: a crash, a hang or an exit of its own is
    // reported with the step it happened in.
    crashguard::install(true);
    struct Finish {
        ~Finish() {
            crashguard::stopWatchdog();
            crashguard::finish();
        }
    } finish;
    crashguard::startWatchdog(o.timeout);
    StdoutToStderr quiet;

    std::vector<std::unique_ptr<Loaded>> chain;
    for (std::size_t i = 0; i < count; ++i) {
        auto m = std::make_unique<Loaded>();
        const std::string which = count == 1 ? std::string() : " " + std::to_string(i + 1);
        m->path = paths[i];
        m->name = std::filesystem::path(m->path).filename().string();
        m->host.sampleRate = static_cast<float>(rate);
        m->host.blockSize = block;
        try {
            crashguard::setStepText("loading the module" + which);
            m->module = aerie::Module::open(m->path);
            crashguard::setStepText("creating an instance of the module" + which + " (calling its entry point)");
            m->instance = std::make_unique<aerie::Instance>(*m->module, m->host);
        } catch (const aerie::HostError& e) {
            throw Error(kModule, count == 1 ? e.what() : "module " + std::to_string(i + 1) + ": " + e.what());
        }
        aerie::Instance& inst = *m->instance;
        crashguard::setStepText("asking the module" + which + " for its name (effGetEffectName)");
        const std::string effectName = inst.text(effGetEffectName);
        if (!effectName.empty()) m->name = effectName;
        const std::string label = count == 1 ? m->name : "module " + std::to_string(i + 1) + " (" + m->name + ")";
        crashguard::setStepText("asking " + label + " for its vendor (effGetVendorString)");
        m->vendor = inst.text(effGetVendorString);
        crashguard::setStepText("opening " + label + " (effOpen)");
        inst.dispatch(effOpen);
        crashguard::setStepText("setting the sample rate of " + label + " (effSetSampleRate)");
        inst.dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(rate));
        crashguard::setStepText("setting the block size of " + label + " (effSetBlockSize)");
        inst.dispatch(effSetBlockSize, 0, block);
        crashguard::setStepText("asking " + label + " what it can do (effCanDo)");
        m->takesMidi = wantsMidi(inst, m->host);
        chain.push_back(std::move(m));
    }

    std::vector<std::string> names;
    names.reserve(chain.size());
    for (const auto& m : chain) names.push_back(m->name);
    crashguard::setStages(names);
    auto labelOf = [&](int k) { return moduleLabel(*chain[static_cast<std::size_t>(k - 1)], static_cast<std::size_t>(k - 1), count); };

    // State, then program, then parameters: each later one wins.
    for (std::size_t i = 0; i < loads.size(); ++i) {
        Loaded& m = *chain[static_cast<std::size_t>(loads[i].module - 1)];
        crashguard::setStepText("loading the state " + loads[i].path + " into " + labelOf(loads[i].module));
        for (const std::string& n : applyState(*m.instance, stateData[i], o.force, labelOf(loads[i].module), loads[i].path)) {
            note(n);
        }
    }
    for (const ProgramChoice& p : programs) {
        Loaded& m = *chain[static_cast<std::size_t>(p.module - 1)];
        const std::int32_t available = m.instance->effect()->numPrograms;
        if (p.number > available) {
            throw Error(kUsage, "--program " + p.text + ": " + labelOf(p.module) + " has " +
                                    plural(available, "program", "programs") +
                                    (available > 0 ? " (1 to " + std::to_string(available) + ")" : ""));
        }
        crashguard::setStepText("selecting program " + std::to_string(p.number) + " of " + labelOf(p.module) + " (effSetProgram)");
        m.instance->dispatch(effSetProgram, 0, static_cast<VstIntPtr>(p.number - 1));
    }
    for (const ParamSetting& p : params) {
        Loaded& m = *chain[static_cast<std::size_t>(p.module - 1)];
        crashguard::setStepText("naming the parameters of " + labelOf(p.module) + " (effGetParamName)");
        const int index = findParameter(*m.instance, p, labelOf(p.module));
        crashguard::setStepText("setting parameter " + std::to_string(index + 1) + " of " + labelOf(p.module));
        m.instance->setParameter(index, p.value);
    }

    // The channel mapping, said where it drops or leaves out channels.
    auto describeLink = [&](int have, const std::string& from, int want, const std::string& to) {
        if (have > want) {
            note(from + " has " + plural(have, "channel", "channels") + ", " + to + " takes " +
                 plural(want, "input", "inputs") + ": " + (want == 0 ? "all" : (have - want == 1 ? "the last one" : "the last " + std::to_string(have - want))) +
                 " dropped");
        } else if (have == 1 && want > 1) {
            note(from + " is mono: it feeds all " + std::to_string(want) + " inputs of " + to);
        } else if (have < want && have > 0) {
            note(to + " has " + plural(want, "input", "inputs") + ", " + from + " gives " + std::to_string(have) +
                 (want - have > 1 ? ": inputs " + std::to_string(have + 1) + " to " + std::to_string(want) + " get silence"
                                  : ": input " + std::to_string(want) + " gets silence"));
        }
    };
    const int fileChannels = input ? input->format().channels : 0;
    if (input) describeLink(fileChannels, "the input", chain[0]->instance->effect()->numInputs, labelOf(1));
    for (std::size_t i = 1; i < count; ++i) {
        describeLink(chain[i - 1]->instance->effect()->numOutputs, labelOf(static_cast<int>(i)),
                     chain[i]->instance->effect()->numInputs, labelOf(static_cast<int>(i + 1)));
    }
    if (!schedule.events.empty() && std::none_of(chain.begin(), chain.end(), [](const auto& m) { return m->takesMidi; })) {
        note(std::string(count == 1 ? "the plug-in does" : "no module of the chain does") +
             " not ask for MIDI: the events are not sent");
    }
    const std::int32_t channels = chain.back()->instance->effect()->numOutputs;
    if (channels < 1 || channels > 1024) {
        throw Error(kModule, labelOf(static_cast<int>(count)) + " reports " + std::to_string(channels) +
                                 " audio outputs; nothing to record");
    }
    for (auto& m : chain) m->host.record = false;

    std::unique_ptr<aerie::WavWriter> wav;
    try {
        wav = std::make_unique<aerie::WavWriter>(o.out, channels, rate, format);
    } catch (const aerie::OutputError& e) {
        throw Error(kOutput, e.what());
    }
    crashguard::setCleanup(wav->temporaryPath().c_str(), wav->stream());

    std::vector<aerie::ChainStage> stages;
    stages.reserve(chain.size());
    for (auto& m : chain) stages.push_back({m->instance.get(), m->takesMidi});
    aerie::ChainRenderer renderer(stages, fileChannels, block);

    Progress progress(total, rate);
    aerie::EventList list;
    auto next = schedule.events.begin();
    const auto wallStart = std::chrono::steady_clock::now();
    std::uint64_t blockIndex = 0;
    bool stoppedEarly = false;
    try {
        crashguard::setStepText("resuming the module" + std::string(count == 1 ? "" : "s") + " (effMainsChanged)");
        renderer.start();
        crashguard::setStep("rendering");
        for (std::uint64_t start = 0; start < total; start += static_cast<std::uint64_t>(block)) {
            const auto frames = static_cast<std::int32_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(block), total - start));
            crashguard::setBlock(blockIndex++, start);
            progress.update(start);
            if (input) {
                float* const* in = renderer.inputs();
                std::size_t got = 0;
                try {
                    got = input->read(in, static_cast<std::size_t>(frames));
                } catch (const aerie::WavError& e) {
                    throw Error(kMidi, e.what());
                }
                for (int c = 0; c < fileChannels; ++c) {
                    std::fill(in[c] + got, in[c] + frames, 0.0f);
                }
            }
            list.clear();
            while (next != schedule.events.end() && next->frame < start + static_cast<std::uint64_t>(frames)) {
                list.addMidi(static_cast<std::int32_t>(next->frame - start), next->bytes[0], next->bytes[1], next->bytes[2]);
                ++next;
            }
            renderer.block(frames, list.size() > 0 ? list.get() : nullptr, beforeStage, nullptr);
            if (o.strict && renderer.nonFinite().found) {
                stoppedEarly = true;
                break;
            }
            wav->write(renderer.outputs(), static_cast<std::size_t>(frames));
        }
        crashguard::setStepText("suspending the module" + std::string(count == 1 ? "" : "s") + " (effMainsChanged)");
        renderer.stop();
        progress.finish();
    } catch (const aerie::OutputError& e) {
        throw Error(kOutput, e.what());
    }
    const double wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

    const aerie::NonFinite& bad = renderer.nonFinite();
    std::string badText;
    if (bad.found) {
        badText = std::string("the output holds ") + (std::isnan(bad.value) ? "NaN" : "infinite") +
                  " samples, the first at frame " + std::to_string(bad.frame) + " (" +
                  formatSeconds(static_cast<double>(bad.frame) / rate) + "), channel " + std::to_string(bad.channel + 1);
    }
    if (stoppedEarly) throw Error(kNonFinite, badText + "; no file written (--strict)");

    for (const StateFile& s : saves) {
        Loaded& m = *chain[static_cast<std::size_t>(s.module - 1)];
        crashguard::setStepText("saving the state of " + labelOf(s.module));
        writeStateFile(s.path, captureState(*m.instance, m.name, m.vendor));
    }
    for (std::size_t i = 0; i < count; ++i) {
        crashguard::setStepText("closing " + labelOf(static_cast<int>(i + 1)) + " (effClose)");
        chain[i]->instance->close();
        chain[i]->instance.reset();
    }
    crashguard::setCleanup(nullptr, nullptr);
    try {
        wav->commit();
    } catch (const aerie::OutputError& e) {
        throw Error(kOutput, e.what());
    }
    for (std::size_t i = 0; i < count; ++i) {
        crashguard::setStepText("unloading " + labelOf(static_cast<int>(i + 1)));
        chain[i]->module.reset();
    }
    if (bad.found) (void)std::fprintf(stderr, "vst2host: warning: %s; written anyway (--strict refuses such output)\n", badText.c_str());

    quiet.restore();
    const std::uint64_t frames = wav->frames();
    const double audioSeconds = static_cast<double>(frames) / rate;
    char speed[160];
    const double inside = wallSeconds > 0 ? 100.0 * renderer.pluginSeconds() / wallSeconds : 0.0;
    (void)std::snprintf(speed, sizeof speed, "%s of audio in %s, %.1fx real time, %.1f%% of it inside the plug-in%s",
                        formatSeconds(audioSeconds).c_str(), formatSeconds(wallSeconds).c_str(),
                        wallSeconds > 0 ? audioSeconds / wallSeconds : 0.0, std::min(inside, 100.0), count == 1 ? "" : "s");
    std::cout << "wrote " << o.out << ": " << frames << " frames, " << formatSeconds(audioSeconds) << " at " << rate
              << " Hz, " << channels << (channels == 1 ? " channel, " : " channels, ")
              << (format == aerie::SampleFormat::Float32 ? "32-bit float"
                  : format == aerie::SampleFormat::Pcm16 ? "16-bit integer"
                                                           : "24-bit integer")
              << '\n'
              << "length: " << why << '\n';
    if (input) {
        std::cout << "input: " << o.input << ", " << plural(fileChannels, "channel", "channels") << ", "
                  << input->format().describe() << '\n';
    }
    if (!schedule.source.empty()) std::cout << "played: " << schedule.source << '\n';
    if (count > 1) {
        std::cout << "chain:";
        for (std::size_t i = 0; i < count; ++i) std::cout << (i == 0 ? " " : " -> ") << chain[i]->name;
        std::cout << '\n';
    }
    std::cout << "speed: " << speed << '\n';
    return kOk;
}

}  // namespace

Command addRenderCommand(CLI::App& app) {
    auto o = std::make_shared<RenderOptions>();
    CLI::App* render = app.add_subcommand("render", "Render audio and MIDI through plug-ins into a WAV file");
    render->add_option("MODULE", o->modules, "The plug-in module(s), a path or a name; several form a chain")->required();
    render->add_option("--input,-i", o->input, "WAV file to play into the (first) plug-in's inputs");
    render->add_option("--midi", o->midi, "Standard MIDI File to play; '-' reads standard input");
    render->add_option("--notes", o->notes, "Notes to play instead: NOTE:VELOCITY@SECONDS[+LENGTH],...");
    render->add_option("--out,-o", o->out, "The WAV file to write")->required();
    CLI::Option* rate = render->add_option("--rate", o->rate, "Sample rate in Hz (default 44100; the input's with --input)");
    render->add_option("--block", o->block, "Frames per render call (default 512)");
    render->add_option("--tail", o->tail, "Seconds to render after the input or the last event (default 1.0)");
    render->add_option("--format", o->format, "Sample format: float, pcm16 or pcm24 (default float)");
    render->add_option("--param,-p", o->params, "[K:]P=V: set parameter P (number or name) of module K to V (0..1)");
    render->add_option("--program", o->programs, "[K:]N: select program N (from 1) of module K");
    render->add_option("--state", o->states, "[K:]FILE: load a state saved by --save-state into module K");
    render->add_option("--save-state", o->saveStates, "[K:]FILE: write module K's state after the render");
    render->add_flag("--force", o->force, "Load a state made for another plug-in anyway");
    render->add_flag("--strict", o->strict, "Refuse output with NaN or infinite samples (exit code 7, no file)");
    render->add_option("--timeout", o->timeout, "Seconds a module may take for one call before it counts as hung (default 30)");
    return {render, [o, rate] {
                o->rateGiven = rate->count() > 0;
                return runRender(*o);
            }};
}

}  // namespace tool
