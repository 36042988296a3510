// vst2host: a command-line host for VST 2 plug-in modules. `info` shows what
// a host sees of a module; `render` plays a MIDI file (or a few notes)
// through it into a WAV file, driving it block by block as a host does.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include <CLI/CLI.hpp>

#include "tools/vst2host/crash_guard.h"
#include "tools/vst2host/tool.h"
#include "tools/vst2host/validate.h"
#include "tools/vsthost/midifile.h"
#include "tools/vsthost/process.h"
#include "tools/vsthost/render.h"
#include "tools/vsthost/vsthost.h"
#include "tools/vsthost/wavfile.h"

namespace tool {

namespace {

constexpr std::uint32_t kMaxRate = 1000000;
constexpr std::int32_t kMaxBlock = 1 << 20;
constexpr double kMaxTail = 3600.0;

const char* const kDescription =
    "vst2host - a command-line host for VST 2 plug-in modules\n"
    "\n"
    "  vst2host info MODULE [--json] [--timeout 30]\n"
    "      Loads the module in a separate process, creates one instance and prints\n"
    "      what a host sees: names, identifier, category, pins, flags, programs,\n"
    "      parameters, interface version and capability answers.\n"
    "\n"
    "  vst2host render MODULE (--midi FILE.mid | --notes LIST) --out OUT.wav\n"
    "                  [--rate 44100] [--block 512] [--tail 1.0] [--format float|pcm16|pcm24]\n"
    "      Plays a Standard MIDI File (format 0 or 1, all tracks, tempo map honoured;\n"
    "      '-' reads standard input) or a list of notes through the plug-in and writes\n"
    "      its outputs, one channel each, to a WAV file. The length is the last event\n"
    "      plus the tail.\n"
    "      --notes \"60:127@0.10,72:64@0.50+1.0\": NOTE:VELOCITY@SECONDS[+LENGTH], on\n"
    "      MIDI channel 1; each note is released after LENGTH seconds (default 0.25).\n"
    "      The file appears only once complete; a progress bar shows on a terminal.\n";

const char* const kFooter =
    "Examples:\n"
    "  vst2host info dist/linux-x86_64/kestravian.so\n"
    "  vst2host render dist/linux-x86_64/kestravian.so --midi examples/demo.mid --out out/demo.wav\n"
    "  vst2host render kestravian.so --notes \"60:127@0.1,72:64@0.5\" --out try.wav --format pcm16\n"
    "\n"
    "Exit codes: 0 done; 1 internal fault; 2 bad options; 3 the module cannot be\n"
    "loaded or used; 4 the module crashed, hung or ended the process; 5 the MIDI\n"
    "input is missing or malformed; 6 the output file cannot be written.";

struct RenderOptions {
    std::string module;
    std::string midi;
    std::string notes;
    std::string out;
    long long rate = 44100;
    long long block = 512;
    double tail = 1.0;
    std::string format = "float";
};

struct Schedule {
    std::vector<vsthost::TimedMidi> events;
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
        const vsthost::MidiTime on{*start, 1000000000ull};
        const vsthost::MidiTime off{*start + *length, 1000000000ull};
        vsthost::TimedMidi m;
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
                     [](const vsthost::TimedMidi& a, const vsthost::TimedMidi& b) { return a.frame < b.frame; });
    s.source = std::to_string(count) + (count == 1 ? " note" : " notes") + " from --notes";
    return s;
}

Schedule midiSchedule(const std::string& path, std::uint32_t rate) {
    vsthost::MidiSequence seq;
    try {
        seq = vsthost::readMidiFile(path);
    } catch (const vsthost::MidiError& e) {
        throw Error(kMidi, e.what());
    }
    Schedule s;
    try {
        for (const vsthost::MidiEvent& e : seq.events) {
            vsthost::TimedMidi m;
            m.frame = e.time.frame(rate);
            std::copy(e.bytes, e.bytes + 3, m.bytes);
            s.events.push_back(m);
            s.lastSeconds = e.time.seconds();
        }
    } catch (const vsthost::MidiError& e) {
        throw Error(kMidi, std::string(e.what()) + ": " + path);
    }
    std::ostringstream src;
    src << seq.events.size() << " MIDI events from " << seq.trackCount << (seq.trackCount == 1 ? " track" : " tracks")
        << " of " << (path == "-" ? "standard input" : path) << " (format " << seq.format << ", "
        << seq.tempoChanges << (seq.tempoChanges == 1 ? " tempo change)" : " tempo changes)");
    s.source = src.str();
    return s;
}

vsthost::SampleFormat parseFormat(const std::string& f) {
    if (f == "float") return vsthost::SampleFormat::Float32;
    if (f == "pcm16") return vsthost::SampleFormat::Pcm16;
    if (f == "pcm24") return vsthost::SampleFormat::Pcm24;
    throw Error(kUsage, "--format must be float, pcm16 or pcm24 (got \"" + f + "\")");
}

std::string formatSeconds(double s) {
    char b[32];
    (void)std::snprintf(b, sizeof b, "%.3f s", s);
    return b;
}

// A progress bar on standard error, shown only on a terminal and only once a
// render has taken long enough to be worth watching.
class Progress {
public:
    Progress(std::uint64_t total, std::uint32_t rate)
        : total_(total), rate_(rate), enabled_(vsthost::isTerminal(stderr)), start_(Clock::now()) {}
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

int runRender(const RenderOptions& o) {
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
    if (o.midi.empty() == o.notes.empty()) throw Error(kUsage, "give either --midi FILE or --notes LIST");
    const vsthost::SampleFormat format = parseFormat(o.format);
    const auto rate = static_cast<std::uint32_t>(o.rate);
    const auto block = static_cast<std::int32_t>(o.block);

    const Schedule schedule = o.midi.empty() ? notesSchedule(o.notes, rate) : midiSchedule(o.midi, rate);
    const auto tailFrames = static_cast<std::uint64_t>(std::llround(o.tail * rate));
    std::uint64_t total = tailFrames;
    std::string why;
    if (!schedule.events.empty()) {
        const std::uint64_t last = schedule.events.back().frame;
        total = std::max(last + 1, last + tailFrames);
        why = "last event at " + formatSeconds(*schedule.lastSeconds) + " (frame " + std::to_string(last) + ") + tail " +
              formatSeconds(o.tail);
    } else {
        why = "no events, tail " + formatSeconds(o.tail) + " only";
    }

    crashguard::install(true);
    crashguard::setStep("loading the module");
    std::unique_ptr<vsthost::Module> module;
    vsthost::Host host;
    host.sampleRate = static_cast<float>(rate);
    host.blockSize = block;
    std::unique_ptr<vsthost::Instance> instance;
    try {
        module = vsthost::Module::open(o.module);
        crashguard::setStep("creating an instance (calling its entry point)");
        instance = std::make_unique<vsthost::Instance>(*module, host);
    } catch (const vsthost::HostError& e) {
        throw Error(kModule, e.what());
    }
    const std::int32_t channels = instance->effect()->numOutputs;
    if (channels < 1 || channels > 1024) {
        throw Error(kModule, "the plug-in reports " + std::to_string(channels) + " audio outputs; nothing to record");
    }

    std::unique_ptr<vsthost::WavWriter> wav;
    try {
        wav = std::make_unique<vsthost::WavWriter>(o.out, channels, rate, format);
    } catch (const vsthost::OutputError& e) {
        throw Error(kOutput, e.what());
    }
    crashguard::setCleanup(wav->temporaryPath().c_str(), wav->stream());

    Progress progress(total, rate);
    vsthost::RenderHooks hooks;
    std::uint64_t blockIndex = 0;
    hooks.beforeBlock = [&](std::uint64_t first) {
        crashguard::setBlock(blockIndex++, first);
        progress.update(first);
    };
    hooks.output = [&](const float* const* outputs, std::int32_t frames) {
        wav->write(outputs, static_cast<std::size_t>(frames));
    };
    vsthost::RenderSettings settings;
    settings.sampleRate = rate;
    settings.blockSize = block;
    settings.totalFrames = total;
    try {
        crashguard::setStep("rendering");
        vsthost::renderInstance(*instance, schedule.events, settings, hooks);
        progress.finish();
        crashguard::setStep("closing it (effClose)");
        instance->close();
        instance.reset();
        crashguard::setCleanup(nullptr, nullptr);
        wav->commit();
    } catch (const vsthost::OutputError& e) {
        throw Error(kOutput, e.what());
    }
    crashguard::setStep("unloading the module");
    module.reset();

    const std::uint64_t frames = wav->frames();
    std::cout << "wrote " << o.out << ": " << frames << " frames, " << formatSeconds(static_cast<double>(frames) / rate)
              << " at " << rate << " Hz, " << channels << (channels == 1 ? " channel, " : " channels, ")
              << (format == vsthost::SampleFormat::Float32 ? "32-bit float"
                  : format == vsthost::SampleFormat::Pcm16 ? "16-bit integer"
                                                           : "24-bit integer")
              << '\n'
              << "length: " << why << '\n'
              << "played: " << schedule.source << '\n';
    return kOk;
}

}  // namespace

}  // namespace tool

int main(int argc, char** argv) try {
    using namespace tool;
    CLI::App app(kDescription, "vst2host");
    app.footer(kFooter);
    app.require_subcommand(1);
    // Paths like /work/x.mid are arguments, not Windows-style options, on
    // every system (subcommands inherit this setting).
    app.allow_windows_style_options(false);

    std::string infoModule;
    bool infoJson = false;
    double infoTimeout = 30.0;
    CLI::App* info = app.add_subcommand("info", "Show what a host sees of a plug-in module");
    info->add_option("MODULE", infoModule, "The plug-in module (.so or .dll)")->required();
    info->add_flag("--json", infoJson, "Print one JSON object instead of text");
    info->add_option("--timeout", infoTimeout, "Seconds to wait for the module before giving up (default 30)");

    RenderOptions ro;
    CLI::App* render = app.add_subcommand("render", "Render MIDI through a plug-in into a WAV file");
    render->add_option("MODULE", ro.module, "The plug-in module (.so or .dll)")->required();
    render->add_option("--midi", ro.midi, "Standard MIDI File to play; '-' reads standard input");
    render->add_option("--notes", ro.notes, "Notes to play instead: NOTE:VELOCITY@SECONDS[+LENGTH],...");
    render->add_option("--out", ro.out, "The WAV file to write")->required();
    render->add_option("--rate", ro.rate, "Sample rate in Hz (default 44100)");
    render->add_option("--block", ro.block, "Frames per render call (default 512)");
    render->add_option("--tail", ro.tail, "Seconds to render after the last event (default 1.0)");
    render->add_option("--format", ro.format, "Sample format: float, pcm16 or pcm24 (default float)");

    CLI::App* validate = addValidateCommand(app);

    std::string probeModule;
    std::string probeReport;
    CLI::App* probe = app.add_subcommand("__probe", "");
    probe->group("");
    probe->add_option("MODULE", probeModule)->required();
    probe->add_option("REPORT", probeReport)->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string what = e.what();
        std::replace(what.begin(), what.end(), '\n', ' ');
        (void)std::fprintf(stderr, "vst2host: %s (see vst2host --help)\n", what.c_str());
        return kUsage;
    }

    try {
        if (*probe) return runProbeChild(probeModule, probeReport);
        if (*validate) return runValidate();
        if (*info) {
            if (!(infoTimeout > 0)) throw Error(kUsage, "--timeout must be more than 0 seconds");
            return runInfo(infoModule, infoJson, infoTimeout);
        }
        return runRender(ro);
    } catch (const Error& e) {
        (void)std::fflush(stdout);
        (void)std::fprintf(stderr, "vst2host: %s\n", e.what());
        return e.code();
    } catch (const std::exception& e) {
        (void)std::fprintf(stderr, "vst2host: internal error: %s\n", e.what());
        return kInternal;
    }
} catch (...) {
    // Setting up the command line itself failed (out of memory).
    (void)std::fprintf(stderr, "vst2host: internal error while starting\n");
    return tool::kInternal;
}
