// vst2host: a command-line host for VST 2 plug-in modules. `info` shows what
// a host sees of a module, `params` its parameters, `scan` finds the
// installed ones, `render` plays audio and MIDI through one module or a
// chain of them into a WAV file, `validate` tests a module the way strict
// hosts use it. Each command lives in its own file and adds itself here.
//
// The help and the man page are made from the command line's definitions:
// each command's options with their texts, the prose below for what options
// cannot say, and the exit-code table of tool.h.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <vector>

#include <CLI/CLI.hpp>

#include <aerie/version.h>

#include "tools/vst2host/tool.h"
#include "tools/vst2host/validate/command.h"

namespace tool {

namespace {

const char* const kDescription =
    "vst2host - a command-line host for VST 2 plug-in modules\n"
    "\n"
    "MODULE is a path to a module (.so or .dll), or a file name or effect name\n"
    "looked up in the plug-in folders (see scan). 'vst2host COMMAND --help' shows\n"
    "a command's options.";

const char* const kExamples =
    "Examples:\n"
    "  vst2host info dist/linux-x86_64/kestravian.so\n"
    "  vst2host render dist/linux-x86_64/kestravian.so --midi examples/demo.mid --out out/demo.wav\n"
    "  vst2host render kestravian.so --notes \"60:127@0.1,72:64@0.5\" --out try.wav --format pcm16\n"
    "  vst2host render ZamComp MVerb --input voice.wav --param 1:Ratio=0.4 --out wet.wav\n"
    "  vst2host scan --json\n"
    "  vst2host validate my-plugin.so";

// What a command does beyond its options, for commands that do not say it
// themselves (a command's own footer wins).
struct Prose {
    const char* command;
    const char* text;
};
const Prose kProse[] = {
    {"info",
     "Loads the module in a separate process, creates one instance and prints what\n"
     "a host sees: names, identifier, category, pins, flags, programs, parameters,\n"
     "interface version and capability answers. A module that crashes or hangs is\n"
     "reported with the step it was in."},
    {"convert",
     "Turns a JSON state (--save-state) into a standard preset (.fxp) or bank\n"
     "(.fxb) file, or one of those into a JSON state; the names' endings say which."},
    {"params", "Every parameter: number (from 1), name, label, value (0..1) and display."},
    {"scan",
     "Finds the modules in DIR (recursively) or, with none, where hosts look:\n"
     "VST_PATH and LXVST_PATH when set (they replace the rest), else ~/.vst,\n"
     "~/.lxvst, /usr/local/lib/vst, /usr/lib/vst, /usr/lib/lxvst (on Windows\n"
     "VST_PATH, else the common VST folders). Each is probed in a child process;\n"
     "one that crashes or hangs is listed as such."},
    {"render",
     "Plays a WAV file (PCM 8/16/24/32-bit or float 32/64-bit) and/or a Standard\n"
     "MIDI File (format 0 or 1, all tracks, tempo map honoured) or a list of notes\n"
     "through the plug-in, or through several in series (first to last, like an\n"
     "insert chain), and writes the last one's outputs, one channel each, to a WAV\n"
     "file. The input's sample rate is the render rate. The length is the input's\n"
     "length, or the last event, plus the tail.\n"
     "Channel mapping, from the input file into the first module and from each\n"
     "module into the next: channel k feeds input k; a mono source feeds every\n"
     "input; inputs beyond the source's channels get silence; source channels\n"
     "beyond the inputs are dropped (a note says so). The render's MIDI goes to\n"
     "every module that asks for it (instruments, and modules that can receive\n"
     "events); what a module sends goes to the next module in the same block,\n"
     "merged with the render's events by frame (--midi-out keeps it all).\n"
     "Every module hears the same song position: the MIDI file's tempo map and\n"
     "time signatures (or --tempo, --time-signature; 120 and 4/4), the transport\n"
     "playing from the first frame, the offline process level. --loop reports a\n"
     "loop; the playhead does not jump. --automation sets parameters at block\n"
     "boundaries (--block is the resolution). The chain's reported latency is\n"
     "removed from the start and the tail extended by as much.\n"
     "--notes \"60:127@0.10,72:64@0.50+1.0\" plays each note on MIDI channel 1 and\n"
     "releases it after LENGTH seconds (default 0.25). --param takes a parameter's\n"
     "number or name as info prints them (exact, then a unique case-insensitive\n"
     "prefix). In a chain, K: addresses module K (from 1): --param 2:Gain=0.5.\n"
     "State, bank, preset, program and parameters apply in that order.\n"
     "The output file appears only once complete; NaN or infinite samples are\n"
     "reported. A progress bar shows on a terminal; the last line says how fast it\n"
     "went. A module that crashes, ends the process or takes more than --timeout\n"
     "seconds for one call is reported with the step it was in."},
};

std::string exitCodeText() {
    std::string s = "Exit codes (every command):\n";
    for (const ExitCodeText& e : kExitCodes) s += "  " + std::to_string(e.code) + "  " + e.meaning + "\n";
    s.pop_back();
    return s;
}

std::vector<CLI::App*> visibleCommands(CLI::App& app) {
    return app.get_subcommands([](CLI::App* sub) { return !sub->get_group().empty(); });
}

// vst2host --help: every command with its options and what they do, then
// the examples and the exit codes, all from the definitions.
std::string fullHelp(CLI::App& app) {
    std::string s = app.get_description() + "\n\nCommands:\n";
    for (CLI::App* sub : visibleCommands(app)) {
        std::string text = sub->help("vst2host");
        // Indented under the command list.
        std::string indented;
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t end = std::min(text.find('\n', start), text.size());
            const std::string line = text.substr(start, end - start);
            indented += line.empty() ? "\n" : "  " + line + "\n";
            start = end + 1;
        }
        s += "\n" + indented;
    }
    return s + "\n" + app.get_footer() + "\n";
}

// roff: a leading dot or quote would be a request, a backslash an escape.
std::string roff(const std::string& text) {
    std::string out;
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && (c == '.' || c == '\'')) out += "\\&";
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
        lineStart = c == '\n';
    }
    return out;
}

// Prose with its own line breaks, as it is.
std::string roffLines(const std::string& text) { return ".nf\n" + roff(text) + "\n.fi\n"; }

void printManPage(CLI::App& app, std::ostream& out) {
    const CLI::Formatter format;
    const CLI::Formatter* formatter = &format;
    out << ".TH VST2HOST 1 \"\" \"Kestravian\" \"User Commands\"\n"
        << ".SH NAME\nvst2host \\- a command\\-line host and validator for VST 2 plug\\-in modules\n"
        << ".SH SYNOPSIS\n";
    for (CLI::App* sub : visibleCommands(app)) {
        std::string usage = formatter->make_usage(sub, "vst2host " + sub->get_name());
        const auto colon = usage.find(':');
        if (colon != std::string::npos) usage = usage.substr(colon + 1);
        while (!usage.empty() && (usage.front() == ' ' || usage.front() == '\n')) usage.erase(0, 1);
        while (!usage.empty() && (usage.back() == ' ' || usage.back() == '\n')) usage.pop_back();
        out << ".B " << roff(usage) << "\n.br\n";
    }
    out << ".SH DESCRIPTION\n" << roffLines(app.get_description());
    out << ".SH COMMANDS\n";
    for (CLI::App* sub : visibleCommands(app)) {
        out << ".SS " << sub->get_name() << "\n" << roff(sub->get_description()) << "\n.PP\n";
        if (!sub->get_footer().empty()) out << roffLines(sub->get_footer());
        for (const CLI::Option* opt : sub->get_options()) {
            if (opt->get_group().empty() || opt == sub->get_help_ptr()) continue;
            out << ".TP\n.B " << roff(formatter->make_option_name(opt, opt->nonpositional() == false))
                << roff(formatter->make_option_opts(opt)) << "\n"
                << roff(formatter->make_option_desc(opt)) << "\n";
        }
    }
    out << ".SH EXIT STATUS\n";
    for (const ExitCodeText& e : kExitCodes) out << ".TP\n.B " << e.code << "\n" << roff(e.meaning) << "\n";
    out << ".SH EXAMPLES\n" << roffLines(kExamples);
    out << ".SH ENVIRONMENT\n.TP\n.B VST_PATH\nFolders searched for plug\\-ins (':'\\-separated; ';' on Windows); "
           "set, it replaces the usual folders.\n"
        << ".TP\n.B LXVST_PATH\nMore folders searched on Linux, the same way.\n";
}

}  // namespace

Command addManCommand(CLI::App& app) {
    CLI::App* man = app.add_subcommand("__man", "");
    man->group("");
    return {man, [&app] {
                printManPage(app, std::cout);
                return kOk;
            }};
}

}  // namespace tool

int main(int argc, char** argv) try {
    using namespace tool;
    commandLine().assign(argv, argv + argc);
    CLI::App app(kDescription, "vst2host");
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("vst2host ") + aerie::kVersion, "Print the version and exit");
    // Paths like /work/x.mid are arguments, not Windows-style options, on
    // every system (subcommands inherit this setting).
    app.allow_windows_style_options(false);

    // One line per command; each file adds its own options.
    const std::vector<Command> commands = {
        addInfoCommand(app), addParamsCommand(app), addScanCommand(app), addRenderCommand(app), addConvertCommand(app),
        addProbeCommand(app), {addValidateCommand(app), runValidate}, addManCommand(app),
    };
    for (const Prose& p : kProse) {
        CLI::App* sub = app.get_subcommand(p.command);
        if (sub->get_footer().empty()) sub->footer(p.text);
    }
    // Set last, so that the commands do not inherit it.
    app.footer(std::string(kExamples) + "\n\n" + exitCodeText());

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        if (!app.get_subcommands().empty()) return app.exit(e);
        std::cout << fullHelp(app);
        return kOk;
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << '\n';
        return kOk;
    } catch (const CLI::ParseError& e) {
        std::string what = e.what();
        std::replace(what.begin(), what.end(), '\n', ' ');
        (void)std::fprintf(stderr, "vst2host: %s (see vst2host --help)\n", what.c_str());
        return kUsage;
    }

    try {
        for (const Command& c : commands) {
            if (*c.app) return c.run();
        }
        return kInternal;
    } catch (const Error& e) {
        (void)std::fflush(stdout);
        (void)std::fprintf(stderr, "vst2host: %s\n", e.what());
        return e.code();
    } catch (const aerie::HostError& e) {
        (void)std::fflush(stdout);
        (void)std::fprintf(stderr, "vst2host: %s\n", e.what());
        return exitCodeFor(e.kind());
    } catch (const std::exception& e) {
        (void)std::fprintf(stderr, "vst2host: internal error: %s\n", e.what());
        return kInternal;
    }
} catch (...) {
    // Setting up the command line itself failed (out of memory).
    (void)std::fprintf(stderr, "vst2host: internal error while starting\n");
    return tool::kInternal;
}
