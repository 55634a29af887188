// Exceptions of the MIDI port layer. Each carries a text for what() that a
// person can read: the system's error text for the failing result code, or a
// fixed sentence.
#ifndef QUILLMOTE_MIDI_ERRORS_H
#define QUILLMOTE_MIDI_ERRORS_H

#include <windows.h>

#include <mmsystem.h>

#include <exception>
#include <new>

namespace midi {

enum class PortDirection { kOutput, kInput };

// A failing result code and the system's text for it (midiOutGetErrorTextA
// or midiInGetErrorTextA).
template <PortDirection direction>
class CMIDIResultException : public std::exception {
 public:
  explicit CMIDIResultException(MMRESULT result) noexcept;
  const char* what() const noexcept override { return m_text; }
  MMRESULT Result() const noexcept { return m_result; }

 private:
  char m_text[128];
  MMRESULT m_result;
};

using CMIDIOutException = CMIDIResultException<PortDirection::kOutput>;
using CMIDIInException = CMIDIResultException<PortDirection::kInput>;

class CMIDIOutEventFailure : public std::exception {
 public:
  const char* what() const noexcept override {
    return "Unable to create a signalling event for CMIDIOutDevice object.";
  }
};

class CMIDIOutMemFailure : public std::bad_alloc {
 public:
  const char* what() const noexcept override {
    return "Memory allocation within a CMIDIOutDevice object failed.";
  }
};

class CMIDIOutThreadFailure : public std::exception {
 public:
  const char* what() const noexcept override {
    return "Unable to start the worker thread of a CMIDIOutDevice object.";
  }
};

class CMIDIInEventFailure : public std::exception {
 public:
  const char* what() const noexcept override {
    return "Unable to create a signalling event for CMIDIInDevice object.";
  }
};

class CMIDIInThreadFailure : public std::exception {
 public:
  const char* what() const noexcept override {
    return "Unable to start the worker thread of a CMIDIInDevice object.";
  }
};

}  // namespace midi

#endif
