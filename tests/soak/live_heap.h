// Counts the blocks the process has on the heap through operator new: every
// allocation of the plug-in, the simulated system and the test alike.
// Linking live_heap.cpp into a program replaces its global operator new and
// delete, and the shared libraries it loads use them too.
#ifndef QUILLMOTE_TESTS_SOAK_LIVE_HEAP_H
#define QUILLMOTE_TESTS_SOAK_LIVE_HEAP_H

#include <cstdint>

namespace soak {

// Blocks allocated and not yet freed.
int64_t LiveBlocks();
// The most blocks that were live at once since the program started.
int64_t PeakBlocks();

}  // namespace soak

#endif
