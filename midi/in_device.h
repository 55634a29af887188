// The input port: one system MIDI input device. The system calls the port
// back for each incoming message and the port passes it straight to its
// receiver, on the system's callback thread.
#ifndef QUILLMOTE_MIDI_IN_DEVICE_H
#define QUILLMOTE_MIDI_IN_DEVICE_H

#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <memory>

#include "framework/thread.h"
#include "midi/errors.h"
#include "midi/header_queue.h"
#include "midi/port_state.h"
#include "midi/receiver.h"

namespace midi {

// One system-exclusive input buffer header.
class CMIDIInHeader {
 public:
  CMIDIInHeader(HMIDIIN handle, const MIDIHDR& header) : m_handle(handle), m_header(header) {}
  // False when the system refuses to take the header back.
  bool Release();
  bool IsDone() const;

 private:
  HMIDIIN m_handle;
  MIDIHDR m_header;
};

class CMIDIInDevice {
 public:
  // Throws CMIDIInEventFailure when the signalling event can't be made.
  CMIDIInDevice();
  // Closes the port; a failing close is not reported to the destroyer.
  ~CMIDIInDevice();
  CMIDIInDevice(const CMIDIInDevice&) = delete;
  CMIDIInDevice& operator=(const CMIDIInDevice&) = delete;

  void Open(UINT deviceId);  // throws CMIDIInException
  void Close();              // throws CMIDIInException when the device won't close
  void Start();              // throws CMIDIInException or CMIDIInThreadFailure
  void Stop();
  CMIDIReceiver* SetReceiver(CMIDIReceiver* receiver);
  bool IsOpen() const;
  bool IsStarted() const;

  static void GetDevCaps(UINT deviceId, MIDIINCAPSA& caps);  // throws CMIDIInException

 private:
  static void CALLBACK SystemCallback(HMIDIIN handle, UINT message, DWORD_PTR instance,
                                      DWORD_PTR param1, DWORD_PTR param2);
  static UINT WorkerMain(LPVOID port);

  HMIDIIN m_handle = nullptr;
  HANDLE m_event = nullptr;
  std::unique_ptr<CWinThread> m_worker;
  std::atomic<CMIDIReceiver*> m_receiver{nullptr};
  CHeaderQueue<CMIDIInHeader> m_queue;
  std::atomic<PortState> m_state{Closed};
};

}  // namespace midi

#endif
