// The surface as seen through the simulated MIDI system, the same for the
// native tests and for the Windows tests (through the replacement
// winmm.dll), and the messages the plug-in sends it.
#ifndef QUILLMOTE_TESTS_COMMON_SIM_SURFACE_H
#define QUILLMOTE_TESTS_COMMON_SIM_SURFACE_H

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "simctl.h"

namespace test {

using Bytes = std::vector<uint8_t>;

// What the surface sends, written from the surface's side rather than taken
// from the plug-in's names for it: a button is a note-on (velocity 0 when
// released) and the jog wheel a controller change.
constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kControlChange = 0xB0;
constexpr uint8_t kWheel = 60;  // the jog wheel's controller number

// The buttons the tests of more than one program press.
namespace notes {
constexpr uint8_t kUndo = 76;
constexpr uint8_t kLoop = 86;
constexpr uint8_t kIn = 87;
constexpr uint8_t kPlay = 94;
constexpr uint8_t kShift = 121;
}  // namespace notes

// A fresh simulated machine, with the surface's two ports, "Quillmote Port",
// unless told not to. The machine is reset again when it goes.
class SimSurface {
 public:
  explicit SimSurface(bool withSurface = true);
  ~SimSurface();
  SimSurface(const SimSurface&) = delete;
  SimSurface& operator=(const SimSurface&) = delete;

  unsigned output() const { return m_output; }
  unsigned input() const { return m_input; }

  // Everything the surface received so far (waits for messages in flight).
  std::vector<Bytes> Received() const;
  void ClearReceived() const;
  // Received(), then forgotten.
  std::vector<Bytes> Take() const;

  // One short message from the surface; returns once the plug-in handled it.
  bool Send(uint8_t status, uint8_t data1, uint8_t data2) const;
  void Press(uint8_t note) const { Send(kNoteOn, note, 0x7F); }
  void Release(uint8_t note) const { Send(kNoteOn, note, 0); }
  void Wheel(uint8_t value) const { Send(kControlChange, kWheel, value); }

  std::vector<std::string> DebugLines() const;

 private:
  unsigned m_output = 0;
  unsigned m_input = 0;
};

// Waits until `condition` holds, looking again every millisecond, for what a
// thread does in its own time. False when `limit` passed first: the caller
// fails the test then, so that the limit only keeps a broken run from
// hanging and never makes a slow one pass or fail.
template <class F>
bool WaitUntil(F&& condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// sim_wait_idle with its result checked: a system that never went idle fails
// the current test.
bool WaitIdle(unsigned milliseconds = 10000);

// The display write of `cells` from `firstCell` on, a lamp, and the blank
// display the plug-in leaves behind.
Bytes Lcd(uint8_t firstCell, const std::string& cells);
Bytes Lamp(uint8_t note, bool on);
Bytes Clear();
std::string Hex(const Bytes& bytes);

}  // namespace test

#endif
