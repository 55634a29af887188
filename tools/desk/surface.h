// The emulated surface: the virtual "Quillmote Port" pair in the simulated
// MIDI system, what the plug-in's messages leave on its display and lamps,
// and its buttons and wheel as MIDI input.
#ifndef QUILLMOTE_TOOLS_DESK_SURFACE_H
#define QUILLMOTE_TOOLS_DESK_SURFACE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "log.h"
#include "machine.h"

namespace desk {

struct Button {
  const char* name;
  uint8_t note;
};

// Every button and the footswitch, in the order the legend lists them.
const std::vector<Button>& Buttons();
// Case-blind; null when no button has that name.
const Button* FindButton(std::string_view name);
const Button* ButtonForNote(uint8_t note);
std::string ButtonNames();

struct Lamp {
  const char* name;
  uint8_t note;
};
constexpr std::array<Lamp, 7> kLamps = {{{"RECORD", 95},
                                         {"LOOP", 86},
                                         {"PUNCH", 120},
                                         {"ANY-16", 115},
                                         {"FLAG-16", 8},
                                         {"FLAG-15", 16},
                                         {"FLAG-19", 0}}};

constexpr std::size_t kCells = 40;
constexpr std::size_t kLineCells = 20;
constexpr int kMaxWheelSteps = 63;

// Packed short messages as the surface sends them.
uint32_t ButtonMessage(uint8_t note, bool pressed);
// steps from -63 to 63.
uint32_t WheelMessage(int steps);

// A meter cell's two levels: 0 empty, 1 half, 2 full. False for a byte that
// is neither a meter glyph (0 to 7) nor the space that shows two empty levels.
struct MeterCell {
  int first = 0;
  int second = 0;
};
bool DecodeGlyph(uint8_t byte, MeterCell* cell);

// Display bytes as a quoted, escaped text for the log.
std::string QuoteCells(const uint8_t* bytes, std::size_t count);

// What the plug-in's messages leave on the surface. Not thread-safe.
class SurfaceModel {
 public:
  SurfaceModel();
  // Applies one message from the plug-in and describes it for the log.
  // Messages that are no display write or lamp change nothing; `malformed`
  // says so.
  std::string Apply(const uint8_t* bytes, std::size_t length, bool* malformed);
  const std::array<uint8_t, kCells>& Cells() const { return m_cells; }
  bool LampOn(std::size_t index) const { return m_lamps[index]; }

 private:
  std::string ApplyLcdWrite(const uint8_t* bytes, std::size_t length, bool* malformed);
  std::string ApplyShort(const uint8_t* bytes, std::size_t length, bool* malformed);

  std::array<uint8_t, kCells> m_cells;
  std::array<bool, kLamps.size()> m_lamps{};
};

class Surface {
 public:
  struct Snapshot {
    std::array<uint8_t, kCells> cells;
    std::array<bool, kLamps.size()> lamps;
    std::set<uint8_t> held;
    bool ports = false;
  };

  Surface(Log& log, Machine& machine);
  ~Surface();
  Surface(const Surface&) = delete;
  Surface& operator=(const Surface&) = delete;

  // A fresh simulated machine: the surface's two ports, or without them only
  // an unrelated pair, so that the plug-in finds no surface.
  void Install(bool withPorts);

  // Sends as the surface does and waits until the plug-in has handled it.
  // False when the input port dropped it (not started).
  bool Press(const Button& button, bool pressed);
  bool Wheel(int steps);

  bool IsHeld(uint8_t note) const;
  bool ShiftHeld() const;

  // Waits until every message the plug-in sent has reached the surface.
  // False when the system did not become idle in time.
  bool WaitQuiet();

  Snapshot Take() const;

 private:
  void OnOutput(const uint8_t* bytes, std::size_t length);

  Log& m_log;
  Machine& m_machine;
  mutable std::mutex m_mutex;
  SurfaceModel m_model;
  std::set<uint8_t> m_held;
  bool m_ports = false;
};

}  // namespace desk

#endif
