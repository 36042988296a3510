// The render job: a fixed set of renders gives the samples it gave before
// the job moved into the hosting library (hashes taken from the tool as it
// was), a job from memory renders what the tool renders from files, and a
// tempo given as a number is the tempo the plug-ins hear.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "helpers.h"
#include <aerie/io/wav_writer.h>
#include <aerie/render_job.h>
#include <aerie/timeline.h>

namespace {

using testing_tools::readText;
using testing_tools::runTool;
using testing_tools::tmp;
using testing_tools::Track;

// The fixed jobs below render real modules on Linux.
#if defined(KESTRAVIAN_MODULE) && defined(TREMOLO_MODULE) && !defined(_WIN32)
// FNV-1a over the whole file: header and samples.
std::uint64_t fileHash(const std::string& path) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : readText(path)) h = (h ^ c) * 1099511628211ull;
    return h;
}

// Two seconds of stereo: two sines and a little noise from a fixed seed.
std::string inputWav() {
    const std::string path = tmp("input.wav");
    constexpr std::size_t frames = 88200;
    std::vector<float> l(frames), r(frames);
    std::uint32_t seed = 12345;
    for (std::size_t i = 0; i < frames; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const float noise = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
        l[i] = 0.5f * static_cast<float>(std::sin(static_cast<double>(i) * 0.0627)) + 0.05f * noise;
        r[i] = 0.4f * static_cast<float>(std::sin(static_cast<double>(i) * 0.0141)) - 0.05f * noise;
    }
    const float* channels[] = {l.data(), r.data()};
    aerie::WavWriter w(path, 2, 44100, aerie::SampleFormat::Float32);
    w.write(channels, frames);
    w.commit();
    return path;
}

// A tempo map: 100 BPM, then 75 from beat 4, and a note so that there is
// something to play.
std::string tempoMapMidi() {
    Track t;
    t.tempo(0, 600000).noteOn(0, 60, 100).tempo(1920, 800000).end(960);
    const std::string path = tmp("tempo-map.mid");
    testing_tools::writeFile(path, testing_tools::midiFile(0, 480, {t}));
    return path;
}

std::string writeAutomation() {
    const std::string path = tmp("automation.csv");
    std::FILE* f = std::fopen(path.c_str(), "w");
    EXPECT_NE(f, nullptr);
    std::fputs("time,parameter,value\n0.25,Threshold,0.4\n0.7,4,0.6\n1.3,Threshold,0.9\n", f);
    std::fclose(f);
    return path;
}

const char* const kZamComp = "/usr/lib/vst/ZamComp-vst.so";

// Each job's output as the tool wrote it before the render job moved into
// the library. The --tempo 90 job alone changed on purpose: the tempo is
// kept as 90 beats per minute, no longer as 666,667 microseconds per
// quarter note (89.99995 beats per minute).
TEST(RenderJob, FixedJobsRenderTheSameSamples) {
    if (!std::filesystem::exists(kZamComp)) GTEST_SKIP() << "zam-plugins is not installed";
    const std::string input = inputWav();
    const std::string automation = writeAutomation();
    const std::string midi = tempoMapMidi();
    const std::string preset = tmp("zam.fxp");
    // The preset the ZamComp job loads, saved by a render of its own.
    ASSERT_EQ(runTool({"render", kZamComp, "-i", input, "-o", tmp("p.wav"), "-p", "Ratio=0.7", "-p", "2=0.25",
                       "--save-preset", preset})
                  .code,
              0);
    struct Job {
        const char* name;
        std::vector<std::string> args;
        std::uint64_t hash;
    } jobs[] = {
        {"kestravian demo", {KESTRAVIAN_MODULE, "--midi", SOURCE_DIR "/examples/demo.mid"}, 0x7d6cc75cc5655952ull},
        {"zamcomp", {kZamComp, "-i", input, "--preset", preset, "--program", "1", "-p", "Knee=0.5",
                     "--automation", automation, "--tail", "0.5"}, 0xc7315059cb55192dull},
        {"chain", {KESTRAVIAN_MODULE, kZamComp, "--notes", "60:100@0+0.5,64:90@0.25,67:80@0.6+1", "-p", "2:Ratio=0.9",
                   "-p", "2:5=0.2", "--block", "300", "--format", "pcm24"}, 0x298445436ab082b5ull},
        {"tremolo at 120", {TREMOLO_MODULE, "-i", input, "-p", "Sync=0.5", "-p", "Depth=1", "--tempo", "120"}, 0xcadc33ce0f27e29ull},
        {"tremolo on a tempo map", {TREMOLO_MODULE, "-i", input, "--midi", midi, "-p", "Sync=0.3", "-p", "Depth=1",
                                    "--block", "128"}, 0xddba4c8914c232bdull},
        {"tremolo at 90", {TREMOLO_MODULE, "-i", input, "-p", "Sync=0.5", "-p", "Depth=1", "--tempo", "90"}, 0x8e6e06a87e823fe0ull},
    };
    for (const Job& job : jobs) {
        SCOPED_TRACE(job.name);
        const std::string out = tmp("out.wav");
        std::vector<std::string> args = {"render", "-o", out};
        args.insert(args.end(), job.args.begin(), job.args.end());
        const testing_tools::ToolRun run = runTool(args);
        ASSERT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(fileHash(out), job.hash) << std::hex << "0x" << fileHash(out);
    }
}

// The same job from the caller's buffers into a sink, with the settings as
// data, gives the samples vst2host writes from the files.
TEST(RenderJob, AJobFromMemoryRendersWhatTheToolRenders) {
    const std::string input = inputWav();
    const std::string out = tmp("tool.wav");
    const testing_tools::ToolRun run = runTool({"render", TREMOLO_MODULE, "-i", input, "-o", out, "-p", "Sync=0.5", "-p",
                                                "2=0.8", "--tempo", "90", "--tail", "0.25", "--block", "300"});
    ASSERT_EQ(run.code, 0) << run.err;
    const testing_tools::Wav wav = testing_tools::readWav(out);
    const testing_tools::Wav in = testing_tools::readWav(input);
    ASSERT_EQ(in.channels, 2);

    const float* channels[] = {in.samples[0].data(), in.samples[1].data()};
    aerie::RenderJob job;
    job.modules = {TREMOLO_MODULE};
    job.blockSize = 300;
    job.inputBuffers = channels;
    job.inputChannels = 2;
    job.inputFrames = in.frames();
    job.bpm = 90.0;
    job.tailSeconds = 0.25;
    job.parameters = {{0, "sync", 0.5f, "sync"}, {0, "2", 0.8f, "depth"}};
    std::vector<std::vector<float>> got(2);
    job.sink = [&got](const float* const* c, int count, std::size_t frames) {
        ASSERT_EQ(count, 2);
        for (int k = 0; k < count; ++k) got[static_cast<std::size_t>(k)].insert(got[static_cast<std::size_t>(k)].end(), c[k], c[k] + frames);
    };
    aerie::PlannedRender plan = aerie::planRender(job);
    EXPECT_EQ(plan.length, "input 2.000 s (88200 frames) + tail 0.250 s");
    aerie::RenderSession session(job, plan, {});
    session.load();
    const aerie::RenderResult result = session.render();
    session.finish();
    EXPECT_EQ(result.framesWritten, wav.frames());
    ASSERT_EQ(wav.channels, 2);
    EXPECT_TRUE(got[0] == wav.samples[0] && got[1] == wav.samples[1]);
}

// A chain the caller keeps renders in parts what one render gives: the
// parts continue the modules' state and the song position (the tremolo
// follows the tempo), the second render afresh gives the first again, and
// the modules stay loaded until the caller drops them.
TEST(RenderJob, AKeptChainRendersInPartsWhatOneRenderGives) {
    const testing_tools::Wav in = testing_tools::readWav(inputWav());
    aerie::RenderJob job;
    job.blockSize = 300;
    job.bpm = 90.0;
    job.tailSeconds = 0.0;
    job.parameters = {{0, "sync", 0.5f, "sync"}};
    auto renderPart = [&](aerie::RenderJob part, std::size_t from, std::size_t frames) {
        const float* channels[] = {in.samples[0].data() + from, in.samples[1].data() + from};
        part.inputBuffers = channels;
        part.inputChannels = 2;
        part.inputFrames = frames;
        std::vector<float> got;
        part.sink = [&got](const float* const* c, int, std::size_t n) { got.insert(got.end(), c[0], c[0] + n); };
        aerie::PlannedRender plan = aerie::planRender(part);
        aerie::RenderSession session(part, plan, {});
        session.load();
        (void)session.render();
        session.finish();
        return got;
    };
    aerie::RenderJob whole = job;
    whole.modules = {TREMOLO_MODULE};
    const std::vector<float> once = renderPart(whole, 0, 60000);

    std::unique_ptr<aerie::LoadedModule> kept = aerie::loadRenderModule(job, TREMOLO_MODULE, 0, 1, {});
    kept->instance->setParameterValue(aerie::findParameter(*kept->instance, "sync", "sync", "tremolo"), 0.5f);
    aerie::RenderChain chain;
    chain.modules = {kept.get()};
    aerie::RenderJob part = job;
    part.parameters.clear();
    part.chain = &chain;
    part.leaveRunning = true;
    std::vector<float> parts;
    for (const std::size_t from : {0, 30000, 45000}) {
        part.continues = from > 0;
        const std::vector<float> got = renderPart(part, from, from == 0 ? 30000 : 15000);
        parts.insert(parts.end(), got.begin(), got.end());
    }
    EXPECT_TRUE(chain.running());
    ASSERT_EQ(parts.size(), once.size());
    EXPECT_TRUE(parts == once);
    part.continues = false;
    EXPECT_TRUE(renderPart(part, 0, 60000) == once);
    EXPECT_EQ(kept->instance->state(), aerie::Instance::State::Running);
    chain.stop();
    EXPECT_EQ(kept->instance->state(), aerie::Instance::State::Ready);
    part.continues = true;
    EXPECT_THROW(renderPart(part, 0, 100), aerie::HostError);
}
#endif

// Notes and timed messages plan the same events; a job with two MIDI
// sources or two inputs, or a tempo or signature no timeline takes, is
// refused before anything is loaded.
TEST(RenderJob, NotesAndMessagesPlanTheSameEvents) {
    aerie::RenderJob notes;
    notes.sampleRate = 48000;
    notes.notes = {{64, 90, 250000000, 500000000}, {60, 100, 0, 125000000}};
    aerie::RenderJob messages = notes;
    messages.notes.clear();
    messages.messages = {{0.75, {0x80, 64, 0}}, {0.25, {0x90, 64, 90}}, {0.0, {0x90, 60, 100}}, {0.125, {0x80, 60, 0}}};
    const aerie::PlannedRender a = aerie::planRender(notes);
    const aerie::PlannedRender b = aerie::planRender(messages);
    ASSERT_EQ(a.events.size(), 4u);
    ASSERT_EQ(b.events.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(a.events[i].frame, b.events[i].frame);
        EXPECT_EQ(std::string(a.events[i].bytes, a.events[i].bytes + 3), std::string(b.events[i].bytes, b.events[i].bytes + 3));
    }
    EXPECT_EQ(a.events[3].frame, 36000u);
    EXPECT_EQ(a.frames, 36000u + 48000u);
    EXPECT_EQ(a.length, "last event at 0.750 s (frame 36000) + tail 1.000 s");
    EXPECT_EQ(b.length, a.length);

    aerie::RenderJob both = messages;
    both.notes = notes.notes;
    const float silence[1] = {0.0f};
    const float* buffers[] = {silence};
    aerie::RenderJob twoInputs;
    twoInputs.inputFile = "x.wav";
    twoInputs.inputBuffers = buffers;
    twoInputs.inputChannels = 1;
    aerie::RenderJob noTempo;
    noTempo.bpm = 0.0;
    aerie::RenderJob oddSignature;
    oddSignature.signature = aerie::TimeSignature{0, 3, 5};
    for (const aerie::RenderJob* bad : {&both, &twoInputs, &noTempo, &oddSignature}) {
        try {
            (void)aerie::planRender(*bad);
            ADD_FAILURE() << "planned";
        } catch (const aerie::HostError& e) {
            EXPECT_EQ(e.kind(), aerie::ErrorKind::BadArgument) << e.what();
        }
    }
}

// A tempo given as a number is that number: the tempo field says it
// exactly, and the song position is the frame times it, with no drift
// after a minute or an hour. A MIDI file could only hold the nearest whole
// microseconds, which the settings keep for writing one.
TEST(RenderJob, ATypedTempoIsHeardExactly) {
    for (const double bpm : {90.0, 110.0, 140.0, 97.5}) {
        SCOPED_TRACE(bpm);
        aerie::TimelineSettings s;
        s.sampleRate = 44100;
        s.bpm = bpm;
        const aerie::Timeline t(s);
        for (const std::uint64_t minutes : {0u, 1u, 60u}) {
            VstTimeInfo info{};
            t.fill(info, minutes * 60 * 44100, minutes == 0);
            EXPECT_EQ(info.tempo, bpm);
            EXPECT_EQ(info.ppqPos, bpm * static_cast<double>(minutes));
        }
        EXPECT_EQ(t.frameOfTick(static_cast<std::uint64_t>(bpm * 2 * 960)), 2u * 60 * 44100);
        EXPECT_EQ(t.settings().tempos.front().microsPerQuarter, static_cast<std::uint32_t>(std::llround(60e6 / bpm)));
    }
}

// The same through the command line: at --tempo 90 a plug-in that asks the
// time hears 90.0, and two seconds in it is at quarter 3.
TEST(RenderJob, APlugInAskingTheTimeAtTempo90Hears90) {
    const std::string out = tmp("time.wav");
    const testing_tools::ToolRun run = runTool({"render", FAKE_TIME, "--notes", "60:1@0", "--tempo", "90", "--rate", "44100",
                                                "--block", "441", "--tail", "2.5", "--out", out});
    ASSERT_EQ(run.code, 0) << run.err;
    const testing_tools::Wav wav = testing_tools::readWav(out);
    ASSERT_EQ(wav.channels, 6);
    ASSERT_GT(wav.frames(), 88200u);
    EXPECT_EQ(wav.samples[2][0], 90.0f);
    EXPECT_EQ(wav.samples[2][88200], 90.0f);
    EXPECT_EQ(wav.samples[0][88200], 3.0f);
    EXPECT_NE(run.out.find("time: 90 BPM, 4/4 (--tempo)"), std::string::npos) << run.out;
}

}  // namespace
