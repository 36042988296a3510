#include <aerie/worker.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "sandbox_shared.h"
#include "start_process.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace aerie {

namespace detail {

// The memory both processes map: the child's progress, the buffers' shape
// (for a child started again), then the buffers, inputs first.
struct WorkerShared {
    SandboxReporter::Shared progress;
    std::int32_t inputChannels;
    std::int32_t outputChannels;
    std::int32_t frames;
};

// Every message on the pipe: this header, then `size` bytes.
struct WorkerFrame {
    std::uint32_t kind;
    std::uint32_t code;  // an error's kind
    std::uint64_t size;
};

}  // namespace detail

namespace {

using Frame = detail::WorkerFrame;
using detail::WorkerShared;

constexpr std::size_t kAudioOffset = (sizeof(WorkerShared) + 63) / 64 * 64;

enum FrameKind : std::uint32_t { kRequest = 1, kQuit = 2, kReply = 3, kError = 4 };

// The largest message either side accepts: a header that says more is not
// ours.
constexpr std::uint64_t kMaxMessage = std::uint64_t{1} << 31;

std::size_t mappingSize(const WorkerOptions& o) {
    const std::size_t channels = static_cast<std::size_t>(o.inputChannels) + static_cast<std::size_t>(o.outputChannels);
    return kAudioOffset + channels * static_cast<std::size_t>(o.frames) * sizeof(float);
}

void checkShape(const WorkerOptions& o) {
    constexpr std::size_t kMaxAudio = std::size_t{1} << 30;
    if (o.inputChannels < 0 || o.outputChannels < 0 || o.frames < 0 || o.inputChannels > 1024 ||
        o.outputChannels > 1024 ||
        static_cast<std::size_t>(o.inputChannels + o.outputChannels) * static_cast<std::size_t>(o.frames) * sizeof(float) >
            kMaxAudio) {
        throw HostError(ErrorKind::BadArgument, "the worker's audio buffers are out of range (" +
                                                    std::to_string(o.inputChannels) + " in, " +
                                                    std::to_string(o.outputChannels) + " out, " +
                                                    std::to_string(o.frames) + " frames)");
    }
}

// The buffers' addresses within a mapping, in this process.
void pointBuffers(WorkerShared* shared, std::vector<float*>& inputs, std::vector<float*>& outputs) {
    auto* audio = reinterpret_cast<float*>(reinterpret_cast<unsigned char*>(shared) + kAudioOffset);
    const auto frames = static_cast<std::size_t>(shared->frames);
    for (int c = 0; c < shared->inputChannels; ++c) inputs.push_back(audio + static_cast<std::size_t>(c) * frames);
    audio += static_cast<std::size_t>(shared->inputChannels) * frames;
    for (int c = 0; c < shared->outputChannels; ++c) outputs.push_back(audio + static_cast<std::size_t>(c) * frames);
}

// The pipe's two directions as the child uses them: whole reads and writes
// that answer false once the other side is gone.
struct ChildPipe {
#if defined(_WIN32)
    HANDLE in;
    HANDLE out;
    bool read(void* to, std::size_t n) {
        auto* p = static_cast<char*>(to);
        while (n > 0) {
            DWORD got = 0;
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
            if (!ReadFile(in, p, want, &got, nullptr) || got == 0) return false;
            p += got;
            n -= got;
        }
        return true;
    }
    bool write(const void* from, std::size_t n) {
        const auto* p = static_cast<const char*>(from);
        while (n > 0) {
            DWORD put = 0;
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
            if (!WriteFile(out, p, want, &put, nullptr) || put == 0) return false;
            p += put;
            n -= put;
        }
        return true;
    }
#else
    int fd;
    bool read(void* to, std::size_t n) {
        auto* p = static_cast<char*>(to);
        while (n > 0) {
            const ssize_t got = ::recv(fd, p, n, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            p += got;
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }
    bool write(const void* from, std::size_t n) {
        const auto* p = static_cast<const char*>(from);
        while (n > 0) {
            const ssize_t put = ::send(fd, p, n, MSG_NOSIGNAL);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return false;
            p += put;
            n -= static_cast<std::size_t>(put);
        }
        return true;
    }
#endif
};

// The child's loop: a request, the handler, its reply, until the parent
// says to end or is gone.
int serveRequests(WorkerShared* shared, ChildPipe& pipe, const WorkerHandler& handler) {
    SandboxReporter reporter(&shared->progress, nullptr);
    std::vector<float*> inputs;
    std::vector<float*> outputs;
    pointBuffers(shared, inputs, outputs);
    std::vector<unsigned char> request;
    for (;;) {
        Frame f{};
        if (!pipe.read(&f, sizeof f) || f.kind != kRequest || f.size > kMaxMessage) return 0;
        request.resize(static_cast<std::size_t>(f.size));
        if (!pipe.read(request.data(), request.size())) return 0;
        reporter.step("serving a request");
        WorkerCall call{request, reporter, inputs.data(), outputs.data(), shared->inputChannels, shared->outputChannels,
                        shared->frames};
        std::vector<unsigned char> reply;
        Frame answer{kReply, 0, 0};
        try {
            reply = handler(call);
        } catch (const HostError& e) {
            answer = {kError, static_cast<std::uint32_t>(e.kind()), 0};
            const std::string what = e.what();
            reply.assign(what.begin(), what.end());
        } catch (const std::exception& e) {
            answer = {kError, static_cast<std::uint32_t>(ErrorKind::Other), 0};
            const std::string what = e.what();
            reply.assign(what.begin(), what.end());
        } catch (...) {
            answer = {kError, static_cast<std::uint32_t>(ErrorKind::Other), 0};
            const std::string what = "an unknown exception";
            reply.assign(what.begin(), what.end());
        }
        if (reply.size() > kMaxMessage) {
            answer = {kError, static_cast<std::uint32_t>(ErrorKind::Other), 0};
            const std::string what = "the reply is too large for a worker";
            reply.assign(what.begin(), what.end());
        }
        answer.size = reply.size();
        if (!pipe.write(&answer, sizeof answer) || !pipe.write(reply.data(), reply.size())) return 0;
    }
}

SandboxResult notStarted(const std::string& why) {
    SandboxResult r;
    r.why = why;
    return r;
}

}  // namespace

struct Worker::Impl {
    WorkerShared* shared = nullptr;
    std::size_t mapped = 0;
    std::vector<float*> inputs;
    std::vector<float*> outputs;
    double timeoutSeconds = 0;
    bool alive = false;
    SandboxResult ending;
    std::atomic<bool> busy{false};
#if defined(_WIN32)
    HANDLE mapping = nullptr;
    HANDLE toChild = nullptr;
    HANDLE fromChild = nullptr;
    PROCESS_INFORMATION pi{};
#else
    int fd = -1;
    pid_t pid = -1;
#endif

    void start(const WorkerHandler& handler, const WorkerOptions& options);
    void stop();
    // The whole message to the child; false when it is gone.
    bool send(const Frame& f, const std::vector<unsigned char>& body);
    // `n` bytes of the reply; false when the child died or hung (`ending`
    // says which).
    bool receive(void* to, std::size_t n, detail::StallWatch& watch);
    // The child is gone or to be killed (`hung`): reaps it and words how it
    // ended. `status`: how it ended, where it is reaped already (POSIX).
    void bury(bool hung, const int* status = nullptr);
    void release();

    // However the worker goes (a constructor that throws too), the child
    // and the shared memory go with it.
    ~Impl() {
        stop();
        release();
    }
};

Worker::Worker(WorkerHandler handler, const WorkerOptions& options) : impl_(std::make_unique<Impl>()) {
    checkShape(options);
    impl_->timeoutSeconds = options.timeoutSeconds;
    impl_->ending.timeoutSeconds = options.timeoutSeconds;
    impl_->start(handler, options);
    if (!impl_->alive) impl_->ending.throwIfFailed();
    impl_->ending.end = SandboxResult::End::Finished;
    pointBuffers(impl_->shared, impl_->inputs, impl_->outputs);
}

Worker::~Worker() = default;

float* const* Worker::inputs() const noexcept { return impl_->inputs.data(); }
float* const* Worker::outputs() const noexcept { return impl_->outputs.data(); }
int Worker::inputChannels() const noexcept { return impl_->shared->inputChannels; }
int Worker::outputChannels() const noexcept { return impl_->shared->outputChannels; }
std::int32_t Worker::frames() const noexcept { return impl_->shared->frames; }
bool Worker::alive() const noexcept { return impl_->alive; }
const SandboxResult& Worker::ending() const noexcept { return impl_->ending; }

std::vector<unsigned char> Worker::call(const std::vector<unsigned char>& request) {
    if (impl_->busy.exchange(true)) {
        throw HostError(ErrorKind::WrongState, "the worker is serving another call: one call at a time");
    }
    struct Idle {
        std::atomic<bool>& busy;
        ~Idle() { busy.store(false); }
    } idle{impl_->busy};
    Impl& w = *impl_;
    if (!w.alive) w.ending.throwIfFailed();
    if (request.size() > kMaxMessage) throw HostError(ErrorKind::BadArgument, "the request is too large for a worker");
    detail::StallWatch watch(w.shared->progress, w.timeoutSeconds);
    Frame answer{};
    if (!w.send({kRequest, 0, request.size()}, request) || !w.receive(&answer, sizeof answer, watch)) {
        if (w.alive) w.bury(false);
        w.ending.throwIfFailed();
    }
    std::vector<unsigned char> reply(static_cast<std::size_t>(std::min(answer.size, kMaxMessage)));
    if (!w.receive(reply.data(), reply.size(), watch)) w.ending.throwIfFailed();
    if (answer.kind == kError) {
        throw HostError(static_cast<ErrorKind>(answer.code), std::string(reply.begin(), reply.end()));
    }
    return reply;
}

#if defined(_WIN32)

void Worker::Impl::start(const WorkerHandler&, const WorkerOptions& options) {
    if (options.restart.empty()) {
        ending = notStarted("no command to start the program again with");
        return;
    }
    const auto winError = [](const char* what) {
        return notStarted(std::string(what) + " (Windows error " + std::to_string(GetLastError()) + ")");
    };
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    mapped = mappingSize(options);
    const auto size = static_cast<std::uint64_t>(mapped);
    mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                 static_cast<DWORD>(size), nullptr);
    if (mapping == nullptr) {
        ending = winError("no shared memory");
        return;
    }
    shared = static_cast<WorkerShared*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, mapped));
    if (shared == nullptr) {
        ending = winError("no shared memory");
        return;
    }
    std::memset(static_cast<void*>(shared), 0, sizeof(WorkerShared));  // the rest is zero-filled
    shared->inputChannels = options.inputChannels;
    shared->outputChannels = options.outputChannels;
    shared->frames = options.frames;
    // Two pipes, the child's ends inheritable.
    HANDLE childIn = nullptr;
    HANDLE childOut = nullptr;
    if (!CreatePipe(&childIn, &toChild, &sa, 0) || !CreatePipe(&fromChild, &childOut, &sa, 0)) {
        ending = winError("no pipe");
        if (childIn != nullptr) CloseHandle(childIn);
        return;
    }
    SetHandleInformation(toChild, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(fromChild, HANDLE_FLAG_INHERIT, 0);
    std::vector<std::string> argv = options.restart;
    argv.push_back(std::to_string(reinterpret_cast<std::uintptr_t>(childIn)) + ":" +
                   std::to_string(reinterpret_cast<std::uintptr_t>(childOut)) + ":" +
                   std::to_string(reinterpret_cast<std::uintptr_t>(mapping)));
    std::string why;
    alive = detail::startChild(argv, options.output, pi, why);
    CloseHandle(childIn);
    CloseHandle(childOut);
    if (!alive) ending = notStarted(why);
}

bool Worker::Impl::send(const Frame& f, const std::vector<unsigned char>& body) {
    ChildPipe pipe{nullptr, toChild};
    return pipe.write(&f, sizeof f) && pipe.write(body.data(), body.size());
}

bool Worker::Impl::receive(void* to, std::size_t n, detail::StallWatch& watch) {
    auto* p = static_cast<char*>(to);
    int idle = 0;
    while (n > 0) {
        DWORD available = 0;
        if (!PeekNamedPipe(fromChild, nullptr, 0, nullptr, &available, nullptr)) {
            bury(false);  // the child's end is closed: it has ended
            return false;
        }
        if (available > 0) {
            DWORD got = 0;
            if (!ReadFile(fromChild, p, static_cast<DWORD>(std::min<std::size_t>(n, available)), &got, nullptr)) {
                bury(false);
                return false;
            }
            p += got;
            n -= got;
            watch.progress();
            idle = 0;
            continue;
        }
        // A quick reply is waited for by yielding, a slow one by sleeping.
        if (++idle < 200) {
            SwitchToThread();
        } else if (WaitForSingleObject(pi.hProcess, 1) == WAIT_OBJECT_0) {
            bury(false);
            return false;
        }
        if (watch.stalled()) {
            bury(true);
            return false;
        }
    }
    return true;
}

void Worker::Impl::bury(bool hung, const int*) {
    if (hung) TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    pi = {};
    alive = false;
    ending.where = detail::whereOf(shared->progress);
    if (hung) {
        ending.end = SandboxResult::End::Hung;
    } else if (detail::crashCode(code)) {
        ending.end = SandboxResult::End::Crashed;
        ending.why = describeExceptionCode(code);
    } else {
        ending.end = SandboxResult::End::EndedProcess;
        ending.exitCode = static_cast<int>(code);
    }
}

void Worker::Impl::stop() {
    if (!alive) return;
    (void)send({kQuit, 0, 0}, {});
    CloseHandle(toChild);
    toChild = nullptr;
    if (WaitForSingleObject(pi.hProcess, 1000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    pi = {};
    alive = false;
}

void Worker::Impl::release() {
    for (HANDLE* h : {&toChild, &fromChild}) {
        if (*h != nullptr) CloseHandle(*h);
        *h = nullptr;
    }
    if (shared != nullptr) UnmapViewOfFile(shared);
    shared = nullptr;
    if (mapping != nullptr) CloseHandle(mapping);
    mapping = nullptr;
}

int runWorkerChild(const std::string& argument, const WorkerHandler& handler) {
    detail::prepareChild();
    unsigned long long values[3] = {};
    const char* at = argument.c_str();
    for (unsigned long long& v : values) {
        char* end = nullptr;
        v = std::strtoull(at, &end, 10);
        if (end == at) return 125;
        at = *end == ':' ? end + 1 : end;
    }
    auto handle = [](unsigned long long v) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(v)); };
    auto* shared = static_cast<WorkerShared*>(MapViewOfFile(handle(values[2]), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (shared == nullptr) return 125;
    ChildPipe pipe{handle(values[0]), handle(values[1])};
    const int code = serveRequests(shared, pipe, handler);
    UnmapViewOfFile(shared);
    return code;
}

#else  // POSIX

void Worker::Impl::start(const WorkerHandler& handler, const WorkerOptions& options) {
    mapped = mappingSize(options);
    void* memory = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        ending = notStarted(std::string("no shared memory: ") + std::strerror(errno));
        return;
    }
    shared = static_cast<WorkerShared*>(memory);  // zero-filled by the system
    shared->inputChannels = options.inputChannels;
    shared->outputChannels = options.outputChannels;
    shared->frames = options.frames;
    int ends[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        ending = notStarted(std::string("no socket pair: ") + std::strerror(errno));
        return;
    }
    // Nothing buffered may be written twice, by us and by the child.
    (void)std::fflush(stdout);
    (void)std::fflush(stderr);
    pid = fork();
    if (pid == 0) {
        close(ends[0]);
        detail::prepareForkedChild(options.output);
        ChildPipe pipe{ends[1]};
        const int code = serveRequests(shared, pipe, handler);
        (void)std::fflush(stdout);
        (void)std::fflush(stderr);
        // Not exit(): the parent's atexit handlers and static objects are the parent's.
        _exit(code);
    }
    close(ends[1]);
    fd = ends[0];
    if (pid < 0) {
        ending = notStarted(std::string("cannot fork: ") + std::strerror(errno));
        return;
    }
    alive = true;
}

bool Worker::Impl::send(const Frame& f, const std::vector<unsigned char>& body) {
    // Header and body in one system call; a large body in more.
    iovec parts[2] = {{const_cast<Frame*>(&f), sizeof f},
                      {const_cast<unsigned char*>(body.data()), body.size()}};
    msghdr m{};
    m.msg_iov = parts;
    m.msg_iovlen = body.empty() ? 1 : 2;
    std::size_t total = sizeof f + body.size();
    while (total > 0) {
        const ssize_t put = ::sendmsg(fd, &m, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        auto done = static_cast<std::size_t>(put);
        total -= done;
        while (m.msg_iovlen > 0 && done >= m.msg_iov->iov_len) {
            done -= m.msg_iov->iov_len;
            ++m.msg_iov;
            --m.msg_iovlen;
        }
        if (m.msg_iovlen > 0) {
            m.msg_iov->iov_base = static_cast<char*>(m.msg_iov->iov_base) + done;
            m.msg_iov->iov_len -= done;
        }
    }
    return true;
}

bool Worker::Impl::receive(void* to, std::size_t n, detail::StallWatch& watch) {
    auto* p = static_cast<char*>(to);
    while (n > 0) {
        const ssize_t got = ::recv(fd, p, n, MSG_DONTWAIT);
        if (got > 0) {
            p += got;
            n -= static_cast<std::size_t>(got);
            watch.progress();
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            bury(false);  // the child's end is closed: it has ended
            return false;
        }
        // Nothing yet. The child's end may be held open by another thread's
        // child forked meanwhile, so its end is also looked for in between.
        pollfd wait{fd, POLLIN, 0};
        if (::poll(&wait, 1, 5) == 0) {
            int status = 0;
            const pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                bury(false, &status);
                return false;
            }
            if (done < 0 && errno != EINTR) {  // reaped by someone else: it has ended
                bury(false);
                return false;
            }
            if (watch.stalled()) {
                bury(true);
                return false;
            }
        }
    }
    return true;
}

void Worker::Impl::bury(bool hung, const int* known) {
    int status = known != nullptr ? *known : 0;
    bool reaped = known != nullptr;
    if (!reaped) {
        if (hung) kill(pid, SIGKILL);
        // Its end of the pipe closes as it exits; a child that closed it
        // and lives on is ended after a second.
        for (int i = 0; i < 1000 && !reaped; ++i) {
            const pid_t done = waitpid(pid, &status, WNOHANG);
            reaped = done == pid || (done < 0 && errno != EINTR);
            if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!reaped) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    pid = -1;
    alive = false;
    ending.where = detail::whereOf(shared->progress);
    if (hung) {
        ending.end = SandboxResult::End::Hung;
    } else if (WIFSIGNALED(status)) {
        ending.end = SandboxResult::End::Crashed;
        ending.why = describeSignal(WTERMSIG(status));
    } else {
        ending.end = SandboxResult::End::EndedProcess;
        ending.exitCode = WEXITSTATUS(status);
    }
}

void Worker::Impl::stop() {
    if (!alive) return;
    (void)send({kQuit, 0, 0}, {});
    shutdown(fd, SHUT_RDWR);
    int status = 0;
    for (int i = 0; i < 1000; ++i) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (pid > 0) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
    }
    alive = false;
}

void Worker::Impl::release() {
    if (fd >= 0) close(fd);
    fd = -1;
    if (shared != nullptr) munmap(shared, mapped);
    shared = nullptr;
}

int runWorkerChild(const std::string&, const WorkerHandler& handler) {
    // Where the child is a fork this is not used.
    (void)handler;
    return 125;
}

#endif

}  // namespace aerie
