#include "tools/vst2host/validate/rt_monitor.h"

#if defined(__SANITIZE_ADDRESS__)
#define KSTV_RT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KSTV_RT_ASAN 1
#endif
#endif

#if defined(__linux__) && !defined(KSTV_RT_ASAN)
#define KSTV_RT_WATCH 1
#endif

#if defined(KSTV_RT_WATCH)
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <filesystem>
#include <pthread.h>
#include <sys/types.h>
#include <time.h>

// The C library's allocator under its own names, which stay bound to it.
// The names are the C library's: reserved, and meant.
extern "C" {
void* __libc_malloc(std::size_t);                  // NOLINT(bugprone-reserved-identifier)
void __libc_free(void*);                            // NOLINT(bugprone-reserved-identifier)
void* __libc_calloc(std::size_t, std::size_t);      // NOLINT(bugprone-reserved-identifier)
void* __libc_realloc(void*, std::size_t);           // NOLINT(bugprone-reserved-identifier)
void* __libc_memalign(std::size_t, std::size_t);    // NOLINT(bugprone-reserved-identifier)
}
#endif

namespace validate::rt {

#if defined(KSTV_RT_WATCH)

namespace {

// Constant-initialised, so that reading them never allocates.
thread_local int armed = 0;
thread_local int inHost = 0;
thread_local const char* armedDuring = "";

std::atomic<bool> found{false};
char foundCall[96];
const char* foundDuring = "";
void* frames[48];
int frameCount = 0;

inline bool watching() noexcept { return armed != 0 && inHost == 0; }

// Records the first offence: what was called, and the stack it came from.
__attribute__((noinline)) void offence(const char* call, std::size_t bytes) noexcept {
    armed = 0;  // the recording itself may allocate
    if (!found.exchange(true)) {
        if (bytes > 0) {
            (void)std::snprintf(foundCall, sizeof foundCall, "%s (%zu bytes)", call, bytes);
        } else {
            (void)std::snprintf(foundCall, sizeof foundCall, "%s", call);
        }
        foundDuring = armedDuring;
        frameCount = backtrace(frames, 48);
    }
    armed = 1;
}

template <typename F>
F real(F& cache, const char* name) noexcept {
    if (cache == nullptr) cache = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
    return cache;
}

std::string demangled(const char* name) {
    if (name == nullptr) return "";
    int status = 0;
    char* d = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string out = status == 0 && d != nullptr ? d : name;
    std::free(d);
    return out;
}

std::string describe(void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0) return "";
    std::string out = info.dli_sname != nullptr ? demangled(info.dli_sname) : "";
    char offset[48];
    if (info.dli_sname != nullptr && info.dli_saddr != nullptr) {
        (void)std::snprintf(offset, sizeof offset, "+0x%zx",
                            static_cast<std::size_t>(static_cast<char*>(address) - static_cast<char*>(info.dli_saddr)));
        out += offset;
    } else if (info.dli_fbase != nullptr) {
        (void)std::snprintf(offset, sizeof offset, "offset 0x%zx",
                            static_cast<std::size_t>(static_cast<char*>(address) - static_cast<char*>(info.dli_fbase)));
        out += offset;
    }
    if (info.dli_fname != nullptr) out += " in " + std::filesystem::path(info.dli_fname).filename().string();
    return out;
}

bool sameFile(const char* a, const std::string& b) {
    std::error_code ec;
    return a != nullptr && std::filesystem::equivalent(a, b, ec);
}

}  // namespace

bool available() { return true; }
const char* unavailableWhy() { return ""; }

void arm(const char* during) noexcept {
    static const bool warm = [] {
        // backtrace loads its unwinder on first use; not on the audio thread.
        void* f[2];
        (void)backtrace(f, 2);
        return true;
    }();
    (void)warm;
    armedDuring = during;
    armed = 1;
}
void disarm() noexcept { armed = 0; }

HostScope::HostScope() noexcept { ++inHost; }
HostScope::~HostScope() { --inHost; }

void reset() noexcept {
    found = false;
    frameCount = 0;
}

Finding first(const std::string& module) {
    Finding f;
    if (!found) return f;
    f.found = true;
    f.call = foundCall;
    f.during = foundDuring;
    Dl_info self{};
    (void)dladdr(reinterpret_cast<void*>(&offence), &self);
    bool viaSeen = false;
    for (int i = 0; i < frameCount; ++i) {
        Dl_info info{};
        if (dladdr(frames[i], &info) == 0) continue;
        if (info.dli_fbase == self.dli_fbase) continue;  // this program: the watch itself
        if (sameFile(info.dli_fname, module)) {
            f.from = describe(frames[i]);
            break;
        }
        if (!viaSeen) {
            f.via = describe(frames[i]);
            viaSeen = true;
        }
    }
    return f;
}

#else

bool available() { return false; }
const char* unavailableWhy() {
#if defined(_WIN32)
    return "the audio thread's calls are watched on Linux only";
#elif defined(KSTV_RT_ASAN)
    return "the address sanitizer provides the allocator itself, so its calls cannot be watched in this build";
#else
    return "the audio thread's calls are watched on Linux only";
#endif
}
void arm(const char*) noexcept {}
void disarm() noexcept {}
HostScope::HostScope() noexcept {}
HostScope::~HostScope() {}
void reset() noexcept {}
Finding first(const std::string&) { return {}; }

#endif

}  // namespace validate::rt

#if defined(KSTV_RT_WATCH)
// The watched functions. They keep the C library's behaviour and add one
// thread-local test to each call.
using validate::rt::offence;
using validate::rt::watching;

extern "C" {

__attribute__((visibility("default"))) void* malloc(std::size_t n) noexcept {
    if (__builtin_expect(watching(), 0)) offence("malloc", n);
    return __libc_malloc(n);
}
__attribute__((visibility("default"))) void free(void* p) noexcept {
    if (__builtin_expect(p != nullptr && watching(), 0)) offence("free", 0);
    __libc_free(p);
}
__attribute__((visibility("default"))) void* calloc(std::size_t n, std::size_t size) noexcept {
    if (__builtin_expect(watching(), 0)) offence("calloc", n * size);
    return __libc_calloc(n, size);
}
__attribute__((visibility("default"))) void* realloc(void* p, std::size_t n) noexcept {
    if (__builtin_expect(watching(), 0)) offence("realloc", n);
    return __libc_realloc(p, n);
}
__attribute__((visibility("default"))) int posix_memalign(void** out, std::size_t align, std::size_t n) noexcept {
    if (__builtin_expect(watching(), 0)) offence("posix_memalign", n);
    if (align < sizeof(void*) || (align & (align - 1)) != 0) return 22;  // EINVAL
    void* p = __libc_memalign(align, n);
    if (p == nullptr) return 12;  // ENOMEM
    *out = p;
    return 0;
}
__attribute__((visibility("default"))) void* aligned_alloc(std::size_t align, std::size_t n) noexcept {
    if (__builtin_expect(watching(), 0)) offence("aligned_alloc", n);
    return __libc_memalign(align, n);
}
__attribute__((visibility("default"))) void* memalign(std::size_t align, std::size_t n) noexcept {
    if (__builtin_expect(watching(), 0)) offence("memalign", n);
    return __libc_memalign(align, n);
}

#define KSTV_RT_FORWARD(ret, name, params, args, ...)                              \
    __attribute__((visibility("default"))) ret name params __VA_ARGS__ {           \
        static ret(*next) params = nullptr;                                        \
        if (__builtin_expect(watching(), 0)) offence(#name, 0);                    \
        return validate::rt::real(next, #name) args;                               \
    }

KSTV_RT_FORWARD(int, pthread_mutex_lock, (pthread_mutex_t * m), (m), noexcept)
KSTV_RT_FORWARD(int, pthread_rwlock_rdlock, (pthread_rwlock_t * l), (l), noexcept)
KSTV_RT_FORWARD(int, pthread_rwlock_wrlock, (pthread_rwlock_t * l), (l), noexcept)
KSTV_RT_FORWARD(int, nanosleep, (const struct timespec* t, struct timespec* rest), (t, rest))
KSTV_RT_FORWARD(int, clock_nanosleep, (clockid_t c, int flags, const struct timespec* t, struct timespec* rest),
                (c, flags, t, rest))
KSTV_RT_FORWARD(int, usleep, (unsigned int us), (us))
KSTV_RT_FORWARD(unsigned int, sleep, (unsigned int s), (s))
#if !defined(_FILE_OFFSET_BITS) || _FILE_OFFSET_BITS != 64
KSTV_RT_FORWARD(std::FILE*, fopen, (const char* path, const char* mode), (path, mode))
#endif
KSTV_RT_FORWARD(std::FILE*, fopen64, (const char* path, const char* mode), (path, mode))
KSTV_RT_FORWARD(ssize_t, read, (int fd, void* buffer, std::size_t n), (fd, buffer, n))
KSTV_RT_FORWARD(ssize_t, write, (int fd, const void* buffer, std::size_t n), (fd, buffer, n))

// open takes a mode only with O_CREAT or O_TMPFILE; passing it always is harmless.
#if !defined(_FILE_OFFSET_BITS) || _FILE_OFFSET_BITS != 64
__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
    static int (*next)(const char*, int, ...) = nullptr;
    if (__builtin_expect(watching(), 0)) offence("open", 0);
    __builtin_va_list ap;
    __builtin_va_start(ap, flags);
    const unsigned mode = __builtin_va_arg(ap, unsigned);
    __builtin_va_end(ap);
    return validate::rt::real(next, "open")(path, flags, mode);
}
#endif
__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
    static int (*next)(const char*, int, ...) = nullptr;
    if (__builtin_expect(watching(), 0)) offence("open64", 0);
    __builtin_va_list ap;
    __builtin_va_start(ap, flags);
    const unsigned mode = __builtin_va_arg(ap, unsigned);
    __builtin_va_end(ap);
    return validate::rt::real(next, "open64")(path, flags, mode);
}

}  // extern "C"
#endif
