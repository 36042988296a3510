// What the plug-in fuzz targets share: a reader that turns the fuzzer's
// bytes into values front to back (so a seed can be written by hand), one
// instance driven through its record as a host drives it, and the checks
// every render call must pass, against the reference synthesizer.
#pragma once

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/check.h"
#include "host/abi/aeffect.h"
#include "host/abi/events.h"
#include "host/abi/opcodes.h"
#include "synth/kestravian.h"
#include <aerie/event_list.h>
#include "tests/kit/samples.h"
#include "tools/vst2host/validate/traps.h"
#include "tests/reference/reference.h"

namespace fuzz {

// The input, consumed from the front; zeros once it runs out.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const noexcept { return pos_ >= size_; }
    std::uint8_t u8() noexcept { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t u32() noexcept {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(u8()) << (8 * i);
        return v;
    }
    std::int32_t i32() noexcept { return static_cast<std::int32_t>(u32()); }
    float f32() noexcept {
        const std::uint32_t bits = u32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }

    // Frame offsets and counts: mostly around one block, sometimes anything.
    std::int32_t frame() noexcept {
        const std::uint8_t how = u8();
        if (how < 200) return static_cast<std::int32_t>(u8() | (u8() & 0x0F) << 8) - 16;  // -16..4079
        if (how < 240) return i32();
        static constexpr std::int32_t edges[] = {INT32_MIN, INT32_MIN + 1, -1, 0, 1, INT32_MAX - 1, INT32_MAX};
        return edges[how % 7];
    }
    // Sample rates: the usual ones, the absurd ones, or any float.
    float rate() noexcept {
        static constexpr float table[] = {44100.0f, 48000.0f, 22050.0f, 96000.0f, 8000.0f, 1.0f, 384000.0f,
                                          44123.45f, 0.0f, -44100.0f, 1e30f, 1e35f, 3.4028235e38f, 1.4e-45f,
                                          1e-20f, 1e-30f};
        const std::uint8_t how = u8();
        return how < 192 ? table[how % 16] : f32();
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A host's event list under construction (the test kit's): MIDI and other
// events, null entries, delivered with the true count or a count of zero or
// below.
class EventBuilder {
public:
    void addMidi(std::int32_t frame, std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
        list_.addMidi(frame, status, data1, data2);
    }
    void addOther(std::int32_t type, std::int32_t frame, const std::uint8_t (&bytes)[16]) {
        VstEvent e{};
        e.type = type == kVstMidiType ? 6 : type;
        e.byteSize = 24;
        e.deltaFrames = frame;
        std::memcpy(e.data, bytes, sizeof e.data);
        list_.addRaw(e);
    }
    void addNull() { list_.addNull(); }
    std::size_t size() const noexcept { return list_.size(); }

    // The list as the plug-in sees it, valid until the builder changes.
    VstEvents* list(std::int32_t count) { return list_.get(count); }
    // What the instance should make of the list: its note-ons, in order.
    void feed(reference::Synth& model) {
        for (const VstEvent* e : list_.entries()) {
            if (e->type != kVstMidiType) continue;
            const auto* midi = reinterpret_cast<const std::uint8_t*>(e) + offsetof(VstMidiEvent, midiData);
            if ((midi[0] & 0xF0) == 0x90) model.noteOn(e->deltaFrames, midi[1] & 0x7F, midi[2] & 0x7F);
        }
    }
    void clear() { list_.clear(); }

private:
    aerie::EventList list_;
};

// While it lives, the floating-point exceptions many hosts unmask (invalid
// operation, division by zero, overflow) trap: the plug-in must raise none.
using Traps = validate::UnmaskedFloatingPointExceptions;

// One instance, created and closed the way the module's entry and a host do,
// with the reference synthesizer beside it.
class Session {
public:
    Session() : effect_((new Kestravian(&callback))->getAeffect()) {}
    ~Session() {
        if (effect_ != nullptr && effect_->dispatcher(effect_, effClose, 0, 0, nullptr, 0.0f) != 1) {
            fail("effClose did not answer 1");
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    AEffect* effect() noexcept { return effect_; }
    const Kestravian& synth() const noexcept { return *static_cast<const Kestravian*>(effect_->object); }
    reference::Synth& model() noexcept { return model_; }

    VstIntPtr dispatch(std::int32_t opcode, std::int32_t index, VstIntPtr value, void* ptr, float opt) {
        const float before = synth().getRateFactor();
        VstIntPtr answer = 0;
        {
            const Traps traps;
            answer = effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
        }
        const float after = synth().getRateFactor();
        if (opcode == effSetSampleRate) {
            if (!std::isfinite(after) || !(after > 0.0f)) fail("rate factor not finite and positive");
            model_.setRateFactor(after);
        } else if (std::memcmp(&before, &after, sizeof after) != 0) {
            fail("rate factor changed by opcode", opcode);
        }
        return answer;
    }

    void deliver(EventBuilder& events, std::int32_t count) {
        if (dispatch(effProcessEvents, 0, 0, events.list(count), 0.0f) != 1) fail("effProcessEvents did not answer 1");
        if (count > 0 && static_cast<std::size_t>(count) == events.size()) events.feed(model_);
        events.clear();
    }

    enum class Output { Replace, Accumulate, None, NullFirst };

    // One render call with an exactly sized first output (AddressSanitizer
    // sees any write past it), a second output and an input that must stay
    // as they were, and the reference's samples to match bit for bit.
    void render(std::int32_t frames, Output how, float base) {
        const std::size_t n = frames > 0 ? static_cast<std::size_t>(frames) : 0;
        const std::size_t allocated = n > 0 ? n : 1;
        std::unique_ptr<float[]> first(new float[allocated]), second(new float[allocated]), input(new float[allocated]);
        for (std::size_t i = 0; i < allocated; ++i) first[i] = second[i] = input[i] = base;
        float* outputs[2] = {first.get(), second.get()};
        float* inputs[1] = {input.get()};
        call(how, inputs, outputs, frames);
        const std::vector<float> want = model_.render(frames);
        for (std::size_t i = 0; i < allocated; ++i) {
            if (std::memcmp(&second[i], &base, 4) != 0 || std::memcmp(&input[i], &base, 4) != 0) {
                fail("a buffer other than the first output was written", static_cast<long long>(i));
            }
        }
        if (how == Output::None || how == Output::NullFirst || n == 0) {
            if (std::memcmp(&first[0], &base, 4) != 0) fail("an output was written without frames to render");
            return;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const float got = first[i];
            const int kind = std::fpclassify(got);
            if (kind != FP_NORMAL && kind != FP_ZERO) fail("NaN, infinite or subnormal sample", static_cast<long long>(i));
            const float expected = how == Output::Replace ? want[i] : static_cast<float>(static_cast<double>(base) + want[i]);
            if (kit::firstDifference(&got, 1, &expected, 1) >= 0) fail("sample differs from the reference", static_cast<long long>(i));
        }
    }

private:
    void call(Output how, float** inputs, float** outputs, std::int32_t frames) {
        const Traps traps;
        float* none[1] = {nullptr};
        switch (how) {
        case Output::Replace: effect_->processReplacing(effect_, inputs, outputs, frames); break;
        case Output::Accumulate: effect_->process(effect_, inputs, outputs, frames); break;
        case Output::None: effect_->processReplacing(effect_, inputs, nullptr, frames); break;
        case Output::NullFirst: effect_->process(effect_, inputs, none, frames); break;
        }
    }

    static VstIntPtr VST_CALL callback(AEffect*, std::int32_t opcode, std::int32_t, VstIntPtr, void*, float) {
        return opcode == audioMasterVersion ? 2400 : 0;
    }

    AEffect* effect_;
    reference::Synth model_;
};

}  // namespace fuzz
