#include "tests/lv2/lv2_host.h"

#include <cstring>
#include <stdexcept>

#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/time/time.h>

#include "tests/lv2/urid_table.h"

namespace lv2test {

namespace {

constexpr const char* kChunkKey = "urn:kestravian:lv2:state#chunk";
constexpr std::size_t kSequenceBytes = 64 * 1024;

struct Saved {
    std::vector<unsigned char> bytes;
    LV2_URID type = 0;
};

LV2_State_Status store(LV2_State_Handle handle, uint32_t key, const void* value, size_t size, uint32_t type, uint32_t) {
    if (key != urid(kChunkKey)) return LV2_STATE_ERR_UNKNOWN;
    auto* saved = static_cast<Saved*>(handle);
    saved->bytes.assign(static_cast<const unsigned char*>(value), static_cast<const unsigned char*>(value) + size);
    saved->type = type;
    return LV2_STATE_SUCCESS;
}

const void* retrieve(LV2_State_Handle handle, uint32_t key, size_t* size, uint32_t* type, uint32_t* flags) {
    auto* saved = static_cast<Saved*>(handle);
    if (key != urid(kChunkKey)) return nullptr;
    *size = saved->bytes.size();
    *type = saved->type;
    *flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
    static const unsigned char kNothing = 0;  // an empty value is still a value
    return saved->bytes.empty() ? &kNothing : saved->bytes.data();
}

}  // namespace

LV2_URID_Map* uridMap() {
    static LV2_URID_Map map{nullptr, kstv_test::mapUri};
    return &map;
}

LV2_URID urid(const char* uri) { return kstv_test::mapUri(nullptr, uri); }

LilvWorld* world() {
    static LilvWorld* w = [] {
        LilvWorld* created = lilv_world_new();
        LilvNode* path = lilv_new_string(created, LV2_DIR ":/usr/lib/lv2");
        lilv_world_set_option(created, LILV_OPTION_LV2_PATH, path);
        lilv_node_free(path);
        lilv_world_load_all(created);
        return created;
    }();
    return w;
}

Plugin::Plugin(const std::string& uri, double rate, Features features) {
    LilvNode* node = lilv_new_uri(world(), uri.c_str());
    plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world()), node);
    lilv_node_free(node);
    if (plugin_ == nullptr) throw std::runtime_error("no LV2 plug-in " + uri + " in " LV2_DIR);

    featureStore_.reserve(2);
    if (features.map) featureStore_.push_back({LV2_URID__map, uridMap()});
    if (features.maxBlock > 0) {
        const std::int32_t block = features.maxBlock;
        LV2_Options_Option options[3] = {
            {LV2_OPTIONS_INSTANCE, 0, urid(LV2_BUF_SIZE__maxBlockLength), sizeof block, urid(LV2_ATOM__Int), nullptr},
            {LV2_OPTIONS_INSTANCE, 0, urid(LV2_BUF_SIZE__nominalBlockLength), sizeof block, urid(LV2_ATOM__Int), nullptr},
            {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
        optionStore_.resize(sizeof options + 2 * sizeof block);
        auto* copy = reinterpret_cast<LV2_Options_Option*>(optionStore_.data());
        std::memcpy(copy, options, sizeof options);
        auto* values = optionStore_.data() + sizeof options;
        std::memcpy(values, &block, sizeof block);
        std::memcpy(values + sizeof block, &block, sizeof block);
        copy[0].value = values;
        copy[1].value = values + sizeof block;
        featureStore_.push_back({LV2_OPTIONS__options, copy});
    }
    for (auto& f : featureStore_) features_.push_back(&f);
    features_.push_back(nullptr);
    instance_ = lilv_plugin_instantiate(plugin_, rate, features_.data());
    if (instance_ == nullptr) return;

    const std::uint32_t ports = lilv_plugin_get_num_ports(plugin_);
    controls_.assign(ports, 0.0f);
    std::vector<float> defaults(ports);
    lilv_plugin_get_port_ranges_float(plugin_, nullptr, nullptr, defaults.data());
    events_.assign(kSequenceBytes / 8, 0);
    LilvNode* control = lilv_new_uri(world(), LILV_URI_CONTROL_PORT);
    LilvNode* audio = lilv_new_uri(world(), LILV_URI_AUDIO_PORT);
    LilvNode* input = lilv_new_uri(world(), LILV_URI_INPUT_PORT);
    LilvNode* atom = lilv_new_uri(world(), LV2_ATOM__AtomPort);
    for (std::uint32_t i = 0; i < ports; ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin_, i);
        const bool in = lilv_port_is_a(plugin_, port, input);
        if (lilv_port_is_a(plugin_, port, control)) {
            controls_[i] = defaults[i] == defaults[i] ? defaults[i] : 0.0f;
            lilv_instance_connect_port(instance_, i, &controls_[i]);
        } else if (lilv_port_is_a(plugin_, port, audio)) {
            (in ? audioIn_ : audioOut_).push_back(i);
        } else if (lilv_port_is_a(plugin_, port, atom) && in) {
            eventPort_ = static_cast<std::int32_t>(i);
            lilv_instance_connect_port(instance_, i, events_.data());
        }
    }
    for (LilvNode* n : {control, audio, input, atom}) lilv_node_free(n);
}

Plugin::~Plugin() {
    if (instance_ != nullptr) {
        lilv_instance_deactivate(instance_);
        lilv_instance_free(instance_);
    }
}

std::uint32_t Plugin::index(const char* symbol) const {
    LilvNode* node = lilv_new_string(world(), symbol);
    const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin_, node);
    lilv_node_free(node);
    if (port == nullptr) throw std::runtime_error(std::string("no port ") + symbol);
    return lilv_port_get_index(plugin_, port);
}

void Plugin::disconnect(std::uint32_t port) { lilv_instance_connect_port(instance_, port, nullptr); }
void Plugin::connect(std::uint32_t port, void* data) { lilv_instance_connect_port(instance_, port, data); }

void Plugin::activate() { lilv_instance_activate(instance_); }

void Plugin::run(const std::vector<const float*>& in, const std::vector<float*>& out, std::uint32_t frames,
                 const std::vector<Event>& events, const std::optional<Position>& position) {
    for (std::size_t c = 0; c < audioIn_.size() && c < in.size(); ++c) {
        lilv_instance_connect_port(instance_, audioIn_[c], const_cast<float*>(in[c]));
    }
    for (std::size_t c = 0; c < audioOut_.size() && c < out.size(); ++c) {
        lilv_instance_connect_port(instance_, audioOut_[c], out[c]);
    }
    if (eventPort_ >= 0) {
        LV2_Atom_Forge forge;
        lv2_atom_forge_init(&forge, uridMap());
        lv2_atom_forge_set_buffer(&forge, reinterpret_cast<uint8_t*>(events_.data()), kSequenceBytes);
        LV2_Atom_Forge_Frame sequence;
        lv2_atom_forge_sequence_head(&forge, &sequence, 0);
        if (position) {
            LV2_Atom_Forge_Frame object;
            lv2_atom_forge_frame_time(&forge, 0);
            lv2_atom_forge_object(&forge, &object, 0, urid(LV2_TIME__Position));
            lv2_atom_forge_key(&forge, urid(LV2_TIME__beatsPerMinute));
            lv2_atom_forge_float(&forge, static_cast<float>(position->bpm));
            lv2_atom_forge_key(&forge, urid(LV2_TIME__bar));
            lv2_atom_forge_long(&forge, static_cast<int64_t>(position->bar));
            lv2_atom_forge_key(&forge, urid(LV2_TIME__barBeat));
            lv2_atom_forge_float(&forge, static_cast<float>(position->barBeat));
            lv2_atom_forge_key(&forge, urid(LV2_TIME__beatsPerBar));
            lv2_atom_forge_float(&forge, static_cast<float>(position->beatsPerBar));
            lv2_atom_forge_key(&forge, urid(LV2_TIME__beatUnit));
            lv2_atom_forge_int(&forge, position->beatUnit);
            lv2_atom_forge_key(&forge, urid(LV2_TIME__speed));
            lv2_atom_forge_float(&forge, static_cast<float>(position->speed));
            lv2_atom_forge_pop(&forge, &object);
        }
        for (const Event& e : events) {
            lv2_atom_forge_frame_time(&forge, e.frame);
            lv2_atom_forge_atom(&forge, static_cast<uint32_t>(e.bytes.size()),
                                e.type != 0 ? e.type : urid(LV2_MIDI__MidiEvent));
            if (!e.bytes.empty()) lv2_atom_forge_write(&forge, e.bytes.data(), static_cast<uint32_t>(e.bytes.size()));
        }
        lv2_atom_forge_pop(&forge, &sequence);
    }
    lilv_instance_run(instance_, frames);
}

std::vector<unsigned char> Plugin::saveChunk() {
    const auto* state = static_cast<const LV2_State_Interface*>(
        lilv_instance_get_extension_data(instance_, LV2_STATE__interface));
    Saved saved;
    if (state == nullptr || state->save(lilv_instance_get_handle(instance_), store, &saved, 0, nullptr) != LV2_STATE_SUCCESS) {
        throw std::runtime_error("the state could not be saved");
    }
    return saved.bytes;
}

LV2_State_Status Plugin::restoreChunk(const std::vector<unsigned char>& chunk, LV2_URID type) {
    const auto* state = static_cast<const LV2_State_Interface*>(
        lilv_instance_get_extension_data(instance_, LV2_STATE__interface));
    Saved saved{chunk, type != 0 ? type : urid(LV2_ATOM__Chunk)};
    return state->restore(lilv_instance_get_handle(instance_), retrieve, &saved, 0, nullptr);
}

}  // namespace lv2test
