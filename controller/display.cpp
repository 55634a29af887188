// Everything the controller sends to the surface: display writes and lamps.
// Every operation hands its complete message to the output port at once;
// nothing remembers what the display shows. While the wire does not keep up
// the port holds messages back and leaves out writes nobody would see; the
// footprints below tell it what each message sets.
#include <cstdio>
#include <cstring>
#include <exception>

#include "controller/controller.h"
#include "controller/numeric.h"
#include "midi/messages.h"

namespace {

constexpr std::size_t kDisplayCells = 40;
constexpr std::size_t kFrameOverhead = 8;
constexpr char kWheelMark = 0x7E;
// Shown for a byte the surface cannot take inside a display write.
constexpr char kUnshowable = '?';

// The seven lamps in the order AllLampsOff and the blanking at close put
// them out.
constexpr BYTE kLampsInOffOrder[] = {kNoteRecord, kNoteLoop,   kNotePunch, kNoteAny16,
                                     kNoteFlag16, kNoteFlag15, kNoteFlag19};

// Meter glyph by 3 * (state of the first level) + (state of the second);
// a state is 0 empty, 1 half, 2 full.
constexpr char kMeterGlyph[9] = {0x20, 0x02, 0x05, 0x00, 0x03, 0x06, 0x01, 0x04, 0x07};

int MeterState(int32_t level, int threshold) {
  if (level >= threshold + 1) return 2;
  if (level >= threshold) return 1;
  return 0;
}

// A display write sets its cells; a lamp's note-on sets that lamp. Any other
// message is unknown to the surface's model and is never left out.
class CSurfaceFootprints final : public midi::CFootprints {
 public:
  midi::CFootprint OfLong(const char* bytes, DWORD length) const override {
    static constexpr unsigned char kHeader[] = {0xF0, 0x00, 0x01, 0x40, 0x10, 0x00};
    midi::CFootprint footprint;
    if (length < kFrameOverhead + 1 || length > kDisplayCells + kFrameOverhead ||
        std::memcmp(bytes, kHeader, sizeof kHeader) != 0 ||
        static_cast<unsigned char>(bytes[length - 1]) != 0xF7) {
      return footprint;
    }
    const auto first = static_cast<unsigned char>(bytes[sizeof kHeader]);
    const DWORD count = length - kFrameOverhead;
    if (first + count > kDisplayCells) return footprint;
    footprint.kind = midi::CFootprint::kCells;
    footprint.first = first;
    footprint.last = static_cast<WORD>(first + count - 1);
    return footprint;
  }

  midi::CFootprint OfShort(DWORD packed) const override {
    midi::CFootprint footprint;
    if ((packed & 0xFF) != kNoteOn) return footprint;
    footprint.kind = midi::CFootprint::kKey;
    footprint.first = static_cast<WORD>((packed >> 8) & 0x7F);
    return footprint;
  }
};

const CSurfaceFootprints g_surfaceFootprints;

}  // namespace

const midi::CFootprints& SurfaceFootprints() { return g_surfaceFootprints; }

void SendDisplayCells(midi::CMIDIOutDevice& out, BYTE firstCell, const char* cells,
                      std::size_t count) {
  if (count > kDisplayCells) count = kDisplayCells;
  char frame[kDisplayCells + kFrameOverhead];
  const std::size_t length = count + kFrameOverhead;
  frame[0] = static_cast<char>(0xF0);
  frame[1] = 0x00;
  frame[2] = 0x01;
  frame[3] = 0x40;
  frame[4] = 0x10;
  frame[5] = 0x00;
  frame[6] = static_cast<char>(firstCell);
  // Inside a system-exclusive message every byte must stay below 0x80: a
  // higher one (a name's "\xE9" or "\x92") is a status byte on the wire that
  // ends the write early and makes the rest of it a stray note or control
  // message.
  for (std::size_t i = 0; i < count; ++i) {
    frame[7 + i] = (static_cast<unsigned char>(cells[i]) & 0x80) != 0 ? kUnshowable : cells[i];
  }
  frame[length - 1] = static_cast<char>(0xF7);
  midi::CLongMsg message(frame, static_cast<DWORD>(length));
  message.SendTo(out);
}

void SendLamp(midi::CMIDIOutDevice& out, BYTE note, bool on) {
  midi::CShortMsg message(kNoteOn, 0, note, on ? 127 : 0, 0);
  message.SendTo(out);
}

void CMidiReceiveDlg::LcdWrite(BYTE firstCell, const char* cells, std::size_t count) {
  SendDisplayCells(m_midiOut, firstCell, cells, count);
}

void CMidiReceiveDlg::WriteField(BYTE firstCell, std::size_t width, const char* text) {
  char cells[kDisplayCells];
  std::size_t taken = 0;
  while (taken < width && text[taken] != 0) {
    cells[taken] = text[taken];
    ++taken;
  }
  std::memset(cells + taken, ' ', width - taken);
  LcdWrite(firstCell, cells, width);
}

void CMidiReceiveDlg::ClearDisplay() {
  char cells[kDisplayCells];
  std::memset(cells, ' ', sizeof cells);
  LcdWrite(0, cells, sizeof cells);
}

void CMidiReceiveDlg::AllLampsOff() {
  for (BYTE note : kLampsInOffOrder) SetLamp(note, false);
}

void CMidiReceiveDlg::BlankSurface() {
  // The host stops driving the surface after this: a lamp left lit would stay
  // lit. So each message is tried on its own, whatever became of the one
  // before; the first refusal is passed on once all have been tried.
  std::exception_ptr firstFailure;
  const auto attempt = [&firstFailure](auto&& send) {
    try {
      send();
    } catch (...) {
      if (!firstFailure) firstFailure = std::current_exception();
    }
  };
  attempt([this] { ClearDisplay(); });
  for (BYTE note : kLampsInOffOrder) attempt([this, note] { SetLamp(note, false); });
  if (firstFailure) std::rethrow_exception(firstFailure);
}

void CMidiReceiveDlg::SetLamp(BYTE note, bool on) { SendLamp(m_midiOut, note, on); }

void CMidiReceiveDlg::ShowTrackName(const char* name) { WriteField(0, 10, name); }

void CMidiReceiveDlg::ShowVolume(double volume) {
  // Recorded first: the wheel steps from the last volume shown, surface or not.
  m_volume = volume;
  char text[32];
  std::snprintf(text, sizeof text, "%-3.1f", volume);
  WriteField(11, 5, text);
}

void CMidiReceiveDlg::ShowPan(int32_t pan) {
  char text[16];
  if (pan == 0) {
    std::strcpy(text, "CTR");
  } else if (pan == -100) {
    std::strcpy(text, "LFT");
  } else if (pan == 100) {
    std::strcpy(text, "RGT");
  } else if (pan < 0) {
    std::snprintf(text, sizeof text, "L%2lld", -static_cast<long long>(pan));
  } else {
    std::snprintf(text, sizeof text, "R%2d", pan);
  }
  WriteField(17, 3, text);
}

void CMidiReceiveDlg::ShowTrackLabel(int32_t track, int32_t value) {
  // The host counts tracks from 0, people from 1; wraps like the 32-bit sum.
  const auto shown = static_cast<int32_t>(static_cast<uint32_t>(track) + 1u);
  char text[32];
  std::snprintf(text, sizeof text, "%-d (%d)", shown, value);
  WriteField(20, 10, text);
}

void CMidiReceiveDlg::ShowLevels(double first, double second) {
  const int32_t level1 = TruncateToInt32(first * 16 + 0.5);
  const int32_t level2 = TruncateToInt32(second * 16 + 0.5);
  char cells[8];
  for (int k = 0; k < 8; ++k) {
    cells[k] = kMeterGlyph[3 * MeterState(level1, 2 * k) + MeterState(level2, 2 * k)];
  }
  LcdWrite(20, cells, sizeof cells);
}

void CMidiReceiveDlg::ShowTime(const char* text) {
  if (text == nullptr) return;
  constexpr std::size_t kWidth = 11;
  const std::size_t length = std::strlen(text);
  const std::size_t pad = length < kWidth ? kWidth - length : 0;
  char cells[kWidth];
  std::memset(cells, ' ', pad);
  std::memcpy(cells + pad, text, kWidth - pad);
  LcdWrite(29, cells, kWidth);
}

void CMidiReceiveDlg::ShowWheelMark(BYTE cell, bool shown) {
  const char mark = shown ? kWheelMark : ' ';
  LcdWrite(cell, &mark, 1);
}
