// One LV2 instance of a module's effect: the adapter between an LV2 host and
// the effect's VST 2 record, in the same binary. The host's calls become the
// record's requests:
//
//   instantiate     the module's entry, with this adapter as the host; the
//                   rate and the block size (the host's maxBlockLength
//                   option, else kDefaultBlock) set, effOpen
//   connect_port    kept; a port left unconnected reads silence or zeros
//                   and writes into scratch memory
//   activate        the control ports connected by then taken (as run takes
//                   them), then effMainsChanged 1 (resume); deactivate: 0
//                   (suspend)
//   run             control ports that changed become setParameter (the
//                   port's plain value mapped onto 0..1); the event port's
//                   MIDI becomes a VstEvents list at the events' frames, its
//                   song position the time the effect asks for; then
//                   processReplacing, in pieces no longer than the block
//                   size the effect was given; the latency port gets
//                   initialDelay; MIDI the effect sends goes to the MIDI
//                   output port
//   state           the effect's bank chunk, as VST 2 hosts save it, as one
//                   property; a chunk the effect refuses changes nothing
//   cleanup         effClose
//
// Threads, as LV2 gives them: instantiate, activate, deactivate, cleanup
// and the state calls on the host's main thread, never during run; run and
// connect_port on the audio thread. run takes no lock and allocates nothing.
#pragma once

#include <cstdint>
#include <vector>

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include "host/abi/events.h"
#include "host/abi/time_info.h"
#include "host/lv2/entry.h"
#include "host/lv2/ports.h"

namespace kstv::lv2 {

// The block size the effect is given when the host does not say its own.
inline constexpr std::int32_t kDefaultBlock = 4096;
// The most MIDI events one run takes in; more are dropped.
inline constexpr std::int32_t kEventCapacity = 512;
// The state property's key; its value is an atom:Chunk holding the effect's
// bank chunk (what effGetChunk answers for a bank).
inline constexpr const char* kChunkKey = "urn:kestravian:lv2:state#chunk";

class Instance {
public:
    // Null when the effect cannot be made, or an instrument's host offers
    // no urid:map. [main thread]
    static Instance* create(const ModuleEntry& entry, double rate, const LV2_Feature* const* features) noexcept;
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    void connect(std::uint32_t port, void* data) noexcept;
    void activate() noexcept;
    void deactivate() noexcept;
    void run(std::uint32_t frames) noexcept;

    LV2_State_Status save(LV2_State_Store_Function store, LV2_State_Handle handle) noexcept;
    LV2_State_Status restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle) noexcept;

    const Layout& layout() const noexcept { return layout_; }
    AEffect* effect() const noexcept { return effect_; }

private:
    struct Urids {
        LV2_URID sequence = 0, chunk = 0, object = 0, blank = 0, frameTime = 0;
        LV2_URID atomInt = 0, atomLong = 0, atomFloat = 0, atomDouble = 0;
        LV2_URID midiEvent = 0, position = 0;
        LV2_URID bar = 0, barBeat = 0, beatsPerBar = 0, beatUnit = 0, bpm = 0, speed = 0, frame = 0;
        LV2_URID maxBlock = 0, nominalBlock = 0, chunkKey = 0;
    };
    struct Pending {
        std::int32_t frame;
        std::uint8_t bytes[3];
        std::uint8_t size;
    };

    Instance(const ModuleEntry& entry, double rate);
    bool open(const LV2_Feature* const* features);
    void takeOptions(const LV2_Feature* const* features) noexcept;
    // The per-run path is kept short (inlined into the descriptor's run);
    // what most runs skip stays out of it.
    [[gnu::always_inline]] inline void readControls() noexcept;
    [[gnu::noinline]] void acknowledgePorts() noexcept;
    [[gnu::noinline]] void changed(std::size_t control) noexcept;
    [[gnu::noinline]] void startMidiOut() noexcept;
    [[gnu::noinline]] void runInPieces(std::uint32_t frames) noexcept;
    void readEvents(std::uint32_t frames) noexcept;
    void readPosition(const LV2_Atom_Object_Body* body, std::uint32_t size) noexcept;
    void fillTime() noexcept;
    double currentSample() const noexcept;
    double currentBeats() const noexcept;
    void renderPiece(std::int32_t start, std::int32_t frames, std::int32_t& nextEvent) noexcept;
    void sendMidi(const VstEvents* events) noexcept;
    static VstIntPtr VST_CALL hostCallback(AEffect* effect, std::int32_t opcode, std::int32_t index, VstIntPtr value,
                                          void* ptr, float opt);

    const ModuleEntry& entry_;
    AEffect* effect_ = nullptr;
    Layout layout_;
    double rate_;
    std::int32_t maxBlock_ = kDefaultBlock;
    LV2_URID_Map* map_ = nullptr;
    Urids urid_;
    bool active_ = false;

    // Ports.
    std::vector<const float*> inPorts_;
    std::vector<float*> outPorts_;
    std::vector<const float*> controlPorts_;
    float* latencyPort_ = nullptr;
    const LV2_Atom_Sequence* eventPort_ = nullptr;
    LV2_Atom_Sequence* midiOutPort_ = nullptr;

    // What processReplacing is handed: each port, or silence (an input) or
    // scratch memory (an output) where none is connected; and the same
    // advanced to a piece of a long run.
    std::vector<float*> in_, out_, pieceIn_, pieceOut_;
    std::vector<float> silence_, scratch_;
    float* scratchFor(std::uint32_t output) noexcept {
        return scratch_.data() + output * static_cast<std::size_t>(maxBlock_);
    }

    // Control ports: the value each held when last looked at.
    std::vector<float> seen_;
    bool acknowledge_ = false;  // after a restore: take the ports' values as they are

    // Events of the current run, in frame order.
    Pending pending_[kEventCapacity];
    std::int32_t pendingCount_ = 0;
    VstMidiEvent midi_[kEventCapacity];
    std::vector<unsigned char> list_;  // a VstEvents with room for kEventCapacity pointers

    // MIDI out, during a run.
    std::uint32_t outCapacity_ = 0;
    std::int32_t pieceStart_ = 0, pieceFrames_ = 0, lastOutFrame_ = 0;

    VstTimeInfo time_{};  // what audioMasterGetTime answers
    // The song position, as the host's last time:Position said it, and the
    // frames rendered since (a run only counts them; the time is worked out
    // when the effect asks).
    std::int64_t framesRun_ = 0, baseFrames_ = 0;
    double baseSample_ = 0.0, baseBeats_ = 0.0;
    double bpm_ = 0.0, beatsPerBar_ = 4.0, beatUnit_ = 4.0, speed_ = 0.0;
    bool hasTempo_ = false, hasBar_ = false, hasSignature_ = false, hasPosition_ = false;
};

}  // namespace kstv::lv2
