// Sandbox: how a child's end is told and reported, for each way an
// operation can end. On Windows the child is this program started again
// with --sandbox-child NAME, so the operations are named in one table.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <aerie/aerie.h>
#include <aerie/process.h>
#include <aerie/sandbox.h>
#include <aerie/worker.h>

namespace {

using End = aerie::SandboxResult::End;

[[noreturn]] void crashNow() {
#if defined(_WIN32)
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    std::abort();
#else
    std::raise(SIGSEGV);
    std::abort();
#endif
}

const struct Operation {
    const char* name;
    aerie::SandboxOperation run;
} kOperations[] = {
    {"finishes", [](aerie::SandboxReporter& r) {
         r.send("info", "hello\nworld");
         return 3;
     }},
    {"throws", [](aerie::SandboxReporter& r) -> int {
         r.step("opening it");
         throw aerie::HostError(aerie::ErrorKind::EntryNull, "the entry answered null");
     }},
    {"crashes-in-block", [](aerie::SandboxReporter& r) -> int {
         r.stages({"Kestravian", "ZamComp"});
         r.step("rendering");
         for (std::uint64_t b = 0; b < 12; ++b) r.block(b, b * 512);
         r.stage(1);
         crashNow();
     }},
    {"crashes-in-step", [](aerie::SandboxReporter& r) -> int {
         r.step("asking for its name (effGetEffectName)");
         crashNow();
     }},
    {"hangs", [](aerie::SandboxReporter& r) -> int {
         r.step("opening it (effOpen)");
         for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(10));
     }},
    {"slow-but-busy", [](aerie::SandboxReporter& r) {
         r.step("rendering");
         for (std::uint64_t b = 0; b < 30; ++b) {  // 0.3 s in all, never 0.2 s without progress
             r.block(b, b * 64);
             std::this_thread::sleep_for(std::chrono::milliseconds(10));
         }
         return 0;
     }},
    {"exits", [](aerie::SandboxReporter& r) -> int {
         r.step("creating an instance");
         std::exit(7);
     }},
};

const Operation& operation(const std::string& name) {
    for (const Operation& o : kOperations) {
        if (name == o.name) return o;
    }
    std::abort();
}

aerie::SandboxResult run(const std::string& name, double timeout = 0) {
    aerie::SandboxOptions options;
    options.timeoutSeconds = timeout;
    options.output = aerie::SandboxOptions::Output::Discard;
    options.restart = {aerie::selfExecutable(), "--sandbox-child", name};
    return aerie::runSandboxed(operation(name).run, options);
}

TEST(Sandbox, EachEndIsToldAndDescribed) {
    const struct Case {
        const char* operation;
        double timeout;
        End end;
        const char* description;  // the start of describe()
    } cases[] = {
        {"finishes", 0, End::Finished, "finished"},
        {"throws", 0, End::Failed, "the entry answered null"},
#if defined(_WIN32)
        {"crashes-in-block", 0, End::Crashed,
         "crashed while rendering block 12 (from frame 5632) in module 2 (ZamComp) (access violation (0xC0000005))"},
        {"crashes-in-step", 0, End::Crashed, "crashed while asking for its name (effGetEffectName) (access violation"},
#else
        {"crashes-in-block", 0, End::Crashed,
         "crashed while rendering block 12 (from frame 5632) in module 2 (ZamComp) (segmentation fault)"},
        {"crashes-in-step", 0, End::Crashed, "crashed while asking for its name (effGetEffectName) (segmentation fault)"},
#endif
        {"hangs", 0.2, End::Hung, "did not answer within 0.2 s while opening it (effOpen)"},
        {"slow-but-busy", 0.2, End::Finished, "finished"},
        {"exits", 0, End::EndedProcess, "ended the process while creating an instance (exit code 7)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.operation);
        const aerie::SandboxResult r = run(c.operation, c.timeout);
        EXPECT_EQ(static_cast<int>(r.end), static_cast<int>(c.end)) << r.describe();
        EXPECT_EQ(r.describe().rfind(c.description, 0), 0u) << r.describe();
    }
}

TEST(Sandbox, TheOperationsAnswerAndMessagesReachTheParent) {
    const aerie::SandboxResult done = run("finishes");
    EXPECT_EQ(done.exitCode, 3);
    EXPECT_EQ(done.message("info"), "hello world");  // one line
    const aerie::SandboxResult failed = run("throws");
    EXPECT_EQ(failed.errorKind, aerie::ErrorKind::EntryNull);
    try {
        failed.throwIfFailed();
        ADD_FAILURE() << "no error";
    } catch (const aerie::HostError& e) {
        EXPECT_EQ(e.kind(), aerie::ErrorKind::EntryNull);
    }
    const std::pair<const char*, aerie::ErrorKind> kinds[] = {
        {"crashes-in-step", aerie::ErrorKind::Crashed}, {"exits", aerie::ErrorKind::EndedProcess}};
    for (const auto& [name, kind] : kinds) {
        try {
            run(name).throwIfFailed();
            ADD_FAILURE() << name;
        } catch (const aerie::HostError& e) {
            EXPECT_EQ(e.kind(), kind) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("the module ", 0), 0u) << e.what();
        }
    }
}

TEST(Sandbox, OneTableNamesSignalsAndExceptions) {
    EXPECT_EQ(aerie::describeExceptionCode(0xC0000005), "access violation (0xC0000005)");
    EXPECT_EQ(aerie::describeExceptionCode(0xC0001234), "exception (0xC0001234)");
#if !defined(_WIN32)
    EXPECT_EQ(aerie::describeSignal(SIGSEGV), "segmentation fault");
    EXPECT_EQ(aerie::describeSignal(SIGABRT), "aborted");
    EXPECT_EQ(aerie::describeSignal(63), "signal 63");
#endif
}

}  // namespace

// The worker's handlers by name (worker_test.cpp).
aerie::WorkerHandler workerHandler(const std::string& name);

int main(int argc, char** argv) {
    // The child side of a restarted sandbox (Windows): NAME REPORT SHARED.
    if (argc == 5 && std::strcmp(argv[1], "--sandbox-child") == 0) {
        return aerie::runSandboxChild(argv[3], argv[4], operation(argv[2]).run);
    }
    // The child side of a restarted worker (Windows): NAME ARGUMENT; a name
    // "late-NAME" starts half a second late, as a child does on a slow machine.
    if (argc == 4 && std::strcmp(argv[1], "--worker-child") == 0) {
        std::string name = argv[2];
        if (name.rfind("late-", 0) == 0) {
            name.erase(0, 5);
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        return aerie::runWorkerChild(argv[3], workerHandler(name));
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
