// `vst2host render`: plays audio from a WAV file and MIDI (a file or a few
// notes) through one module or a chain of them, block by block as a host
// does, into a WAV file. The render itself is aerie's render job
// (<aerie/render_job.h>); this is its command line: the options checked and
// made into a job, the JSON state files, the progress bar, the messages and
// the sandboxed child the job runs in.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>

#include "tools/vst2host/tool.h"
#include <aerie/aerie.h>
#include <aerie/io/automation.h>
#include <aerie/io/preset.h>
#include <aerie/io/wav_reader.h>
#include <aerie/io/wav_writer.h>
#include <aerie/process.h>
#include <aerie/render.h>
#include <aerie/render_job.h>
#include <aerie/sandbox.h>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace tool {

namespace {

// What the render child reports to the parent: the step, block and module
// (stage) it is at, for the parent's report of a crash or hang, and the
// output's temporary file, which the parent removes when the child dies
// before putting it in place.
namespace toParent {
aerie::SandboxReporter* reporter = nullptr;
void setStepText(const std::string& step) {
    if (reporter != nullptr) reporter->step(step);
}
void setStages(const std::vector<std::string>& names) {
    if (reporter != nullptr) reporter->stages(names);
}
void setBlock(std::uint64_t index, std::uint64_t firstFrame) noexcept {
    if (reporter != nullptr) reporter->block(index, firstFrame);
}
void setStage(std::size_t stage) noexcept {
    if (reporter != nullptr) reporter->stage(stage);
}
void setTemporary(const std::string& path) {
    if (reporter != nullptr) reporter->send("temporary", path);
}
}  // namespace toParent

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
    std::vector<std::string> presets;
    std::vector<std::string> banks;
    std::vector<std::string> savePresets;
    std::vector<std::string> saveBanks;
    std::string tempo;
    std::string timeSignature;
    std::string loop;
    std::string automation;
    std::string saveAutomation;
    std::string midiOut;
    bool noLatencyCompensation = false;
    bool force = false;
    bool strict = false;
    double timeout = 30.0;
    std::vector<std::string> sandbox;  // the render child's two arguments (Windows)
    std::string midiShown;             // how the MIDI file is named in the summary, when not by --midi
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

// --notes: NOTE:VELOCITY@SECONDS[+LENGTH],...
std::vector<aerie::RenderNote> parseNotes(const std::string& list) {
    std::vector<aerie::RenderNote> notes;
    std::stringstream in(list);
    std::string item;
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
        notes.push_back({*note, *velocity, *start, *length});
    }
    if (notes.empty()) throw Error(kUsage, "--notes: no notes given");
    return notes;
}

// The render's tempo and time signature as the command line gives them.
struct TimeOptions {
    std::optional<double> bpm;                      // --tempo, as typed
    std::optional<aerie::TimeSignature> signature;  // --time-signature
    std::optional<aerie::Loop> loop;                // --loop
};

aerie::SampleFormat parseFormat(const std::string& f) {
    if (f == "float") return aerie::SampleFormat::Float32;
    if (f == "pcm16") return aerie::SampleFormat::Pcm16;
    if (f == "pcm24") return aerie::SampleFormat::Pcm24;
    throw Error(kUsage, "--format must be float, pcm16 or pcm24 (got \"" + f + "\")");
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

// Options addressed to module K of a chain ("K:..."), or to the only module.
int addressedModule(const Addressed& a, const std::string& option, const std::string& text, std::size_t modules) {
    if (a.module == 0) {
        if (modules == 1) return 1;
        throw Error(kUsage, option + " " + text + ": in a chain of " + std::to_string(modules) +
                                " modules, say which one: " + option + " K:" + text);
    }
    if (a.module < 1 || static_cast<std::size_t>(a.module) > modules) {
        throw Error(kUsage, option + " " + text + ": there is no module " + std::to_string(a.module) + " (the chain has " +
                                aerie::countText(static_cast<long long>(modules), "module", "modules") + ")");
    }
    return a.module;
}

// The chain's renderer tells the parent which module it calls.
void beforeStage(std::size_t stage, void* /*context*/) { toParent::setStage(stage); }

// A file addressed to one module: --state, --preset, --save-bank, ...
struct ModuleFile {
    int module;
    std::string path;
};

std::vector<ModuleFile> moduleFiles(const std::vector<std::string>& texts, const std::string& option, std::size_t count) {
    std::vector<ModuleFile> files;
    for (const std::string& s : texts) {
        const Addressed a = splitModuleAddress(s);
        files.push_back({addressedModule(a, option, s, count), a.rest});
    }
    return files;
}

// "120", "97.5": beats per minute, kept as the number typed (the song
// position follows it exactly; a MIDI file's tempo map keeps its own
// microseconds per quarter note).
std::optional<double> parseTempo(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double bpm = std::strtod(text.c_str(), &end);
    if (end == nullptr || *end != '\0' || !(bpm >= aerie::kMinBpm && bpm <= aerie::kMaxBpm)) {
        throw Error(kUsage, "--tempo must be from 1 to 1000 beats per minute (got \"" + text + "\")");
    }
    return bpm;
}

std::optional<aerie::TimeSignature> parseSignature(const std::string& text) {
    if (text.empty()) return std::nullopt;
    const auto slash = text.find('/');
    auto number = [](const std::string& t) {
        return !t.empty() && t.size() <= 3 && t.find_first_not_of("0123456789") == std::string::npos ? std::stoi(t) : 0;
    };
    const int n = slash == std::string::npos ? 0 : number(text.substr(0, slash));
    const int d = slash == std::string::npos ? 0 : number(text.substr(slash + 1));
    if (!aerie::validSignature(n, d)) {
        throw Error(kUsage, "--time-signature must be N/D with D a power of two up to 64, like 3/4 or 7/8 (got \"" + text + "\")");
    }
    return aerie::TimeSignature{0, n, d};
}

std::optional<aerie::Loop> parseLoop(const std::string& text) {
    if (text.empty()) return std::nullopt;
    const auto colon = text.find(':');
    auto beats = [](const std::string& t, double& v) {
        char* end = nullptr;
        v = std::strtod(t.c_str(), &end);
        return !t.empty() && end != nullptr && *end == '\0' && std::isfinite(v) && v >= 0.0;
    };
    double a = 0.0;
    double b = 0.0;
    if (colon == std::string::npos || !beats(text.substr(0, colon), a) || !beats(text.substr(colon + 1), b) || !(b > a)) {
        throw Error(kUsage, "--loop must be START:END in beats with END after START, like 4:12 (got \"" + text + "\")");
    }
    return aerie::Loop{a, b};
}

// The requests a module made and how each was answered, for the summary.
void printRequests(std::ostream& out, const std::string& label, const aerie::Host& host) {
    out << "requests of " << label << ":";
    bool any = false;
    for (const aerie::HostAnswer& a : aerie::hostAnswers()) {
        const std::uint32_t n = host.counts[static_cast<std::size_t>(a.opcode)];
        if (n == 0) continue;
        out << "\n  " << a.name << " x" << n << ": " << a.answer;
        any = true;
    }
    std::uint32_t unknown = 0;
    for (std::size_t i = 0; i < host.counts.size(); ++i) {
        if (aerie::findHostAnswer(static_cast<std::int32_t>(i)) == nullptr) unknown += host.counts[i];
    }
    if (unknown > 0) out << "\n  other requests x" << unknown << ": 0 (not known)";
    out << (any || unknown > 0 ? "\n" : " none\n");
}

// Everything the command line says, checked before any module is loaded.
struct Checked {
    aerie::SampleFormat format = aerie::SampleFormat::Float32;
    TimeOptions time;
    aerie::RenderJob job;  // all but the modules' paths, the rate and the input, known later
};

Checked checkOptions(RenderOptions& o) {
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
    Checked c;
    c.format = parseFormat(o.format);
    aerie::RenderJob& job = c.job;
    const std::size_t count = o.modules.size();
    for (const std::string& p : o.params) {
        ParamSetting setting = parseParamSetting(p);
        const int k = addressedModule({setting.module, ""}, "--param", p, count);
        job.parameters.push_back({static_cast<std::size_t>(k - 1), setting.key, setting.value, "--param " + setting.text});
    }
    for (const std::string& p : o.programs) {
        const Addressed a = splitModuleAddress(p);
        const int k = addressedModule(a, "--program", p, count);
        const std::string& n = a.rest;
        if (n.empty() || n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos || std::stoll(n) < 1) {
            throw Error(kUsage, "--program " + p + ": the program must be a number from 1, as info numbers them");
        }
        job.programs.push_back({static_cast<std::size_t>(k - 1), static_cast<std::int32_t>(std::stoll(n) - 1), "--program " + p});
    }
    const std::vector<ModuleFile> loads = moduleFiles(o.states, "--state", count);
    const std::vector<ModuleFile> saves = moduleFiles(o.saveStates, "--save-state", count);
    const std::vector<ModuleFile> presets = moduleFiles(o.presets, "--preset", count);
    const std::vector<ModuleFile> banks = moduleFiles(o.banks, "--bank", count);
    const std::vector<ModuleFile> savePresets = moduleFiles(o.savePresets, "--save-preset", count);
    const std::vector<ModuleFile> saveBanks = moduleFiles(o.saveBanks, "--save-bank", count);
    // States are vst2host's own JSON files: read here, applied by the job
    // through applyState, saved through captureState.
    const bool force = o.force;
    for (const ModuleFile& f : loads) {
        auto data = std::make_shared<const nlohmann::ordered_json>(readStateFile(f.path));
        const std::string path = f.path;
        job.states.push_back({static_cast<std::size_t>(f.module - 1), f.path,
                              [data, force, path](aerie::Instance& instance, const std::string& label) {
                                  return applyState(instance, *data, force, label, path);
                              }});
    }
    for (const auto* list : {&presets, &banks}) {
        for (const ModuleFile& f : *list) {
            aerie::RenderPreset preset{static_cast<std::size_t>(f.module - 1), f.path, {}};
            try {
                preset.data = aerie::readPresetFile(f.path);
            } catch (const aerie::PresetError& e) {
                throw Error(kMidi, e.what());
            }
            const bool bank = aerie::isBank(preset.data.kind);
            if (bank != (list == &banks)) {
                throw Error(kUsage, std::string(list == &banks ? "--bank " : "--preset ") + f.path + ": the file holds a " +
                                        aerie::presetKindName(preset.data.kind) + "; use " + (bank ? "--bank" : "--preset"));
            }
            (list == &banks ? job.banks : job.presets).push_back(std::move(preset));
        }
    }
    for (const ModuleFile& f : saves) {
        const std::string path = f.path;
        job.saves.push_back({static_cast<std::size_t>(f.module - 1), aerie::RenderSave::Kind::State, f.path,
                             [path](aerie::Instance& instance, const std::string& name, const std::string& vendor) {
                                 writeStateFile(path, captureState(instance, name, vendor));
                             }});
    }
    for (const ModuleFile& f : savePresets) job.saves.push_back({static_cast<std::size_t>(f.module - 1), aerie::RenderSave::Kind::Preset, f.path, {}});
    for (const ModuleFile& f : saveBanks) job.saves.push_back({static_cast<std::size_t>(f.module - 1), aerie::RenderSave::Kind::Bank, f.path, {}});
    job.force = force;
    c.time = {parseTempo(o.tempo), parseSignature(o.timeSignature), parseLoop(o.loop)};
    job.bpm = c.time.bpm;
    job.signature = c.time.signature;
    job.loop = c.time.loop;
    if (!o.automation.empty()) {
        std::vector<aerie::AutomationRow> rows;
        try {
            rows = aerie::readAutomationFile(o.automation);
        } catch (const aerie::AutomationError& e) {
            throw Error(kMidi, e.what());
        }
        // A row reads as --param would: [K:]P=V, its module checked here.
        for (const aerie::AutomationRow& r : rows) {
            char value[32];
            (void)std::snprintf(value, sizeof value, "%.9g", static_cast<double>(r.value));
            const ParamSetting p = parseParamSetting(r.parameter + "=" + value);
            const std::string where = "--automation line " + std::to_string(r.line);
            const int k = addressedModule({p.module, ""}, where + ":", r.parameter, count);
            aerie::RenderAutomation a;
            a.parameter = {static_cast<std::size_t>(k - 1), p.key, r.value, "--param " + p.text};
            a.time = r.time;
            a.unit = r.beats ? aerie::RenderAutomation::Unit::Beats : aerie::RenderAutomation::Unit::Seconds;
            a.where = where;
            job.automation.push_back(std::move(a));
        }
    }
    job.midiFile = o.midi;
    job.midiShown = o.midiShown;
    job.blockSize = static_cast<std::int32_t>(o.block);
    job.tailSeconds = o.tail;
    job.format = c.format;
    job.outputFile = o.out;
    job.saveAutomationFile = o.saveAutomation;
    job.midiOutFile = o.midiOut;
    job.compensateLatency = !o.noLatencyCompensation;
    job.stopOnNonFinite = o.strict;
    return c;
}

// The summary's lines on time, latency, automation, MIDI out and requests.
void printRenderDetails(std::ostream& out, const RenderOptions& o, const Checked& c, const aerie::RenderSession& session,
                        const aerie::RenderResult& result, const aerie::Timeline& timeline) {
    const aerie::ChainRenderer& renderer = session.renderer();
    const aerie::RenderPlan& plan = session.plan();
    const std::vector<std::string>& names = session.names();
    const aerie::TimelineSettings& t = timeline.settings();
    const aerie::TimeSignature& sig = t.signatures.front();
    char tempo[64];
    (void)std::snprintf(tempo, sizeof tempo, "%.6g BPM", timeline.tempoAt(0));
    out << "time: " << tempo << ", " << sig.numerator << '/' << sig.denominator;
    if (t.tempos.size() > 1) out << ", " << aerie::countText(static_cast<long long>(t.tempos.size() - 1), "tempo change", "tempo changes");
    if (t.signatures.size() > 1) {
        out << ", " << aerie::countText(static_cast<long long>(t.signatures.size() - 1), "time signature change", "time signature changes");
    }
    out << (c.time.bpm ? " (--tempo)" : !o.midi.empty() ? " (the MIDI file's)" : " (default)");
    if (t.loop) out << ", loop " << t.loop->start << " to " << t.loop->end << " beats (reported, not played)";
    out << "; offline process level, nanoSeconds = position\n";

    if (result.latencyRemoved > 0) {
        out << "latency: " << result.latencyRemoved << " frames removed from the start, the tail extended by as many\n";
    } else if (result.latency > 0) {
        out << "latency: " << result.latency << " frames kept (--no-latency-compensation)\n";
    }
    for (const aerie::IoChange& ch : renderer.ioChanges()) {
        out << "io change: " << session.label(ch.stage) << " at frame " << ch.frame << ": " << ch.inputs << " in, " << ch.outputs
            << " out, latency " << ch.latencyBefore << " -> " << ch.latency
            << (ch.latency != ch.latencyBefore ? " frames (not compensated)" : " frames") << '\n';
    }
    if (!plan.automation.empty()) {
        out << "automation: " << result.automationApplied << " of " << plan.automation.size()
            << " points applied at block starts (" << o.block << "-frame resolution)\n";
    }
    if (!o.saveAutomation.empty()) {
        std::size_t n = 0;
        for (std::size_t i = 0; i < names.size(); ++i) n += renderer.host(i).automated.size();
        out << "recorded automation: " << aerie::countText(static_cast<long long>(n), "change", "changes") << " to " << o.saveAutomation
            << '\n';
    }
    if (!o.midiOut.empty()) {
        out << "MIDI out: " << aerie::countText(static_cast<long long>(renderer.midiOut().size()), "event", "events") << " to " << o.midiOut
            << '\n';
    }
    for (std::size_t i = 0; i < names.size(); ++i) printRequests(out, session.label(i), renderer.host(i));
}

// What the render child needs, made by the parent before it starts.
struct Render {
    const RenderOptions& o;
    const Checked& c;
    aerie::PlannedRender& plan;
};

int renderModules(const Render& job, aerie::SandboxReporter& reporter);

// Windows starts the render child as this program again, which cannot read
// standard input a second time: a MIDI file from standard input is kept in
// a temporary file for both, and the child is given its name.
struct StdinMidi {
    std::string path;
    ~StdinMidi() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove(path, ec);
    }
};

void keepStdinMidi(RenderOptions& o, StdinMidi& kept) {
#if defined(_WIN32)
    if (o.midi != "-" || o.sandbox.size() == 2) return;
    _setmode(_fileno(stdin), _O_BINARY);
    const std::string bytes((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
    if (ec) folder = ".";
    kept.path = (folder / ("vst2host-stdin-" + std::to_string(aerie::currentProcessId()) + ".mid")).string();
    std::ofstream f(kept.path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    f.close();
    if (!f) throw Error(kOutput, "cannot keep the MIDI file from standard input in " + kept.path);
    o.midi = kept.path;
    o.midiShown = "standard input";
#else
    (void)o;
    (void)kept;
#endif
}

int runRender(RenderOptions& o) {
    StdinMidi stdinMidi;
    keepStdinMidi(o, stdinMidi);
    Checked c = checkOptions(o);

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
    aerie::RenderJob& job = c.job;
    job.sampleRate = static_cast<std::uint32_t>(o.rate);
    job.inputFile = o.input;
    if (!o.notes.empty()) job.notes = parseNotes(o.notes);
    aerie::PlannedRender plan = aerie::planRender(job, std::move(input));

    // Names are looked up first: that probes modules in child processes,
    // which must not count against the render's time limit.
    std::vector<std::string> paths;
    paths.reserve(o.modules.size());
    for (const std::string& m : o.modules) paths.push_back(resolveModule(m));
    job.modules = paths;

    // From here on modules run, in a child process: a crash, a hang or an
    // exit of their own is reported with the step it happened in, and the
    // output file appears only once the render is complete.
    const Render render{o, c, plan};
    auto operation = [&render](aerie::SandboxReporter& reporter) -> int {
        toParent::reporter = &reporter;
        try {
            return renderModules(render, reporter);
        } catch (const Error& e) {
            reporter.send("error", std::to_string(e.code()) + " " + e.what());
            return e.code();
        } catch (const aerie::HostError& e) {
            reporter.send("error", std::to_string(exitCodeFor(e.kind())) + " " + e.what());
            return exitCodeFor(e.kind());
        }
    };
    if (o.sandbox.size() == 2) return aerie::runSandboxChild(o.sandbox[0], o.sandbox[1], operation);
    aerie::SandboxOptions options;
    options.timeoutSeconds = o.timeout;
    options.output = aerie::SandboxOptions::Output::ToStderr;
    options.restart = commandLine();
    if (!options.restart.empty()) options.restart[0] = aerie::selfExecutable();
    if (!stdinMidi.path.empty()) {
        for (std::size_t i = 1; i < options.restart.size(); ++i) {
            if (options.restart[i] == "--midi=-") options.restart[i] = "--midi=" + stdinMidi.path;
            if (options.restart[i] == "-" && options.restart[i - 1] == "--midi") options.restart[i] = stdinMidi.path;
        }
        options.restart.insert(options.restart.end(), {"--midi-shown", o.midiShown});
    }
    options.restart.emplace_back("--sandbox");
    const aerie::SandboxResult result = aerie::runSandboxed(operation, options);
    if (result.end != aerie::SandboxResult::End::Finished) {
        const std::string temporary = result.message("temporary");
        if (!temporary.empty()) {
            std::error_code ec;
            std::filesystem::remove(temporary, ec);
        }
        if (result.end == aerie::SandboxResult::End::NotStarted) throw Error(kInternal, result.describe());
        if (result.end == aerie::SandboxResult::End::Failed) throw Error(kInternal, result.error);
        throw Error(kModuleCrash, "the module " + result.describe());
    }
    const std::string error = result.message("error");
    if (!error.empty()) {
        const auto space = error.find(' ');
        throw Error(static_cast<int>(std::strtol(error.substr(0, space).c_str(), nullptr, 10)), error.substr(space + 1));
    }
    for (const auto& [kind, text] : result.messages) {
        if (kind == "out") std::cout << text << '\n';
    }
    return result.exitCode;
}

// The summary: the file written, what was played and how, and how fast.
void printSummary(std::ostream& out, const Render& job, const aerie::RenderSession& session, const aerie::RenderResult& result) {
    const RenderOptions& o = job.o;
    const Checked& c = job.c;
    const aerie::PlannedRender& plan = job.plan;
    const auto rate = static_cast<std::uint32_t>(o.rate);
    const std::vector<std::string>& names = session.names();
    const std::size_t count = names.size();
    const int channels = session.outputChannels();
    const std::uint64_t frames = session.framesWritten();
    const double wallSeconds = session.wallSeconds();
    const double audioSeconds = static_cast<double>(frames) / rate;
    char speed[160];
    const double inside = wallSeconds > 0 ? 100.0 * session.renderer().pluginSeconds() / wallSeconds : 0.0;
    (void)std::snprintf(speed, sizeof speed, "%s of audio in %s, %.1fx real time, %.1f%% of it inside the plug-in%s",
                        aerie::secondsText(audioSeconds).c_str(), aerie::secondsText(wallSeconds).c_str(),
                        wallSeconds > 0 ? audioSeconds / wallSeconds : 0.0, std::min(inside, 100.0), count == 1 ? "" : "s");
    out << "wrote " << o.out << ": " << frames << " frames, " << aerie::secondsText(audioSeconds) << " at " << rate << " Hz, "
        << channels << (channels == 1 ? " channel, " : " channels, ")
        << (c.format == aerie::SampleFormat::Float32 ? "32-bit float"
            : c.format == aerie::SampleFormat::Pcm16 ? "16-bit integer"
                                                     : "24-bit integer")
        << '\n'
        << "length: " << plan.length << '\n';
    if (plan.input != nullptr) {
        out << "input: " << o.input << ", " << aerie::countText(plan.input->format().channels, "channel", "channels") << ", "
            << plan.input->format().describe() << '\n';
    }
    if (!plan.played.empty()) out << "played: " << plan.played << (o.notes.empty() ? "" : " from --notes") << '\n';
    if (count > 1) {
        out << "chain:";
        for (std::size_t i = 0; i < count; ++i) out << (i == 0 ? " " : " -> ") << names[i];
        out << '\n';
    }
    printRenderDetails(out, o, c, session, result, plan.timeline);
    out << "speed: " << speed << '\n';
}

// The render itself, in the child: the job renders the chain into the
// output file and puts it in place; the summary goes to the parent line by
// line.
int renderModules(const Render& job, aerie::SandboxReporter& reporter) {
    const RenderOptions& o = job.o;
    const auto rate = static_cast<std::uint32_t>(o.rate);
    Progress progress(job.plan.frames, rate);
    aerie::RenderHooks hooks;
    hooks.step = toParent::setStepText;
    hooks.stages = toParent::setStages;
    hooks.note = note;
    hooks.temporary = toParent::setTemporary;
    hooks.beforeBlock = [&progress](std::uint64_t index, std::uint64_t start) {
        toParent::setBlock(index, start);
        progress.update(start);
    };
    hooks.beforeStage = beforeStage;
    aerie::RenderSession session(job.c.job, job.plan, hooks);
    try {
        session.load();
    } catch (const aerie::PresetError& e) {
        // A preset or bank made for another plug-in: say how to load it anyway.
        const std::string what = e.what();
        throw Error(kMidi, what + (what.find("made for") != std::string::npos ? "; --force loads it anyway" : ""));
    }
    const aerie::RenderResult result = session.render();
    progress.finish();

    const aerie::NonFinite& bad = session.renderer().nonFinite();
    std::string badText;
    if (bad.found) {
        // Frames of the written file, after the latency removed.
        const std::uint64_t at = bad.frame >= static_cast<std::uint64_t>(result.latencyRemoved)
                                     ? bad.frame - static_cast<std::uint64_t>(result.latencyRemoved) : 0;
        badText = std::string("the output holds ") + (std::isnan(bad.value) ? "NaN" : "infinite") +
                  " samples, the first at frame " + std::to_string(at) + " (" +
                  aerie::secondsText(static_cast<double>(at) / rate) + "), channel " + std::to_string(bad.channel + 1);
    }
    if (result.stoppedEarly) throw Error(kNonFinite, badText + "; no file written (--strict)");

    session.finish();
    if (bad.found) (void)std::fprintf(stderr, "vst2host: warning: %s; written anyway (--strict refuses such output)\n", badText.c_str());

    std::ostringstream out;
    printSummary(out, job, session, result);
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) reporter.send("out", line);
    return kOk;
}

}  // namespace

std::vector<std::string>& commandLine() {
    static std::vector<std::string> args;
    return args;
}

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
    render->add_option("--preset", o->presets, "[K:]FILE.fxp: load a standard preset file into module K");
    render->add_option("--bank", o->banks, "[K:]FILE.fxb: load a standard bank file into module K");
    render->add_option("--save-preset", o->savePresets, "[K:]FILE.fxp: write module K's current program after the render");
    render->add_option("--save-bank", o->saveBanks, "[K:]FILE.fxb: write module K's programs after the render");
    render->add_option("--tempo", o->tempo, "Beats per minute, replacing the MIDI file's tempo map (default 120)");
    render->add_option("--time-signature", o->timeSignature, "N/D, replacing the MIDI file's time signatures (default 4/4)");
    render->add_option("--loop", o->loop, "START:END in beats: the loop the plug-ins are told of (the playhead does not jump)");
    render->add_option("--automation", o->automation, "CSV file time,parameter,value: parameter changes over time");
    render->add_option("--save-automation", o->saveAutomation, "CSV file: the parameter changes the plug-ins report");
    render->add_option("--midi-out", o->midiOut, "MIDI file: the MIDI the plug-ins send, at its frames");
    render->add_flag("--no-latency-compensation", o->noLatencyCompensation,
                     "Keep the output as rendered: do not remove the chain's reported latency");
    // The render child, on systems where it is this program started again:
    // the sandbox appends its two arguments after this option.
    render->add_option("--sandbox", o->sandbox)->expected(2)->group("");
    render->add_option("--midi-shown", o->midiShown)->group("");
    render->add_flag("--force", o->force, "Load a state, preset or bank made for another plug-in anyway");
    render->add_flag("--strict", o->strict, "Refuse output with NaN or infinite samples (exit code 7, no file)");
    render->add_option("--timeout", o->timeout, "Seconds a module may take for one call before it counts as hung (default 30)");
    return {render, [o, rate] {
                o->rateGiven = rate->count() > 0;
                return runRender(*o);
            }};
}

}  // namespace tool
