#include "tools/vst2host/crash_guard.h"

#include <aerie/sandbox.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <unistd.h>
#endif

namespace crashguard {

namespace {

const char* volatile currentStep = "starting";
volatile std::uint64_t currentBlock = 0;
volatile std::uint64_t currentFrame = 0;
volatile bool inBlock = false;
char cleanupPath[4096] = {};
std::FILE* volatile cleanupStream = nullptr;
// Two buffers for steps made at run time, so that a report never reads the
// one being written.
char stepTexts[2][1024] = {};
int nextStepText = 0;
std::vector<std::string> stageNames;
volatile std::size_t currentStage = 0;
std::atomic<std::uint64_t> heartbeat{0};
std::atomic<bool> guarding{false};

// A bounded, allocation-free message builder for use inside a crash handler.
struct Line {
    char text[4096 + 512];
    std::size_t length = 0;
    void add(const char* s) {
        while (*s != '\0' && length + 1 < sizeof text) text[length++] = *s++;
    }
    void add(std::uint64_t v) {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0 && length + 1 < sizeof text) text[length++] = digits[--n];
    }
};

// The step, and while rendering the block and the module.
void where(Line& line) {
    line.add(currentStep);
    if (inBlock) {
        line.add(" block ");
        line.add(currentBlock + 1);
        line.add(" (from frame ");
        line.add(currentFrame);
        line.add(")");
        const std::size_t stage = currentStage;
        if (stageNames.size() > 1 && stage < stageNames.size()) {
            line.add(" in module ");
            line.add(static_cast<std::uint64_t>(stage + 1));
            line.add(" (");
            line.add(stageNames[stage].c_str());
            line.add(")");
        }
    }
}

void compose(Line& line, const char* why) {
    line.add("vst2host: the module crashed while ");
    where(line);
    line.add(" (");
    line.add(why);
    line.add(")\n");
}

void writeError(const Line& line) noexcept;
void removeCleanup() noexcept;

#if defined(_WIN32)

bool reporting = true;

LONG WINAPI onException(EXCEPTION_POINTERS* info) {
    if (!reporting) return EXCEPTION_EXECUTE_HANDLER;  // ends the process with the exception's code
    Line line;
    const char* name = aerie::exceptionName(info->ExceptionRecord->ExceptionCode);
    compose(line, name != nullptr ? name : "unhandled exception");
    writeError(line);
    removeCleanup();
    ExitProcess(kExitCode);
}

void writeError(const Line& line) noexcept {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.text, static_cast<DWORD>(line.length), &written, nullptr);
}

void removeCleanup() noexcept {
    if (cleanupStream != nullptr) std::fclose(cleanupStream);
    cleanupStream = nullptr;
    if (cleanupPath[0] != '\0') DeleteFileA(cleanupPath);
}

[[noreturn]] void endNow() noexcept { TerminateProcess(GetCurrentProcess(), kExitCode); ExitProcess(kExitCode); }

#else

void onSignal(int sig) {
    const char* why = aerie::signalName(sig);
    if (why == nullptr) why = "signal";
    Line line;
    compose(line, why);
    writeError(line);
    removeCleanup();
    _exit(kExitCode);
}

void writeError(const Line& line) noexcept { [[maybe_unused]] const auto n = write(2, line.text, line.length); }

void removeCleanup() noexcept {
    if (cleanupPath[0] != '\0') unlink(cleanupPath);
}

[[noreturn]] void endNow() noexcept { _exit(kExitCode); }

#endif

// A module that calls exit() runs the handlers registered with atexit.
void onExit() {
    if (!guarding.load()) return;
    Line line;
    line.add("vst2host: the module ended the process while ");
    where(line);
    line.add("\n");
    writeError(line);
    removeCleanup();
    endNow();
}

struct Watchdog {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
};
Watchdog* watchdog = nullptr;

void watch(Watchdog* w, double seconds) {
    using Clock = std::chrono::steady_clock;
    std::uint64_t seen = heartbeat.load();
    auto since = Clock::now();
    std::unique_lock<std::mutex> lock(w->mutex);
    while (!w->stopping) {
        w->wake.wait_for(lock, std::chrono::milliseconds(20));
        const std::uint64_t now = heartbeat.load();
        if (now != seen) {
            seen = now;
            since = Clock::now();
            continue;
        }
        if (Clock::now() - since < std::chrono::duration<double>(seconds)) continue;
        char limit[32];
        (void)std::snprintf(limit, sizeof limit, "%g", seconds);
        Line line;
        line.add("vst2host: the module did not answer within ");
        line.add(limit);
        line.add(" s while ");
        where(line);
        line.add("\n");
        writeError(line);
        removeCleanup();
        endNow();
    }
}

}  // namespace

void install(bool reportOnly) {
#if defined(_WIN32)
    reporting = reportOnly;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(onException);
#else
    // The probe child takes the default actions, so that the parent sees the
    // signal even where a sanitizer runtime had installed handlers of its own.
    struct sigaction sa {};
    sa.sa_handler = reportOnly ? onSignal : SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND | SA_NODEFER;
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(sig, &sa, nullptr);
#endif
    if (reportOnly) {
        static bool registered = false;
        if (!registered) registered = std::atexit(onExit) == 0;
        guarding = true;
    }
}

void finish() noexcept { guarding = false; }

void setStepText(const std::string& step) {
    char* buffer = stepTexts[nextStepText];
    nextStepText ^= 1;
    const std::size_t n = std::min(step.size(), sizeof stepTexts[0] - 1);
    std::memcpy(buffer, step.data(), n);
    buffer[n] = '\0';
    setStep(buffer);
}

void setStages(const std::vector<std::string>& names) { stageNames = names; }

void setStage(std::size_t stage) noexcept {
    currentStage = stage;
    heartbeat.fetch_add(1, std::memory_order_relaxed);
}

void startWatchdog(double seconds) {
    if (watchdog != nullptr || !(seconds > 0)) return;
    watchdog = new Watchdog;
    watchdog->thread = std::thread(watch, watchdog, seconds);
}

void stopWatchdog() {
    if (watchdog == nullptr) return;
    {
        const std::lock_guard<std::mutex> lock(watchdog->mutex);
        watchdog->stopping = true;
    }
    watchdog->wake.notify_all();
    watchdog->thread.join();
    delete watchdog;
    watchdog = nullptr;
}

void setStep(const char* step) noexcept {
    currentStep = step;
    inBlock = false;
    heartbeat.fetch_add(1, std::memory_order_relaxed);
}

void setBlock(std::uint64_t block, std::uint64_t firstFrame) noexcept {
    currentBlock = block;
    currentFrame = firstFrame;
    inBlock = true;
    heartbeat.fetch_add(1, std::memory_order_relaxed);
}

void setCleanup(const char* path, std::FILE* stream) noexcept {
    if (path == nullptr) {
        cleanupPath[0] = '\0';
    } else {
        std::strncpy(cleanupPath, path, sizeof cleanupPath - 1);
    }
    cleanupStream = stream;
}

}  // namespace crashguard
