// Module: what loading a file answers, by error kind, for every way a file
// can fail to be a usable plug-in module.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <aerie/aerie.h>
#include <aerie/process.h>

#include "files.h"

namespace {

using aerie::ErrorKind;

std::string scratchFile(const std::string& name, const fixtures::Bytes& bytes) {
    const std::string path = fixtures::tmp(name);
    fixtures::writeFile(path, bytes);
    return path;
}

// Loads and instantiates; answers the kind of the failure, or Other when
// both worked.
struct Outcome {
    bool failed = false;
    ErrorKind kind = ErrorKind::Other;
    std::string message;
};
Outcome load(const std::string& path) {
    Outcome o;
    try {
        const auto module = aerie::Module::open(path);
        aerie::Host host;
        aerie::Instance instance(*module, host);
    } catch (const aerie::HostError& e) {
        o = {true, e.kind(), e.what()};
    }
    return o;
}

TEST(Module, EachFailureHasItsKind) {
    const bool host64 = aerie::hostBits() == 64;
    const std::string otherBits = std::to_string(host64 ? 32 : 64) + "-bit module, this host is " +
                                  std::to_string(aerie::hostBits()) + "-bit";
#if defined(_WIN32)
    const std::string otherBitsFile = scratchFile("other-bits.dll", fixtures::peHeader(host64 ? 32 : 64));
    const std::string foreignFile = scratchFile("foreign.dll", fixtures::elfHeader(64, 62));
    const char* foreign = "not a shared library for this system (a Linux module)";
#else
    const std::string otherBitsFile = scratchFile("other-bits.so", fixtures::elfHeader(host64 ? 32 : 64, host64 ? 3 : 62));
    const std::string foreignFile = scratchFile("foreign.so", fixtures::peHeader(64));
    const char* foreign = "not a shared library for this system (a Windows module)";
#endif
    const std::string words = "not a library at all, just text padded out to sixty-four bytes........";
    const fixtures::Bytes text(words.begin(), words.end());
    const struct Case {
        std::string path;
        ErrorKind kind;
        std::string message;  // the start of what()
    } cases[] = {
        {(std::filesystem::path(TEST_TMP) / "no-such-module.so").string(), ErrorKind::ModuleMissing, "module not found: "},
        {scratchFile("text.so", text),
         ErrorKind::NotALibrary, "not a shared library: "},
        {aerie::selfExecutable(), ErrorKind::NotALibrary, "not a shared library (an executable or object file)"},
        {otherBitsFile, ErrorKind::WrongArchitecture, otherBits},
        {foreignFile, ErrorKind::WrongSystem, foreign},
        {FAKE_NO_ENTRY, ErrorKind::NoEntry, "no entry point (neither VSTPluginMain nor main)"},
        {FAKE_NULL, ErrorKind::EntryNull, "the module's entry answered null"},
        {FAKE_BAD_MAGIC, ErrorKind::BadRecord, "the module's record lacks the interface's magic number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const Outcome o = load(c.path);
        ASSERT_TRUE(o.failed);
        EXPECT_EQ(o.kind, c.kind) << aerie::errorKindName(o.kind) << ": " << o.message;
        EXPECT_EQ(o.message.rfind(c.message, 0), 0u) << o.message;
    }
}

TEST(Module, NotAPluginCoversTheFilesAScanSkips) {
    for (ErrorKind k : {ErrorKind::NotALibrary, ErrorKind::WrongSystem, ErrorKind::LoadFailed, ErrorKind::NoEntry}) {
        EXPECT_TRUE(aerie::HostError(k, "").notAPlugin()) << aerie::errorKindName(k);
    }
    for (ErrorKind k : {ErrorKind::ModuleMissing, ErrorKind::WrongArchitecture, ErrorKind::EntryNull, ErrorKind::Crashed}) {
        EXPECT_FALSE(aerie::HostError(k, "").notAPlugin()) << aerie::errorKindName(k);
    }
}

TEST(Module, CreatingOnSeveralThreadsFindsEachItsOwnHost) {
    // The entry asks the host's version before its record exists; each
    // thread's creation must reach its own host.
    const auto module = aerie::Module::open(FAKE_IMPULSE);
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                aerie::Host host;
                host.versionAnswer = 2400 + t;
                aerie::Instance instance(*module, host);
                if (host.requests.empty() || host.requests.front().opcode != audioMasterVersion) ++wrong;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
