// The LV2 side's readers, on what a host may hand over: a state to restore
// (any bytes, as a damaged session file may hold) and an event sequence
// (any contents within the size the host declares), through the example
// instrument's LV2 binary built in. The first byte picks which:
//   even  the rest is a state: refused, and then the plug-in is as it was
//         (its state saved before and after is the same, byte for byte), or
//         taken, and then it saves a state that it takes back
//   odd   the rest is the body of one run's event sequence (unit, then
//         events), then a block is rendered: nothing is read past the body,
//         and every sample is finite
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include "fuzz/check.h"
#include "tests/lv2/urid_table.h"

namespace {

constexpr std::uint32_t kFrames = 256;
// The polysynth's ports: two outputs, seven parameters, the latency, then events.
constexpr std::uint32_t kEventPortIndex = 10;

using kstv_test::mapUri;

struct Value {
    const unsigned char* data;
    std::size_t size;
    LV2_URID type;
};
std::vector<unsigned char> gSaved;

LV2_State_Status store(LV2_State_Handle, uint32_t, const void* value, size_t size, uint32_t, uint32_t) {
    gSaved.assign(static_cast<const unsigned char*>(value), static_cast<const unsigned char*>(value) + size);
    return LV2_STATE_SUCCESS;
}
const void* retrieve(LV2_State_Handle handle, uint32_t, size_t* size, uint32_t* type, uint32_t* flags) {
    const auto* v = static_cast<const Value*>(handle);
    *size = v->size;
    *type = v->type;
    *flags = LV2_STATE_IS_POD;
    return v->data;
}

struct Host {
    LV2_URID_Map urid{nullptr, mapUri};
    LV2_Feature mapFeature{LV2_URID__map, &urid};
    const LV2_Feature* features[2] = {&mapFeature, nullptr};
    const LV2_Descriptor* d = lv2_descriptor(0);
    LV2_Handle h = d->instantiate(d, 44100.0, "", features);
    const LV2_State_Interface* state = static_cast<const LV2_State_Interface*>(d->extension_data(LV2_STATE__interface));
    std::vector<float> out = std::vector<float>(2 * kFrames);
    std::vector<std::uint64_t> events = std::vector<std::uint64_t>(8192);

    Host() {
        if (h == nullptr || state == nullptr) fuzz::fail("no instance");
        d->connect_port(h, 0, out.data());
        d->connect_port(h, 1, out.data() + kFrames);
        d->activate(h);
    }
    std::vector<unsigned char> saved() {
        gSaved.clear();
        state->save(h, store, nullptr, 0, nullptr);
        return gSaved;
    }
};

Host& host() {
    static Host instance;
    return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    Host& h = host();
    const bool sequence = (data[0] & 1) != 0;
    ++data;
    --size;
    if (!sequence) {
        const std::vector<unsigned char> before = h.saved();
        const std::vector<unsigned char> bytes(data, data + size);  // exactly as long as given
        Value v{bytes.data(), bytes.size(), mapUri(nullptr, LV2_ATOM__Chunk)};
        if (h.state->restore(h.h, retrieve, &v, 0, nullptr) != LV2_STATE_SUCCESS) {
            if (h.saved() != before) fuzz::fail("a refused state changed the plug-in");
            return 0;
        }
        const std::vector<unsigned char> after = h.saved();
        Value back{after.data(), after.size(), mapUri(nullptr, LV2_ATOM__Chunk)};
        if (h.state->restore(h.h, retrieve, &back, 0, nullptr) != LV2_STATE_SUCCESS) {
            fuzz::fail("the plug-in refused its own state");
        }
        return 0;
    }
    // The sequence: a header the host fills in, the body the fuzzer's bytes,
    // in a buffer of exactly the declared size (so a read past it is caught).
    const std::size_t body = size < 65536 ? size : 65536;
    std::vector<unsigned char> buffer(sizeof(LV2_Atom) + body);
    LV2_Atom header{static_cast<uint32_t>(body), mapUri(nullptr, LV2_ATOM__Sequence)};
    std::memcpy(buffer.data(), &header, sizeof header);
    if (body > 0) std::memcpy(buffer.data() + sizeof header, data, body);
    h.d->connect_port(h.h, kEventPortIndex, buffer.data());
    h.d->run(h.h, kFrames);
    h.d->connect_port(h.h, kEventPortIndex, nullptr);
    for (float s : h.out) {
        if (!std::isfinite(s)) fuzz::fail("a sample is not finite");
    }
    return 0;
}
