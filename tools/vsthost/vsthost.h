// Hosting library: loads a plug-in module the way a host does and drives its
// instances through the effect record. Used by the command-line host and by
// the black-box tests, so it touches plug-ins only through the interface.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/abi/aeffect.h"
#include "host/abi/events.h"
#include "host/abi/opcodes.h"
#include "host/abi/pins.h"

namespace vsthost {

// A failure a user can act on; what() is one line, without a trailing period.
class HostError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What the file on disk is, read from its header without loading it.
struct ModuleFormat {
    enum class Kind { Missing, Unreadable, NotALibrary, Elf, Pe };
    Kind kind = Kind::Missing;
    int bits = 0;              // 32 or 64 for Elf and Pe
    std::string machine;       // "x86-64", "i386", "aarch64", ... ("" when unknown)
    bool sharedLibrary = false;  // ELF ET_DYN, or PE with the DLL characteristic
};
ModuleFormat inspectModuleFile(const std::string& path);

// The bitness and machine of this host program, in ModuleFormat's terms.
int hostBits() noexcept;
const char* hostMachine() noexcept;

// A loaded module. Opening checks the file first so that the error says why
// it cannot be loaded ("32-bit module, this host is 64-bit"), then loads it
// with every symbol resolved at once, and finds the entry: VSTPluginMain
// first, then main.
class Module {
public:
    static std::unique_ptr<Module> open(const std::string& path);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    VstPluginMainProc entry() const noexcept { return entry_; }
    const std::string& entryName() const noexcept { return entryName_; }
    const std::string& path() const noexcept { return path_; }
    // Any exported symbol by name, or null.
    void* symbol(const char* name) const noexcept;
#if defined(_WIN32)
    // An export by ordinal, or null (Windows only).
    void* ordinal(unsigned short number) const noexcept;
#endif

private:
    Module() = default;
    void* handle_ = nullptr;
    VstPluginMainProc entry_ = nullptr;
    std::string entryName_;
    std::string path_;
};

// One request the plug-in sent to the host callback.
struct HostRequest {
    AEffect* effect;
    std::int32_t opcode;
    std::int32_t index;
    VstIntPtr value;
    void* ptr;
    float opt;
};

// The host side of the callback: answers requests and records every one.
// Override `answer` to change what the plug-in hears.
class Host {
public:
    virtual ~Host() = default;
    // Default answers: version 2400 to audioMasterVersion, the sample rate
    // and block size given, 1 to audioMasterWantMidi, 0 to everything else.
    virtual VstIntPtr answer(const HostRequest& request);

    // Every request, in order, while `record` is true. A long render turns
    // it off once the instance is set up, so that the record stays bounded.
    std::vector<HostRequest> requests;
    bool record = true;
    float sampleRate = 44100.0f;
    std::int32_t blockSize = 512;
    VstIntPtr versionAnswer = 2400;

    // The callback to hand to a module's entry. It finds its Host through the
    // record's `user` field (set by Instance) or, during the entry call, the
    // one Instance is creating with.
    static VstIntPtr VST_CALL callback(AEffect* effect, std::int32_t opcode, std::int32_t index,
                                       VstIntPtr value, void* ptr, float opt) noexcept;
};

// One plug-in instance. Creating calls the entry with the host's callback and
// checks the record; destroying sends effClose unless close() already did.
class Instance {
public:
    Instance(const Module& module, Host& host);
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    AEffect* effect() const noexcept { return effect_; }
    VstIntPtr dispatch(std::int32_t opcode, std::int32_t index = 0, VstIntPtr value = 0,
                       void* ptr = nullptr, float opt = 0.0f);
    void process(float** inputs, float** outputs, std::int32_t frames);
    void processReplacing(float** inputs, float** outputs, std::int32_t frames);
    void setParameter(std::int32_t index, float value);
    float getParameter(std::int32_t index);
    // A text request (name, vendor, product, ...) into a zeroed 256-byte buffer.
    std::string text(std::int32_t opcode, std::int32_t index = 0);
    std::int32_t canDo(const char* capability);
    // effClose; the record is gone afterwards. Answers what the plug-in answered.
    VstIntPtr close();

private:
    AEffect* effect_ = nullptr;
    Host& host_;
};

// A block's worth of MIDI events in the interface's list layout. The list
// owns its events; `get()` stays valid until the list changes. Once it has
// held as many events as a block brings, clearing and refilling it does not
// allocate.
class EventList {
public:
    void addMidi(std::int32_t deltaFrames, unsigned char status, unsigned char data1, unsigned char data2);
    void addNoteOn(std::int32_t deltaFrames, int note, int velocity, int channel = 0) {
        addMidi(deltaFrames, static_cast<unsigned char>(0x90 | (channel & 15)), static_cast<unsigned char>(note),
                static_cast<unsigned char>(velocity));
    }
    // Any event record, for lists that mix types.
    void addRaw(const VstEvent& event);
    void clear();
    std::size_t size() const noexcept { return events_.size(); }
    VstEvents* get();

private:
    std::vector<VstEvent> events_;
    std::vector<unsigned char> storage_;
};

// "Kstv" for 0x4B737476; non-printable bytes shown as '.'.
std::string fourCharString(std::int32_t id);

}  // namespace vsthost
