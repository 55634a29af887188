// Counts the heap allocations made by the code of this program, which has
// the plug-in's core linked in. Allocations made inside shared libraries are
// left out: the simulated MIDI system stands where Windows stands, and what
// it allocates to record traffic is no cost of the plug-in.
//
// Linking alloc_counter.cpp into a program replaces its global operator new
// and delete.
#ifndef QUILLMOTE_TESTS_ALLOC_COUNTER_H
#define QUILLMOTE_TESTS_ALLOC_COUNTER_H

#include <cstdint>

namespace alloc {

// Allocations by this program's code, on any thread, since it started.
uint64_t Count();

// Allocations made while it lives.
class Scope {
 public:
  Scope() : m_start(Count()) {}
  uint64_t Made() const { return Count() - m_start; }

 private:
  uint64_t m_start;
};

}  // namespace alloc

#endif
