// Watches the audio thread for calls that do not belong there: memory
// allocated or freed, a lock taken, a file opened, read or written, a sleep.
// The validating program itself provides those functions (they forward to
// the C library), so a plug-in's calls reach them; only a thread that armed
// the watch, and only outside the host's own code, is watched.
//
// Linux only, and not under AddressSanitizer, which provides the allocator
// itself.
#pragma once

#include <string>

namespace validate::rt {

// Whether calls can be watched in this build; if not, why not.
bool available();
const char* unavailableWhy();

// From arm() to disarm(), calls on this thread are watched; the first
// offending one is kept with where it came from. `during` names the call
// into the plug-in (a literal).
void arm(const char* during) noexcept;
void disarm() noexcept;

// While alive, the armed thread is in the host's own code (the host
// callback): its calls are not the plug-in's.
class HostScope {
public:
    HostScope() noexcept;
    ~HostScope();
    HostScope(const HostScope&) = delete;
    HostScope& operator=(const HostScope&) = delete;
};

struct Finding {
    bool found = false;
    std::string call;    // "malloc (48 bytes)", "pthread_mutex_lock", ...
    std::string from;    // the plug-in function it was called from, or "" when unknown
    std::string via;     // the library function between, if any ("operator new(unsigned long)")
    std::string during;  // "processReplacing", ...
};

// The first offending call since the last reset(), with its names resolved
// (call it while not armed). `module` is the plug-in's path, to tell its
// frames from the libraries'.
Finding first(const std::string& module);
void reset() noexcept;

}  // namespace validate::rt
