// What the input port hands incoming MIDI to. Every operation runs on the
// system's input callback thread.
#ifndef QUILLMOTE_MIDI_RECEIVER_H
#define QUILLMOTE_MIDI_RECEIVER_H

#include <windows.h>

namespace midi {

class CMIDIReceiver {
 public:
  virtual ~CMIDIReceiver() = default;
  // The bytes belong to the port and are valid only during the call.
  virtual void OnLongMsg(const char* bytes, DWORD length, DWORD timeStamp) = 0;
  virtual void OnShortMsg(DWORD packed, DWORD timeStamp) = 0;
  virtual void OnLongError(const char* bytes, DWORD length, DWORD timeStamp) = 0;
  virtual void OnShortError(DWORD packed, DWORD timeStamp) = 0;
};

}  // namespace midi

#endif
