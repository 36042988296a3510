// vst2host: a command-line host for VST 2 plug-in modules. `info` shows what
// a host sees of a module, `params` its parameters, `scan` finds the
// installed ones, `render` plays audio and MIDI through one module or a
// chain of them into a WAV file, driving them block by block as a host does.
// Each command lives in its own file and adds itself here.
#include <algorithm>
#include <cstdio>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/vst2host/tool.h"
#include "tools/vst2host/validate.h"

namespace tool {

namespace {

const char* const kDescription =
    "vst2host - a command-line host for VST 2 plug-in modules\n"
    "\n"
    "MODULE is a path to a module (.so or .dll), or a file name or effect name\n"
    "looked up in the plug-in folders (see scan): vst2host render Kars ...\n"
    "\n"
    "  vst2host info MODULE [--json] [--timeout 30]\n"
    "      Loads the module in a separate process, creates one instance and prints\n"
    "      what a host sees: names, identifier, category, pins, flags, programs,\n"
    "      parameters, interface version and capability answers.\n"
    "\n"
    "  vst2host params MODULE [--json]\n"
    "      Every parameter: number (from 1), name, label, value (0..1) and display.\n"
    "\n"
    "  vst2host scan [DIR...] [--json] [--timeout 10]\n"
    "      Finds the modules in DIR (recursively) or, with none, where hosts look:\n"
    "      VST_PATH and LXVST_PATH when set (they replace the rest), else ~/.vst,\n"
    "      ~/.lxvst, /usr/local/lib/vst, /usr/lib/vst, /usr/lib/lxvst (on Windows\n"
    "      VST_PATH, else the common VST folders). Each is\n"
    "      probed in a child process; one that crashes or hangs is listed as such.\n"
    "\n"
    "  vst2host render MODULE... [--input IN.wav] [--midi FILE.mid | --notes LIST]\n"
    "                  --out OUT.wav [--rate 44100] [--block 512] [--tail 1.0]\n"
    "                  [--format float|pcm16|pcm24] [--param [K:]P=V]... [--program [K:]N]\n"
    "                  [--state [K:]FILE] [--save-state [K:]FILE] [--force] [--strict]\n"
    "                  [--timeout 30]\n"
    "      Plays a WAV file (PCM 8/16/24/32-bit or float 32/64-bit) and/or a Standard\n"
    "      MIDI File (format 0 or 1, all tracks, tempo map honoured; '-' reads standard\n"
    "      input) or a list of notes through the plug-in, or through several in series\n"
    "      (first to last, like an insert chain), and writes the last one's outputs,\n"
    "      one channel each, to a WAV file. The input's sample rate is the render rate.\n"
    "      The length is the input's length, or the last event, plus the tail.\n"
    "      Channel mapping, from the input file into the first module and from each\n"
    "      module into the next: channel k feeds input k; a mono source feeds every\n"
    "      input; inputs beyond the source's channels get silence; source channels\n"
    "      beyond the inputs are dropped (a note says so). MIDI goes to every module\n"
    "      that asks for it (instruments, and modules that can receive events).\n"
    "      --notes \"60:127@0.10,72:64@0.50+1.0\": NOTE:VELOCITY@SECONDS[+LENGTH], on\n"
    "      MIDI channel 1; each note is released after LENGTH seconds (default 0.25).\n"
    "      --param P=V sets parameter P, its number or its name as info prints them\n"
    "      (exact, then a unique case-insensitive prefix), to the normalised value V\n"
    "      (0 to 1) before the first block; --program N selects program N (from 1).\n"
    "      In a chain, K: addresses module K (from 1): --param 2:Gain=0.5.\n"
    "      --state loads a state saved by --save-state (a JSON file: identity,\n"
    "      program, parameter values, the chunk); state, program, parameters apply\n"
    "      in that order. A state made for another plug-in needs --force.\n"
    "      The output file appears only once complete; NaN or infinite samples are\n"
    "      reported (with --strict the file is refused). A progress bar shows on a\n"
    "      terminal; the last line says how fast it went. A module that crashes,\n"
    "      ends the process or takes more than --timeout seconds for one call is\n"
    "      reported with the step it was in.\n"
    "\n"
    "  vst2host validate MODULE... [--strictness 1-10] [--seed N] [--only TESTS] [--json]\n"
    "      Runs a battery of tests on any VST 2 module, each in a child process with a\n"
    "      timeout, and ends with one line 'N passed, M failed, K skipped'; exit status\n"
    "      0 when nothing failed, 1 otherwise. 'vst2host validate --help' and\n"
    "      'vst2host validate --list' say more.\n";

const char* const kFooter =
    "Examples:\n"
    "  vst2host info dist/linux-x86_64/kestravian.so\n"
    "  vst2host render dist/linux-x86_64/kestravian.so --midi examples/demo.mid --out out/demo.wav\n"
    "  vst2host render kestravian.so --notes \"60:127@0.1,72:64@0.5\" --out try.wav --format pcm16\n"
    "  vst2host render ZamComp MVerb --input voice.wav --param 1:Ratio=0.4 --out wet.wav\n"
    "  vst2host scan --json\n"
    "\n"
    "Exit codes: 0 done; 1 internal fault; 2 bad options; 3 the module cannot be\n"
    "loaded or used; 4 the module crashed, hung or ended the process; 5 an input\n"
    "(MIDI, audio or state file) is missing, malformed or does not fit; 6 the\n"
    "output file cannot be written; 7 NaN or infinite output with --strict.";

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

    // One line per command; each file adds its own options.
    const std::vector<Command> commands = {
        addInfoCommand(app), addParamsCommand(app), addScanCommand(app), addRenderCommand(app), addProbeCommand(app),
        {addValidateCommand(app), runValidate},
    };

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
        for (const Command& c : commands) {
            if (*c.app) return c.run();
        }
        return kInternal;
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
