// Dispatcher requests of every kind interleaved with renders: the bytes pick
// opcode, index, value and opt, and a valid buffer for the pointer (a text,
// zeros, or an event list where the request takes one). No request may
// write more than a pin record's label and flags into the buffer, none but
// effSetSampleRate may change how clicks sound, and every render must still
// match the reference synthesizer bit for bit.
#include "fuzz/harness.h"

namespace {

constexpr std::size_t kBufferSize = 1024;
// The most any request may write: a pin record's 64-byte label and its flags.
constexpr std::size_t kMostWritten = 68;

std::int32_t opcode(fuzz::Bytes& in) {
    const std::uint8_t how = in.u8();
    if (how < 224) return static_cast<std::int32_t>(how % 64) - 2;  // -2..61: every request there is, and beyond
    return in.i32();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    fuzz::Session session;
    int steps = 0;
    while (!in.empty() && steps++ < 256) {
        const std::uint8_t what = in.u8() % 8;
        if (what == 6) {
            std::int32_t frames = in.frame();
            if (frames > 4096) frames %= 4097;
            session.render(frames, static_cast<fuzz::Session::Output>(in.u8() % 4), 0.0f);
            continue;
        }
        if (what == 7) {
            const std::int32_t index = in.i32();
            session.effect()->setParameter(session.effect(), index, in.f32());
            if (session.effect()->getParameter(session.effect(), in.i32()) != 0.0f) fuzz::fail("a parameter is not 0");
            continue;
        }
        const std::int32_t op = opcode(in);
        if (op == effClose) break;  // the session closes at the end
        const std::int32_t index = in.i32();
        VstIntPtr value = in.i32();
        const float opt = in.f32();

        // The buffer: a NUL-terminated text from the input, or zeros.
        std::vector<std::uint8_t> buffer(kBufferSize, 0);
        if (in.u8() % 2 == 0) {
            const std::size_t length = in.u8();
            for (std::size_t i = 0; i < length; ++i) buffer[i] = in.u8();
        }
        void* ptr = buffer.data();
        fuzz::EventBuilder events;
        if (op == effProcessEvents) {
            const int count = in.u8() % 8;
            for (int i = 0; i < count; ++i) {
                const std::int32_t frame = in.frame();
                events.addMidi(frame, in.u8(), in.u8(), in.u8());
            }
            session.deliver(events, static_cast<std::int32_t>(events.size()));
            continue;
        }
        if (op == effSetSpeakerArrangement) value = reinterpret_cast<VstIntPtr>(buffer.data() + 512);
        const std::vector<std::uint8_t> before = buffer;
        session.dispatch(op, index, value, ptr, opt);
        for (std::size_t i = kMostWritten; i < kBufferSize; ++i) {
            if (buffer[i] != before[i]) fuzz::fail("a request wrote past a pin record", op);
        }
    }
    // However the requests left it, an ordinary click sounds as it should.
    session.render(0, fuzz::Session::Output::Replace, 0.0f);
    fuzz::EventBuilder click;
    click.addMidi(0, 0x90, 60, 100);
    session.deliver(click, 1);
    session.render(512, fuzz::Session::Output::Replace, 0.0f);
    return 0;
}
