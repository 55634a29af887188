#include "surface.h"

#include <cstdio>

namespace desk {

namespace {

constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kControlChange = 0xB0;
constexpr uint8_t kWheelController = 60;
constexpr uint8_t kLampOnVelocity = 127;

// F0, the three-byte maker id, two fixed bytes, then the first cell.
constexpr uint8_t kLcdHeader[] = {0xF0, 0x00, 0x01, 0x40, 0x10, 0x00};
constexpr std::size_t kLcdHeaderSize = sizeof kLcdHeader;
constexpr uint8_t kSysexEnd = 0xF7;

constexpr std::size_t kMeterFirstCell = 20;
constexpr std::size_t kMeterCells = 8;

std::string Hex(const uint8_t* bytes, std::size_t length) {
  std::string text;
  char byte[4];
  for (std::size_t i = 0; i < length; ++i) {
    std::snprintf(byte, sizeof byte, "%s%02X", i ? " " : "", bytes[i]);
    text += byte;
  }
  return text;
}

char ToUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ToUpper(a[i]) != ToUpper(b[i])) return false;
  }
  return true;
}

// The two level bars of a meter write, one character per cell and level.
std::string MeterBars(const uint8_t* cells) {
  static const char kState[] = {' ', '.', '|'};
  std::string first = "\"", second = "\"";
  for (std::size_t i = 0; i < kMeterCells; ++i) {
    MeterCell cell;
    DecodeGlyph(cells[i], &cell);
    first += kState[cell.first];
    second += kState[cell.second];
  }
  return first + "\" " + second + "\"";
}

bool IsMeterWrite(std::size_t firstCell, const uint8_t* cells, std::size_t count) {
  if (firstCell != kMeterFirstCell || count != kMeterCells) return false;
  bool anyGlyph = false;
  for (std::size_t i = 0; i < count; ++i) {
    MeterCell cell;
    if (!DecodeGlyph(cells[i], &cell)) return false;
    if (cells[i] != ' ') anyGlyph = true;
  }
  return anyGlyph;
}

}  // namespace

const std::vector<Button>& Buttons() {
  static const std::vector<Button> buttons = {
      {"SHIFT", 121}, {"PLAY", 94},        {"STOP", 93},    {"RECORD", 95},  {"LOOP", 86},
      {"RWD", 91},    {"FFWD", 92},        {"TRACK-L", 48}, {"TRACK-R", 49}, {"UNDO", 76},
      {"ADD", 82},    {"PREV", 84},        {"NEXT", 85},    {"IN", 87},      {"OUT", 88},
      {"PUNCH", 120}, {"FOOTSWITCH", 103}, {"FLAG-15", 16}, {"FLAG-16", 8},  {"FLAG-19", 0},
  };
  return buttons;
}

const Button* FindButton(std::string_view name) {
  for (const Button& button : Buttons()) {
    if (SameName(button.name, name)) return &button;
  }
  return nullptr;
}

const Button* ButtonForNote(uint8_t note) {
  for (const Button& button : Buttons()) {
    if (button.note == note) return &button;
  }
  return nullptr;
}

std::string ButtonNames() {
  std::string names;
  for (const Button& button : Buttons()) {
    if (!names.empty()) names += ' ';
    names += button.name;
  }
  return names;
}

uint32_t ButtonMessage(uint8_t note, bool pressed) {
  return kNoteOn | (uint32_t{note} << 8) | (uint32_t{pressed ? kLampOnVelocity : 0u} << 16);
}

uint32_t WheelMessage(int steps) {
  // Forward steps are the value itself, backward ones count down from 64.
  const uint32_t value =
      steps >= 0 ? static_cast<uint32_t>(steps) : static_cast<uint32_t>(64 - steps);
  return kControlChange | (uint32_t{kWheelController} << 8) | ((value & 0x7F) << 16);
}

bool DecodeGlyph(uint8_t byte, MeterCell* cell) {
  if (byte == ' ') {
    *cell = MeterCell{};
    return true;
  }
  if (byte > 7) return false;
  // Glyph = 3 x second + first - 1 for the eight glyphs that show something.
  cell->first = (byte + 1) % 3;
  cell->second = (byte + 1) / 3;
  return true;
}

std::string QuoteCells(const uint8_t* bytes, std::size_t count) {
  std::string text = "\"";
  char escape[8];
  for (std::size_t i = 0; i < count; ++i) {
    const uint8_t byte = bytes[i];
    if (byte == '"' || byte == '\\') {
      text += '\\';
      text += static_cast<char>(byte);
    } else if (byte >= 0x20 && byte < 0x7F) {
      text += static_cast<char>(byte);
    } else {
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      text += escape;
    }
  }
  return text + "\"";
}

SurfaceModel::SurfaceModel() { m_cells.fill(' '); }

std::string SurfaceModel::Apply(const uint8_t* bytes, std::size_t length, bool* malformed) {
  *malformed = false;
  if (length > 0 && bytes[0] == 0xF0) return ApplyLcdWrite(bytes, length, malformed);
  return ApplyShort(bytes, length, malformed);
}

std::string SurfaceModel::ApplyLcdWrite(const uint8_t* bytes, std::size_t length, bool* malformed) {
  const auto bad = [&](const char* why) {
    *malformed = true;
    return "sysex " + Hex(bytes, length) + " (" + why + ")";
  };
  if (length < kLcdHeaderSize + 2 || bytes[length - 1] != kSysexEnd) {
    return bad("not a whole display write");
  }
  for (std::size_t i = 0; i < kLcdHeaderSize; ++i) {
    if (bytes[i] != kLcdHeader[i]) return bad("not a display write");
  }
  const std::size_t first = bytes[kLcdHeaderSize];
  const uint8_t* cells = bytes + kLcdHeaderSize + 1;
  const std::size_t count = length - kLcdHeaderSize - 2;
  if (first >= kCells || count > kCells - first) {
    return bad("cells beyond the display's 40");
  }
  for (std::size_t i = 0; i < count; ++i) m_cells[first + i] = cells[i];
  std::string text = "LCD @" + std::to_string(first) + " ";
  if (IsMeterWrite(first, cells, count)) return text + "levels " + MeterBars(cells);
  return text + QuoteCells(cells, count);
}

std::string SurfaceModel::ApplyShort(const uint8_t* bytes, std::size_t length, bool* malformed) {
  if (length == 3 && bytes[0] == kNoteOn) {
    for (std::size_t i = 0; i < kLamps.size(); ++i) {
      if (kLamps[i].note != bytes[1]) continue;
      m_lamps[i] = bytes[2] != 0;
      std::string text = std::string("lamp ") + kLamps[i].name + (m_lamps[i] ? " on" : " off");
      if (bytes[2] != 0 && bytes[2] != kLampOnVelocity) {
        text += " (velocity " + std::to_string(bytes[2]) + ")";
      }
      return text;
    }
  }
  *malformed = true;
  return "MIDI " + Hex(bytes, length) + " (no lamp or display write)";
}

Surface::Surface(Log& log, Machine& machine) : m_log(log), m_machine(machine) {}

Surface::~Surface() { m_machine.Detach(); }

void Surface::Install(bool withPorts) {
  m_machine.Detach();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_model = SurfaceModel();
    m_held.clear();
    m_ports = withPorts;
  }
  m_machine.Install(withPorts,
                    [this](const uint8_t* bytes, std::size_t length) { OnOutput(bytes, length); });
}

void Surface::OnOutput(const uint8_t* bytes, std::size_t length) {
  std::string text;
  bool malformed = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    text = m_model.Apply(bytes, length, &malformed);
  }
  m_log.Add(Source::kOutput, malformed ? text + " !" : text);
}

bool Surface::Press(const Button& button, bool pressed) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pressed) {
      m_held.insert(button.note);
    } else {
      m_held.erase(button.note);
    }
  }
  const uint32_t packed = ButtonMessage(button.note, pressed);
  const uint8_t bytes[] = {static_cast<uint8_t>(packed), static_cast<uint8_t>(packed >> 8),
                           static_cast<uint8_t>(packed >> 16)};
  m_log.Add(Source::kInput, std::string(button.name) + (pressed ? " press" : " release") + " (" +
                                Hex(bytes, sizeof bytes) + ")");
  const bool delivered = m_machine.SendInput(packed);
  if (!delivered) m_log.Add(Source::kInput, "  dropped: the plug-in's input port is not started");
  return delivered;
}

bool Surface::Wheel(int steps) {
  const uint32_t packed = WheelMessage(steps);
  const uint8_t bytes[] = {static_cast<uint8_t>(packed), static_cast<uint8_t>(packed >> 8),
                           static_cast<uint8_t>(packed >> 16)};
  m_log.Add(Source::kInput, std::string("wheel ") + (steps > 0 ? "+" : "") + std::to_string(steps) +
                                " (" + Hex(bytes, sizeof bytes) + ")");
  const bool delivered = m_machine.SendInput(packed);
  if (!delivered) m_log.Add(Source::kInput, "  dropped: the plug-in's input port is not started");
  return delivered;
}

bool Surface::IsHeld(uint8_t note) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_held.count(note) != 0;
}

bool Surface::ShiftHeld() const { return IsHeld(FindButton("SHIFT")->note); }

bool Surface::WaitQuiet() { return m_machine.WaitIdle(); }

Surface::Snapshot Surface::Take() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  Snapshot snapshot;
  snapshot.cells = m_model.Cells();
  for (std::size_t i = 0; i < kLamps.size(); ++i) snapshot.lamps[i] = m_model.LampOn(i);
  snapshot.held = m_held;
  snapshot.ports = m_ports;
  return snapshot;
}

}  // namespace desk
