// Every test of the battery, by group; the catalogue (catalog.cpp) names
// them and says what justifies each.
#pragma once

namespace validate {

class Context;

// loading.cpp
void testModule(Context& ctx);
void testEntry(Context& ctx);
void testRecord(Context& ctx);
void testIdentity(Context& ctx);
void testScanCost(Context& ctx);

// lifecycle.cpp
void testOpenClose(Context& ctx);
void testSuspendResume(Context& ctx);
void testRates(Context& ctx);
void testBlocks(Context& ctx);
void testRateBlockChanges(Context& ctx);
void testZeroFrames(Context& ctx);
void testLatencyTail(Context& ctx);

// processing.cpp
void testFinite(Context& ctx);
void testSubnormals(Context& ctx);
void testGuards(Context& ctx);
void testInputsUntouched(Context& ctx);
void testInPlace(Context& ctx);
void testAccumulate(Context& ctx);
void testNotes(Context& ctx);
void testMidiVariety(Context& ctx);
void testTimeInfo(Context& ctx);
void testDeterministic(Context& ctx);

// parameters.cpp
void testParameterRange(Context& ctx);
void testParameterTexts(Context& ctx);
void testAutomation(Context& ctx);
void testParameterFuzz(Context& ctx);

// state.cpp
void testPrograms(Context& ctx);
void testChunks(Context& ctx);
void testBadChunks(Context& ctx);
void testStateRestore(Context& ctx);

// threads.cpp
void testConcurrentInstances(Context& ctx);
void testParameterThreads(Context& ctx);
void testRestoreWhileProcessing(Context& ctx);

// realtime.cpp
void testRealtimeSafety(Context& ctx);

// editor.cpp
void testEditor(Context& ctx);

// host.cpp
void testHostRequests(Context& ctx);

}  // namespace validate
