// The event list: MIDI, system-exclusive and raw records in the order
// added, null entries and any count for careless-host tests, and refills
// that reuse the list's room.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include <aerie/event_list.h>

namespace {

TEST(EventList, MixedRecordsInOrderWithTheirOwnCopiesOfTheMessages) {
    aerie::EventList list;
    std::vector<unsigned char> message = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    list.addNoteOn(3, 60, 100, 2);
    list.addSysEx(7, message.data(), message.size());
    list.addNull();
    VstEvent raw{};
    raw.type = 99;
    raw.deltaFrames = 9;
    list.addRaw(raw);
    // Enough events after the message that the list's storage moves.
    for (int i = 0; i < 100; ++i) list.addMidi(10 + i, 0xB0, 7, static_cast<unsigned char>(i));
    message.assign(message.size(), 0);  // the sender's bytes are the sender's

    const VstEvents* events = list.get();
    ASSERT_EQ(events->numEvents, 104);
    VstEvent* const* slot = eventSlots(events);
    const auto* note = reinterpret_cast<const VstMidiEvent*>(slot[0]);
    EXPECT_EQ(note->type, kVstMidiType);
    EXPECT_EQ(note->deltaFrames, 3);
    EXPECT_EQ(static_cast<unsigned char>(note->midiData[0]), 0x92);
    const auto* sysex = reinterpret_cast<const VstMidiSysexEvent*>(slot[1]);
    EXPECT_EQ(sysex->type, kVstSysExType);
    EXPECT_EQ(sysex->deltaFrames, 7);
    EXPECT_EQ(sysex->byteSize, static_cast<std::int32_t>(sizeof(VstMidiSysexEvent) - 8));
    ASSERT_EQ(sysex->dumpBytes, 6);
    const unsigned char want[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    EXPECT_EQ(std::memcmp(sysex->sysexDump, want, sizeof want), 0);
    EXPECT_EQ(slot[2], nullptr);
    EXPECT_EQ(slot[3]->type, 99);
    EXPECT_EQ(slot[103]->deltaFrames, 109);
    EXPECT_EQ(list.entries().size(), 103u);
    EXPECT_EQ(list.get(-5)->numEvents, -5);
    EXPECT_EQ(list.get(1000)->numEvents, 1000);
}

TEST(EventList, EmptyListsAndRefillsReuseTheirRoom) {
    aerie::EventList list;
    const VstEvents* empty = list.get();
    EXPECT_EQ(empty->numEvents, 0);
    EXPECT_EQ(eventSlots(empty)[0], nullptr);
    EXPECT_EQ(eventSlots(empty)[1], nullptr);
    const unsigned char message[] = {0xF0, 0x01, 0xF7};
    auto fill = [&] {
        list.clear();
        for (int i = 0; i < 64; ++i) {
            if (i % 8 == 0) {
                list.addSysEx(i, message, sizeof message);
            } else {
                list.addMidi(i, 0x90, 60, 1);
            }
        }
        return list.get();
    };
    VstEvents* first = fill();
    const VstEvent* firstRecord = eventSlots(first)[0];
    const char* firstDump = reinterpret_cast<const VstMidiSysexEvent*>(firstRecord)->sysexDump;
    VstEvents* second = fill();
    EXPECT_EQ(second, first);
    EXPECT_EQ(eventSlots(second)[0], firstRecord);
    EXPECT_EQ(reinterpret_cast<const VstMidiSysexEvent*>(eventSlots(second)[0])->sysexDump, firstDump);
    list.addSysEx(0, nullptr, 0);  // an empty message is carried as it is
    EXPECT_EQ(reinterpret_cast<const VstMidiSysexEvent*>(eventSlots(list.get())[64])->dumpBytes, 0);
}

}  // namespace
