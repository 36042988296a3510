#include "tools/vst2host/crash_guard.h"

#include <cstring>
#include <initializer_list>

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

void compose(Line& line, const char* why) {
    line.add("vst2host: the module crashed while ");
    line.add(currentStep);
    if (inBlock) {
        line.add(" block ");
        line.add(currentBlock + 1);
        line.add(" (from frame ");
        line.add(currentFrame);
        line.add(")");
    }
    line.add(" (");
    line.add(why);
    line.add(")\n");
}

#if defined(_WIN32)

bool reporting = true;

const char* exceptionName(DWORD code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "access violation";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "illegal instruction";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "integer division by zero";
    case EXCEPTION_STACK_OVERFLOW: return "stack overflow";
    default: return "unhandled exception";
    }
}

LONG WINAPI onException(EXCEPTION_POINTERS* info) {
    if (!reporting) return EXCEPTION_EXECUTE_HANDLER;  // ends the process with the exception's code
    Line line;
    compose(line, exceptionName(info->ExceptionRecord->ExceptionCode));
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.text, static_cast<DWORD>(line.length), &written, nullptr);
    if (cleanupStream != nullptr) std::fclose(cleanupStream);
    if (cleanupPath[0] != '\0') DeleteFileA(cleanupPath);
    ExitProcess(kExitCode);
}

#else

void onSignal(int sig) {
    const char* why = "signal";
    switch (sig) {
    case SIGSEGV: why = "segmentation fault"; break;
    case SIGBUS: why = "bus error"; break;
    case SIGFPE: why = "arithmetic exception"; break;
    case SIGILL: why = "illegal instruction"; break;
    case SIGABRT: why = "aborted"; break;
    default: break;
    }
    Line line;
    compose(line, why);
    [[maybe_unused]] const auto n = write(2, line.text, line.length);
    if (cleanupPath[0] != '\0') unlink(cleanupPath);
    _exit(kExitCode);
}

#endif

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
}

void setStep(const char* step) noexcept {
    currentStep = step;
    inBlock = false;
}

void setBlock(std::uint64_t block, std::uint64_t firstFrame) noexcept {
    currentBlock = block;
    currentFrame = firstFrame;
    inBlock = true;
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
