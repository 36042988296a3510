// A small LV2 host for the tests, on lilv: the bundles built here, an
// instance of one plug-in with the features a host offers (or none), its
// ports by symbol, MIDI and a song position on its event port, its state
// through its own interface. One block per run().
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <lilv/lilv.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

namespace lv2test {

// URIs to numbers, as a host keeps them (one table for the whole program).
LV2_URID_Map* uridMap();
LV2_URID urid(const char* uri);

// The world: the bundles in LV2_DIR, and LV2's own specifications.
LilvWorld* world();

struct Features {
    bool map = true;
    std::int32_t maxBlock = 512;  // 0: no options
};

struct Position {
    double bpm = 120.0;
    double bar = 0.0, barBeat = 0.0;
    int beatsPerBar = 4, beatUnit = 4;
    double speed = 1.0;
};

struct Event {
    std::uint32_t frame;
    std::vector<unsigned char> bytes;
    LV2_URID type = 0;  // 0: a MIDI event
};

class Plugin {
public:
    Plugin(const std::string& uri, double rate, Features features = {});
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    bool ok() const { return instance_ != nullptr; }
    std::uint32_t index(const char* symbol) const;
    void set(const char* symbol, float value) { controls_[index(symbol)] = value; }
    float get(const char* symbol) const { return controls_[index(symbol)]; }
    float* control(const char* symbol) { return &controls_[index(symbol)]; }
    // Leaves a port unconnected (before activate), or connects it to memory of the caller's.
    void disconnect(std::uint32_t port);
    void connect(std::uint32_t port, void* data);
    std::uint32_t audioInput(std::uint32_t c) const { return audioIn_[c]; }
    std::uint32_t audioOutput(std::uint32_t c) const { return audioOut_[c]; }

    void activate();
    // One run of `frames` with these events (in the order given) and, when
    // given, a song position at frame 0; inputs and outputs one per audio port.
    void run(const std::vector<const float*>& in, const std::vector<float*>& out, std::uint32_t frames,
             const std::vector<Event>& events = {}, const std::optional<Position>& position = std::nullopt);

    std::vector<unsigned char> saveChunk();
    LV2_State_Status restoreChunk(const std::vector<unsigned char>& chunk, LV2_URID type = 0);

    std::uint32_t audioInputs() const { return static_cast<std::uint32_t>(audioIn_.size()); }
    std::uint32_t audioOutputs() const { return static_cast<std::uint32_t>(audioOut_.size()); }
    LilvInstance* instance() const { return instance_; }

private:
    const LilvPlugin* plugin_ = nullptr;
    LilvInstance* instance_ = nullptr;
    std::vector<float> controls_;
    std::vector<std::uint32_t> audioIn_, audioOut_;
    std::vector<std::uint64_t> events_;  // the event port's sequence, 8-byte aligned
    std::int32_t eventPort_ = -1;
    std::vector<LV2_Feature> featureStore_;
    std::vector<const LV2_Feature*> features_;
    std::vector<std::uint8_t> optionStore_;
};

}  // namespace lv2test
