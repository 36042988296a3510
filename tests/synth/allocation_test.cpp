// Event intake and rendering run on the host's audio thread, where a call
// into the global allocator can take a lock or fault in a page: an audible
// drop-out. This program replaces the global operator new (and, with the GNU
// C library outside sanitizer builds, malloc as well) and counts the calls
// made while `counting` is set.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "host/abi/opcodes.h"
#include "synth/kestravian.h"
#include "tests/kit/malloc_counter.h"
#include "tests/kit/sanitizers.h"
#include "tests/reference/reference.h"
#include "tests/synth/quiet_host.h"

using kit::counted;

namespace {

void* allocate(std::size_t n) noexcept {
    counted();
    return KSTV_RAW_MALLOC(n == 0 ? 1 : n);
}

// Over-aligned blocks by hand (the platform's aligned allocation is not the
// same on every target): the address malloc gave sits just below the block.
void* allocateAligned(std::size_t n, std::align_val_t alignment) noexcept {
    counted();
    const auto align = static_cast<std::size_t>(alignment);
    void* raw = KSTV_RAW_MALLOC(n + align + sizeof(void*));
    if (raw == nullptr) return nullptr;
    const auto address = (reinterpret_cast<std::uintptr_t>(raw) + sizeof(void*) + align - 1) & ~(align - 1);
    reinterpret_cast<void**>(address)[-1] = raw;
    return reinterpret_cast<void*>(address);
}

void releaseAligned(void* p) noexcept {
    if (p != nullptr) std::free(static_cast<void**>(p)[-1]);
}

void* orThrow(void* p) {
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t n) { return orThrow(allocate(n)); }
void* operator new[](std::size_t n) { return orThrow(allocate(n)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new(std::size_t n, std::align_val_t a) { return orThrow(allocateAligned(n, a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return orThrow(allocateAligned(n, a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return allocateAligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return allocateAligned(n, a); }

// gcc takes these for the library's own operators and warns that memory
// from operator new reaches free(); the operators above allocate it with
// malloc, so it is the matching release.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { releaseAligned(p); }
void operator delete[](void* p, std::align_val_t) noexcept { releaseAligned(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { releaseAligned(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { releaseAligned(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { releaseAligned(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { releaseAligned(p); }

namespace {

template <typename Work>
long callsDuring(Work&& work) {
    return kit::allocationsDuring(work);
}

// A plug-in instance as a host sets one up, driven through its record.
class Instance {
public:
    Instance() : effect_((new Kestravian(quietHost))->getAeffect()) {
        call(effOpen);
        rate(44100.0f);
        call(effSetBlockSize, 1024);
        call(effMainsChanged, 1);
    }
    ~Instance() { call(effClose); }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    void rate(float hz) { call(effSetSampleRate, 0, nullptr, hz); }
    void send(reference::NoteOnList& list) { call(effProcessEvents, 0, list.get()); }
    void render(float* out, std::int32_t frames, bool accumulate) {
        float* outputs[1] = {out};
        if (accumulate) {
            effect_->process(effect_, nullptr, outputs, frames);
        } else {
            effect_->processReplacing(effect_, nullptr, outputs, frames);
        }
    }

private:
    void call(std::int32_t opcode, VstIntPtr value = 0, void* ptr = nullptr, float opt = 0.0f) {
        effect_->dispatcher(effect_, opcode, 0, value, ptr, opt);
    }
    AEffect* effect_;
};

// Event lists for a long session: 0 to 64 note-ons each, on frames in and
// around a block, in time order for most lists and shuffled for the rest,
// with frames that repeat.
std::vector<std::unique_ptr<reference::NoteOnList>> eventLists() {
    std::mt19937 rng(2718);
    std::vector<std::unique_ptr<reference::NoteOnList>> lists;
    for (int j = 0; j < 61; ++j) {
        const int count = (j * 13) % 65;
        std::vector<std::int32_t> frames;
        for (int n = 0; n < count; ++n) frames.push_back(std::uniform_int_distribution<std::int32_t>(-4, 515)(rng));
        if (j % 3 != 0) std::sort(frames.begin(), frames.end());
        auto list = std::make_unique<reference::NoteOnList>(static_cast<std::size_t>(count));
        for (std::int32_t f : frames) {
            list->add(f, std::uniform_int_distribution<int>(0, 127)(rng), std::uniform_int_distribution<int>(0, 127)(rng));
        }
        lists.push_back(std::move(list));
    }
    return lists;
}

TEST(Allocation, TenThousandBlocksOfIntakeAndRenderingCallNoAllocator) {
    auto lists = eventLists();
    Instance p;
    std::vector<float> out(1024, 0.0f);
    const std::int32_t sizes[] = {512, 64, 1024, 1, 333, 512, 0, 256};
    long soundingFrames = 0;
    const auto session = [&](int blocks) {
        for (int b = 0; b < blocks; ++b) {
            if (b % 2500 == 1250) p.rate(b % 5000 < 2500 ? 48000.0f : 44100.0f);
            p.send(*lists[static_cast<std::size_t>(b) % lists.size()]);
            if (b % 7 == 0) p.send(*lists[static_cast<std::size_t>(b / 7) % lists.size()]);  // two lists, one block
            const std::int32_t frames = sizes[b % 8];
            p.render(out.data(), frames, b % 2 == 1);
            for (std::int32_t i = 0; i < frames; ++i) soundingFrames += out[static_cast<std::size_t>(i)] != 0.0f;
        }
    };
    session(300);  // warm-up
    soundingFrames = 0;
    EXPECT_EQ(callsDuring([&] { session(10000); }), 0);
    EXPECT_GT(soundingFrames, 100000) << "the session should have rung most of the time";
}

// The schedule keeps ClickSchedule::kInlineEntries entries in its own
// storage. A block with more takes memory from the allocator (which also
// shows the counting works) and hands it all back at the block's end, so the
// blocks after it call no allocator again.
TEST(Allocation, AnOverfullBlockBorrowsAndTheNextBlocksDoNot) {
    const auto overfull = static_cast<std::int32_t>(ClickSchedule::kInlineEntries) + 100;
    reference::NoteOnList many(static_cast<std::size_t>(overfull));
    for (std::int32_t f = 0; f < overfull; ++f) many.add(f, f % 128, 1 + f % 127);
    reference::NoteOnList ordinary(64);
    for (std::int32_t f = 0; f < 512; f += 8) ordinary.add(f, f % 128, 100);

    Instance p;
    std::vector<float> out(1024);
    for (int round = 0; round < 3; ++round) {
        EXPECT_GT(callsDuring([&] {
                      p.send(many);
                      p.render(out.data(), 1024, false);
                  }),
                  0);
        EXPECT_EQ(callsDuring([&] {
                      for (int b = 0; b < 100; ++b) {
                          p.send(ordinary);
                          p.render(out.data(), 512, b % 2 == 0);
                      }
                  }),
                  0);
    }
}

}  // namespace
