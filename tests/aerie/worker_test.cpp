// Worker: a child that serves requests, its audio in shared memory, and how
// its failures and deaths are told. On Windows the child is this program
// started again with --worker-child NAME, so the handlers are named in one
// table (workerHandler, which main in sandbox_test.cpp hands to the child).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <aerie/aerie.h>
#include <aerie/worker.h>

namespace {

using Bytes = std::vector<unsigned char>;
using End = aerie::SandboxResult::End;

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// A plug-in instance in the child, driven by text requests:
//   "open PATH"        loads the module, opens, configures (44100 Hz, the
//                      buffers' frames) and resumes an instance
//   "note N V"         a note-on at frame 0 of the next block
//   "render FRAMES"    one block from the shared inputs into the outputs
//   "param I V"        sets a parameter
// A fresh handler per worker: its state lives in the child.
aerie::WorkerHandler instanceHandler() {
    struct State {
        std::unique_ptr<aerie::Module> module;
        aerie::Host host;
        std::unique_ptr<aerie::Instance> instance;
        aerie::EventList events;
        std::uint64_t blocks = 0;
        std::uint64_t frame = 0;
    };
    auto state = std::make_shared<State>();
    return [state](aerie::WorkerCall& call) {
        std::istringstream in(text(call.request));
        std::string verb;
        in >> verb;
        State& s = *state;
        if (verb == "open") {
            std::string path;
            in >> path;
            call.reporter.step("opening it");
            s.module = aerie::Module::open(path);
            s.instance = std::make_unique<aerie::Instance>(*s.module, s.host);
            s.instance->open();
            s.instance->configure(44100.0, call.frames);
            s.instance->resume();
            return bytes(std::to_string(s.instance->numInputs()) + " " + std::to_string(s.instance->numOutputs()));
        }
        if (!s.instance) throw aerie::HostError(aerie::ErrorKind::WrongState, "nothing is open");
        if (verb == "note") {
            int note = 0;
            int velocity = 0;
            in >> note >> velocity;
            s.events.addNoteOn(0, note, velocity);
        } else if (verb == "param") {
            int index = 0;
            float value = 0;
            in >> index >> value;
            s.instance->setParameterValue(index, value);
        } else if (verb == "render") {
            std::int32_t frames = 0;
            in >> frames;
            call.reporter.step("rendering");
            call.reporter.block(s.blocks, s.frame);
            if (s.events.size() > 0) s.instance->sendEvents(s.events);
            s.instance->processBlock(call.inputs, call.outputs, frames);
            s.events.clear();
            ++s.blocks;
            s.frame += static_cast<std::uint64_t>(frames);
        } else {
            throw aerie::HostError(aerie::ErrorKind::BadArgument, "no request " + verb);
        }
        return Bytes{};
    };
}

}  // namespace

aerie::WorkerHandler workerHandler(const std::string& name) {
    if (name == "instance") return instanceHandler();
    // "echo": the request back, then how many requests came before it (the
    // child's state lasts); "fail" throws, "exit" ends the process.
    return [count = 0](aerie::WorkerCall& call) mutable {
        const std::string request = text(call.request);
        if (request == "fail") throw aerie::HostError(aerie::ErrorKind::BadArgument, "no such thing\nat all");
        if (request == "fail-other") throw std::runtime_error("out of luck");
        if (request == "exit") std::exit(7);
        if (request == "sleep") std::this_thread::sleep_for(std::chrono::milliseconds(400));
        if (request == "pause") std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (request == "busy") {  // 0.3 s in all, never 0.2 s without progress
            call.reporter.step("rendering");
            for (std::uint64_t b = 0; b < 30; ++b) {
                call.reporter.block(b, b * 64);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        if (request == "copy") {  // the inputs to the outputs, reversed in channel order
            for (int c = 0; c < call.outputChannels; ++c) {
                std::memcpy(call.outputs[c], call.inputs[call.inputChannels - 1 - c % call.inputChannels],
                            sizeof(float) * static_cast<std::size_t>(call.frames));
            }
        }
        Bytes reply = call.request;
        reply.push_back(static_cast<unsigned char>(count++));
        return reply;
    };
}

namespace {

aerie::WorkerOptions optionsFor(const std::string& handler, double timeout = 0) {
    aerie::WorkerOptions o;
    o.timeoutSeconds = timeout;
    o.output = aerie::SandboxOptions::Output::Discard;
    o.restart = {aerie::selfExecutable(), "--worker-child", handler};
    o.frames = 512;
    return o;
}

// Expects `call` to throw HostError of `kind` whose text starts with `start`.
template <typename Call>
void expectError(Call call, aerie::ErrorKind kind, const std::string& start) {
    try {
        call();
        ADD_FAILURE() << "no error; expected " << start;
    } catch (const aerie::HostError& e) {
        EXPECT_EQ(e.kind(), kind) << e.what();
        EXPECT_EQ(std::string(e.what()).rfind(start, 0), 0u) << e.what();
    }
}

TEST(Worker, RequestsAndRepliesRoundTripAndStateLasts) {
    aerie::Worker w(workerHandler("echo"), optionsFor("echo"));
    Bytes big(300000);  // more than a pipe holds at once, both ways
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7);
    const Bytes requests[] = {bytes("hello"), Bytes{}, big, Bytes{0, 255, 0}};
    unsigned char n = 0;
    for (const Bytes& request : requests) {
        Bytes expected = request;
        expected.push_back(n++);
        EXPECT_EQ(w.call(request), expected);
    }
    EXPECT_TRUE(w.alive());
}

TEST(Worker, AudioPassesThroughSharedMemoryBitForBit) {
    aerie::WorkerOptions o = optionsFor("echo");
    o.inputChannels = 3;
    o.outputChannels = 2;
    aerie::Worker w(workerHandler("echo"), o);
    ASSERT_EQ(w.inputChannels(), 3);
    ASSERT_EQ(w.frames(), 512);
    std::uint32_t x = 12345;
    for (int round = 0; round < 3; ++round) {
        // Any bit pattern, NaNs and denormals included.
        for (int c = 0; c < 3; ++c) {
            for (int i = 0; i < 512; ++i) {
                x = x * 1664525u + 1013904223u;
                std::memcpy(&w.inputs()[c][i], &x, sizeof x);
            }
        }
        w.call(bytes("copy"));
        for (int c = 0; c < 2; ++c) {
            EXPECT_EQ(std::memcmp(w.outputs()[c], w.inputs()[2 - c], 512 * sizeof(float)), 0) << "round " << round;
        }
    }
}

TEST(Worker, AHandlersErrorFailsItsRequestOnly) {
    aerie::Worker w(workerHandler("echo"), optionsFor("echo"));
    expectError([&] { w.call(bytes("fail")); }, aerie::ErrorKind::BadArgument, "no such thing\nat all");
    expectError([&] { w.call(bytes("fail-other")); }, aerie::ErrorKind::Other, "out of luck");
    EXPECT_TRUE(w.alive());
    EXPECT_EQ(text(w.call(bytes("next"))), std::string("next") + '\0');  // the first to be answered
}

// The time limit is for a request without progress: not for a long one
// that reports its blocks, nor for the time between requests.
TEST(Worker, OnlyARequestWithoutProgressIsHung) {
    // A child slow to start (a new process on Windows) is not hung, and
    // once up it has the whole timeout for its first answer.
    aerie::Worker late(workerHandler("echo"), optionsFor("late-echo", 0.2));
    EXPECT_EQ(text(late.call(bytes("pause"))), std::string("pause") + '\0');
    aerie::Worker w(workerHandler("echo"), optionsFor("echo", 0.2));
    EXPECT_EQ(text(w.call(bytes("busy"))), std::string("busy") + '\0');
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(text(w.call(bytes("idle"))), std::string("idle") + '\1');
    expectError([&] { w.call(bytes("sleep")); }, aerie::ErrorKind::Hung,
                "the module did not answer within 0.2 s while serving a request");
}

// The deaths: each request sequence ends in one, told with where the child
// was; the worker is dead after, and a new one serves at once.
TEST(Worker, DeathsAreToldAndTheWorkerStaysDead) {
    const struct Case {
        const char* name;
        const char* plugin;
        double timeout;
        aerie::ErrorKind kind;
        const char* text;  // the start of the error
    } cases[] = {
#if defined(_WIN32)
        {"crash in the second block", FAKE_CRASH_RENDER, 0, aerie::ErrorKind::Crashed,
         "the module crashed while rendering block 2 (from frame 512) (access violation (0xC0000005))"},
#else
        {"crash in the second block", FAKE_CRASH_RENDER, 0, aerie::ErrorKind::Crashed,
         "the module crashed while rendering block 2 (from frame 512) (segmentation fault)"},
#endif
        {"hang in the third block", FAKE_HANG_RENDER, 0.3, aerie::ErrorKind::Hung,
         "the module did not answer within 0.3 s while rendering block 3 (from frame 1024)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        aerie::Worker w(instanceHandler(), optionsFor("instance", c.timeout));
        w.call(bytes(std::string("open ") + c.plugin));
        expectError(
            [&] {
                for (int block = 0; block < 5; ++block) w.call(bytes("render 512"));
            },
            c.kind, c.text);
        EXPECT_FALSE(w.alive());
        EXPECT_EQ(w.ending().where.rfind("rendering block", 0), 0u);
        expectError([&] { w.call(bytes("render 512")); }, c.kind, c.text);  // dead for good
        aerie::Worker next(workerHandler("echo"), optionsFor("echo"));
        EXPECT_EQ(text(next.call(bytes("again"))), std::string("again") + '\0');
    }
    aerie::Worker w(workerHandler("echo"), optionsFor("echo"));
    expectError([&] { w.call(bytes("exit")); }, aerie::ErrorKind::EndedProcess,
                "the module ended the process while serving a request (exit code 7)");
}

TEST(Worker, WorkersServeOnSeveralThreadsAtOnce) {
    const int threads = aerie::sandboxThreads(2);
    std::vector<std::string> failures(static_cast<std::size_t>(threads));
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([t, &failures] {
            try {
                aerie::Worker w(workerHandler("echo"), optionsFor("echo"));
                for (int i = 0; i < 200; ++i) {
                    const std::string request = std::to_string(t) + ":" + std::to_string(i);
                    const Bytes reply = w.call(bytes(request));
                    if (text(reply) != request + static_cast<char>(i)) throw std::runtime_error("wrong reply " + text(reply));
                }
            } catch (const std::exception& e) {
                failures[static_cast<std::size_t>(t)] = e.what();
            }
        });
    }
    for (std::thread& t : running) t.join();
    for (const std::string& f : failures) EXPECT_EQ(f, "");
}

// The real use: an instance in the worker renders the same samples as one
// in this process, Kestravian playing a note and the fake effect on noise.
TEST(Worker, AnInstanceInTheWorkerRendersAsInProcess) {
    const struct Case {
        const char* path;
        bool instrument;  // a note; else the gain set
    } cases[] = {{KESTRAVIAN_MODULE, true}, {FAKE_EFFECT, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        // [doc:worker]
        aerie::WorkerOptions options;
        options.timeoutSeconds = 10;  // a request without progress for 10 s is hung
        options.frames = 512;         // the shared buffers: 2 in and 2 out by default
        options.restart = {aerie::selfExecutable(), "--worker-child", "instance"};  // Windows only
        aerie::Worker w(instanceHandler(), options);
        // Loads the module in the child and answers its pins.
        std::istringstream pins(text(w.call(bytes(std::string("open ") + c.path))));
        // [/doc:worker]
        int ins = 0;
        int outs = 0;
        pins >> ins >> outs;
        ASSERT_LE(ins, w.inputChannels());
        ASSERT_LE(outs, w.outputChannels());
        ASSERT_GT(outs, 0);
        w.call(bytes(c.instrument ? "note 60 100" : "param 0 0.3"));

        const auto module = aerie::Module::open(c.path);
        aerie::Host host;
        aerie::Instance local(*module, host);
        local.open();
        local.configure(44100.0, 512);
        local.resume();
        aerie::EventList events;
        if (c.instrument) {
            events.addNoteOn(0, 60, 100);
        } else {
            local.setParameterValue(0, 0.3f);
        }
        std::vector<std::vector<float>> in(2, std::vector<float>(512));
        std::vector<std::vector<float>> out(static_cast<std::size_t>(outs), std::vector<float>(512));
        std::vector<float*> inP = {in[0].data(), in[1].data()};
        std::vector<float*> outP;
        for (auto& o : out) outP.push_back(o.data());
        std::uint32_t x = 1;
        bool heard = false;
        for (int block = 0; block < 20; ++block) {
            for (int ch = 0; ch < 2; ++ch) {
                for (int i = 0; i < 512; ++i) {
                    x = x * 1664525u + 1013904223u;
                    in[static_cast<std::size_t>(ch)][static_cast<std::size_t>(i)] = static_cast<float>(static_cast<std::int32_t>(x)) * 1e-10f;
                }
                std::memcpy(w.inputs()[ch], in[static_cast<std::size_t>(ch)].data(), 512 * sizeof(float));
            }
            if (events.size() > 0) local.sendEvents(events);
            local.processBlock(inP.data(), outP.data(), 512);
            events.clear();
            w.call(bytes("render 512"));
            for (int ch = 0; ch < outs; ++ch) {
                ASSERT_EQ(std::memcmp(w.outputs()[ch], outP[static_cast<std::size_t>(ch)], 512 * sizeof(float)), 0)
                    << "block " << block << " channel " << ch;
                heard = heard || std::any_of(outP[0], outP[0] + 512, [](float v) { return v != 0.0f; });
            }
        }
        EXPECT_TRUE(heard);
    }
}

TEST(Worker, BadShapesAndConcurrentCallsAreRefused) {
    aerie::WorkerOptions o = optionsFor("echo");
    o.frames = -1;
    expectError([&] { aerie::Worker w(workerHandler("echo"), o); }, aerie::ErrorKind::BadArgument,
                "the worker's audio buffers are out of range");
    aerie::Worker w(workerHandler("echo"), optionsFor("echo"));
    std::thread slow([&] { w.call(bytes("sleep")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    expectError([&] { w.call(bytes("meanwhile")); }, aerie::ErrorKind::WrongState, "the worker is serving another call");
    slow.join();
    EXPECT_EQ(text(w.call(bytes("after"))), std::string("after") + '\x01');
}

}  // namespace
