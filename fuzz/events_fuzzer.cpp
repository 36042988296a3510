// Event lists and render calls against one instance: the bytes are a little
// program of note-ons and other events, deliveries with true or bogus
// counts, renders of any frame count through every output arrangement, and
// rate, block size and suspend/resume changes in between. Every render must
// match the reference synthesizer bit for bit.
#include "fuzz/harness.h"

namespace {

constexpr float kBases[] = {0.0f, -0.0f, 0.5f, -1.0f};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    fuzz::Session session;
    fuzz::EventBuilder events;
    int renders = 0;
    while (!in.empty() && renders < 64) {
        switch (in.u8() % 12) {
        case 0:
        case 1:
        case 2: {  // a note-on, mostly
            const std::int32_t frame = in.frame();
            const std::uint8_t status = in.u8() < 200 ? static_cast<std::uint8_t>(0x90 | (in.u8() & 0x0F)) : in.u8();
            events.addMidi(frame, status, in.u8(), in.u8());
            break;
        }
        case 3: {  // any other event type, with bytes that may look like a note-on
            const std::int32_t type = in.i32();
            const std::int32_t frame = in.frame();
            std::uint8_t bytes[16];
            for (auto& b : bytes) b = in.u8();
            events.addOther(type, frame, bytes);
            break;
        }
        case 4: events.addNull(); break;
        case 5: {  // deliver the list, mostly with its true count
            const std::uint8_t how = in.u8();
            std::int32_t count = static_cast<std::int32_t>(events.size());
            if (how >= 240) count = static_cast<std::int32_t>(in.u32() | 0x80000000u);  // below zero
            else if (how >= 224) count = 0;
            session.deliver(events, count);
            break;
        }
        case 6:
        case 7: {  // a render through one of the entries
            std::int32_t frames = in.frame();
            if (frames > 8192) frames %= 8193;  // any count of zero or below, but no gigabyte buffers
            const auto how = static_cast<fuzz::Session::Output>(in.u8() % 4);
            session.render(frames, how, kBases[in.u8() % 4]);
            ++renders;
            break;
        }
        case 8: session.dispatch(effSetSampleRate, 0, 0, nullptr, in.rate()); break;
        case 9: session.dispatch(effSetBlockSize, 0, in.frame(), nullptr, 0.0f); break;
        case 10: session.dispatch(effMainsChanged, 0, in.u8() % 3, nullptr, 0.0f); break;
        case 11: session.dispatch(effSetBlockSizeAndSampleRate, 0, in.frame(), nullptr, in.rate()); break;
        }
    }
    events.clear();
    return 0;
}
