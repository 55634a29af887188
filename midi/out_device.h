// The output port: one system MIDI output device. Short messages go straight
// to the system; long messages go through a prepared header that owns a copy
// of the bytes, and a worker thread gives each header back once the system
// reports it done.
#ifndef QUILLMOTE_MIDI_OUT_DEVICE_H
#define QUILLMOTE_MIDI_OUT_DEVICE_H

#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <memory>

#include "framework/thread.h"
#include "midi/errors.h"
#include "midi/header_queue.h"
#include "midi/port_state.h"

namespace midi {

// One long message in flight. The system reads the bytes after
// midiOutLongMsg returns, so the header keeps its own copy until released.
class CMIDIOutHeader {
 public:
  // Copies the bytes and prepares the header; throws CMIDIOutException.
  CMIDIOutHeader(HMIDIOUT handle, const char* bytes, DWORD length);
  CMIDIOutHeader(const CMIDIOutHeader&) = delete;
  CMIDIOutHeader& operator=(const CMIDIOutHeader&) = delete;

  // Hands the header to the system; throws CMIDIOutException.
  void Send();
  // Unprepares the header; false when the system refuses.
  bool Release();
  // The system has set the done flag (it writes it on its own thread).
  bool IsDone() const;

 private:
  std::unique_ptr<char[]> m_bytes;
  HMIDIOUT m_handle;
  MIDIHDR m_header;
};

class CMIDIOutDevice {
 public:
  // Throws CMIDIOutEventFailure when the signalling event can't be made.
  CMIDIOutDevice();
  ~CMIDIOutDevice();
  CMIDIOutDevice(const CMIDIOutDevice&) = delete;
  CMIDIOutDevice& operator=(const CMIDIOutDevice&) = delete;

  // Closes first if open. Throws CMIDIOutException or CMIDIOutThreadFailure;
  // the port is then closed.
  void Open(UINT deviceId);
  // Never throws. Waits (about a second at most) for the system to finish
  // every queued message, resets the device only if it doesn't, then
  // releases the headers and closes the device.
  void Close() noexcept;
  bool IsOpen() const { return m_state.load() == Opened; }

  // Dropped silently while not open; throw CMIDIOutException on a refusal.
  void SendShortMsg(DWORD packed);
  void SendLongMsg(const char* bytes, DWORD length);

  // Throws CMIDIOutException.
  static void GetDevCaps(UINT deviceId, MIDIOUTCAPSA& caps);

  // Headers handed to the system and not yet given back.
  std::size_t QueuedHeaders() const { return m_queue.Size(); }

 private:
  static void CALLBACK SystemCallback(HMIDIOUT handle, UINT message, DWORD_PTR instance,
                                      DWORD_PTR param1, DWORD_PTR param2);
  static UINT WorkerMain(LPVOID port);
  void WaitForQueuedHeaders(DWORD milliseconds);

  HMIDIOUT m_handle = nullptr;
  HANDLE m_event = nullptr;
  std::unique_ptr<CWinThread> m_worker;
  CHeaderQueue<CMIDIOutHeader> m_queue;
  std::atomic<PortState> m_state{Closed};
};

}  // namespace midi

#endif
