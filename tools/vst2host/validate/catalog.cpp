// The catalogue: every test with what it checks, the published behaviour of
// the interface (or the host practice) that justifies it, the strictness it
// runs from and the strictness from which its findings fail.
#include <cstdint>
#include <string>
#include <vector>

#include "tools/vst2host/validate/harness.h"
#include "tools/vst2host/validate/tests.h"

namespace validate {

const std::vector<double>& defaultRates() {
    static const std::vector<double> rates = {8000, 11025, 22050, 44100, 48000, 88200, 96000, 192000, 384000, 44123.45};
    return rates;
}

const std::vector<std::int32_t>& defaultBlocks() {
    static const std::vector<std::int32_t> blocks = {1, 16, 64, 256, 512, 1024, 4096, 8192};
    return blocks;
}

std::uint64_t testSeed(std::uint64_t seed, const std::string& name) {
    std::uint64_t h = 1469598103934665603ull ^ seed;  // FNV-1a over the name
    for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
    return h;
}

const std::vector<TestDef>& catalog() {
    // name, what it checks, why, runs from, fails from (0: always)
    static const std::vector<TestDef> tests = {
        {"loading.module", "the module loads with every symbol resolved",
         "a host loads the module with the system loader; an unresolved symbol means no host can use it", 1, 0, testModule},
        {"loading.entry", "the entry is found (VSTPluginMain, then main)",
         "hosts call VSTPluginMain (older ones main); without either there is no plug-in", 1, 0, testEntry},
        {"loading.record", "the entry gives a record with the magic number, sane counts and entries",
         "the record's magic, counts and function entries are what every host reads first", 1, 0, testRecord},
        {"loading.identity", "names, identifier, version, category, pins and flags agree in two instances; pin records at their 128 bytes",
         "hosts cache what a scan reports and identify the plug-in by it; text buffers and the 128-byte pin record are the host's", 1, 0,
         testIdentity},
        {"loading.scan-cost", "loading the module and opening one instance take under 1 s (a warning above)",
         "hosts scan every module at start-up; a slow scan is a cost, not a broken promise", 1, 0, testScanCost},
        {"lifecycle.open-close", "open/close cycles within a time budget, with the memory measured",
         "hosts open and close instances all session long; memory that grows with each is a leak", 1, 0, testOpenClose},
        {"lifecycle.suspend-resume", "suspend/resume cycles between rendered blocks",
         "hosts suspend and resume (effMainsChanged) on every transport stop and setting change", 1, 0, testSuspendResume},
        {"lifecycle.rates", "every sample rate of --rates, from 8000 to 384000 Hz and a fractional one",
         "the sample rate is whatever the host's audio device runs at", 1, 0, testRates},
        {"lifecycle.blocks", "every block size of --blocks, shorter blocks than announced, and (7+) longer",
         "hosts render any number of frames up to the announced block size, fewer at loop ends", 1, 0, testBlocks},
        {"lifecycle.rate-block-changes", "rates and block sizes changed with a suspend between, and (6+) without",
         "hosts change rate and block size between suspend and resume when the device changes", 2, 0, testRateBlockChanges},
        {"lifecycle.zero-frames", "render calls of 0 frames and empty event lists write nothing",
         "hosts make render calls of 0 frames (to flush events or parameters)", 1, 0, testZeroFrames},
        {"lifecycle.latency-tail", "initialDelay and the tail size under 10 s of audio; an impulse comes out at the reported latency (a warning)",
         "hosts delay every other track by initialDelay and render the tail after the input ends", 1, 0, testLatencyTail},
        {"processing.finite", "outputs hold no NaN, no infinity and no unwritten frame",
         "processReplacing overwrites every frame of every output; NaN and infinity break every host's mix", 1, 0, testFinite},
        {"processing.subnormals", "no subnormal output once the input or the last note has died away",
         "subnormal numbers cost a hundred times the CPU on x86 and reach the next plug-in in the chain", 3, 0, testSubnormals},
        {"processing.guards", "nothing written before or past the frames asked for (guard samples, guard pages)",
         "the buffers are the host's, exactly as long as the frames asked for", 1, 0, testGuards},
        {"processing.inputs-untouched", "inputs are left untouched by out-of-place processing",
         "the input buffers are the host's, and hosts pass one buffer to several plug-ins", 1, 0, testInputsUntouched},
        {"processing.in-place", "in-place processing gives what out-of-place processing gives",
         "hosts may pass the same buffer as input and output", 2, 0, testInPlace},
        {"processing.accumulate", "the accumulating and replacing entries agree (version below 2400; from 2400 a note at 8+)",
         "process adds to the outputs; deprecated from interface version 2.4, when hosts stop calling it", 2, 0, testAccumulate},
        {"processing.notes", "instruments play notes: pairs, lone note-offs, repeats, overlaps, block edges, velocity 0",
         "an instrument receives MIDI through effProcessEvents, timed within the block", 1, 0, testNotes},
        {"processing.midi-variety", "every kind of MIDI: all channels, pitch bend, controllers, program change, system exclusive, all notes off",
         "hosts pass the MIDI of a track as it is, and event lists may hold system-exclusive records", 1, 0, testMidiVariety},
        {"processing.time-info", "the transport playing, stopped, changing tempo and metre, looping",
         "plug-ins may ask audioMasterGetTime during processing; hosts answer with the transport as it is", 1, 0, testTimeInfo},
        {"processing.deterministic", "two fresh instances give the same output bit for bit (a warning below 8)",
         "not a promise of the interface: offline renders and tests want it", 3, 0, testDeterministic},
        {"parameters.range", "every parameter set to 0, 1 and random values reads back within 0 to 1",
         "parameter values are normalised to 0..1 on both sides of the interface", 1, 0, testParameterRange},
        {"parameters.texts", "parameter names, labels and display texts end inside the host's buffer (8 characters at 9+)",
         "the host owns the text buffers; the interface's limit is 8 characters, which many hosts give room beyond", 1, 0,
         testParameterTexts},
        {"parameters.automation", "random parameter changes between blocks keep the output finite",
         "hosts automate parameters between render calls", 2, 0, testAutomation},
        {"parameters.fuzz", "random values at random blocks, blocks of random length, program changes: the output stays finite",
         "automation, controllers and preset browsers change values at any block", 1, 0, testParameterFuzz},
        {"programs.switching", "program switching, effGetProgram and program names",
         "hosts select programs by index and show their names", 1, 0, testPrograms},
        {"state.chunks", "get, set and get again of bank and program chunks give the same bytes",
         "a plug-in with programChunks saves its state as chunks; hosts store them in sessions", 1, 0, testChunks},
        {"state.bad-chunks", "empty, garbage and truncated chunks are survived",
         "sessions get damaged and come from other versions of a plug-in", 2, 0, testBadChunks},
        {"state.restore", "random parameters and a program, saved and restored into a fresh instance, give the same sound",
         "hosts save a session's state (chunk or parameters) and restore it into new instances", 1, 0, testStateRestore},
        {"threads.instances", "several instances on threads of their own, in step, sound as each does alone",
         "hosts render tracks in parallel, one instance per track; global state shared between instances mixes them", 2, 0,
         testConcurrentInstances},
        {"threads.parameters", "one thread sets and reads parameters and texts while another renders",
         "hosts call parameters from the user interface's thread while the audio thread renders", 1, 0, testParameterThreads},
        {"threads.state-restore", "state restored from the main thread while another renders (a warning below 7)",
         "many hosts restore presets and sessions while audio runs; the interface does not say they may", 1, 7,
         testRestoreWhileProcessing},
        {"realtime.safety", "the render calls and effProcessEvents allocate, free, lock, do file I/O and sleep not at all (a warning below 7)",
         "the audio thread has a deadline every block; these calls can wait longer. A matter of degree: a warning below 7", 1, 7,
         testRealtimeSafety},
        {"editor.window", "the editor opened into a real window, idled (2 s), closed, reopened, and opened while audio renders",
         "hosts open the editor into their own window, idle it, and open it during playback", 1, 0, testEditor},
        {"host.requests", "the requests the plug-in makes of the host, unsupported ones listed",
         "informative: what a host must answer for this plug-in", 1, 0, testHostRequests},
    };
    return tests;
}

void runTest(const TestDef& test, const Settings& settings, Reporter& reporter) {
    Context ctx(settings, reporter, testSeed(settings.seed, test.name));
    try {
        test.run(ctx);
    } catch (const Skipped& s) {
        reporter.skip(s.why);
    } catch (const Stop&) {
    } catch (const aerie::HostError& e) {
        reporter.fail(e.what());
    } catch (const std::exception& e) {
        reporter.fail(std::string("the validator failed: ") + e.what());
    }
    if (ctx.failures > 10) reporter.fail("... and " + std::to_string(ctx.failures - 10) + " more failures");
}

}  // namespace validate
