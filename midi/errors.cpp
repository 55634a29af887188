#include "midi/errors.h"

#include <cstdio>

namespace midi {

namespace {

// The system has no text for some codes (a driver's private ones, say); the
// reader still deserves to know which code it was.
void FillUnknown(char (&text)[128], const char* direction, MMRESULT result) {
  std::snprintf(text, sizeof text, "Unknown MIDI %s error (code %u).", direction,
                static_cast<unsigned>(result));
}

}  // namespace

template <PortDirection direction>
CMIDIResultException<direction>::CMIDIResultException(MMRESULT result) noexcept
    : m_text{}, m_result(result) {
  constexpr bool output = direction == PortDirection::kOutput;
  const MMRESULT found = output ? midiOutGetErrorTextA(result, m_text, sizeof m_text)
                                : midiInGetErrorTextA(result, m_text, sizeof m_text);
  if (found != MMSYSERR_NOERROR || m_text[0] == 0) {
    FillUnknown(m_text, output ? "output" : "input", result);
  }
  m_text[sizeof m_text - 1] = 0;
}

template class CMIDIResultException<PortDirection::kOutput>;
template class CMIDIResultException<PortDirection::kInput>;

}  // namespace midi
