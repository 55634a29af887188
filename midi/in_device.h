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
#include "midi/callback_gate.h"
#include "midi/errors.h"
#include "midi/header_queue.h"
#include "midi/port_state.h"
#include "midi/receiver.h"

namespace midi {

// One system-exclusive input buffer header.
class CMIDIInHeader {
 public:
  CMIDIInHeader(HMIDIIN handle, const MIDIHDR& header) : m_handle(handle), m_header(header) {}
  static void Destroy(CMIDIInHeader* header) noexcept { delete header; }
  // False when the system refuses to take the header back.
  bool Release();
  bool IsFinished() const;
  DWORD Capacity() const { return m_header.dwBufferLength; }

  CMIDIInHeader* m_next = nullptr;  // the queue's link

 private:
  HMIDIIN m_handle;
  MIDIHDR m_header;
};

// What the input callback reaches besides the gate itself.
class CInputGate : public CCallbackGate {
 public:
  using CCallbackGate::CCallbackGate;
  std::atomic<CMIDIReceiver*> m_receiver{nullptr};
  // Returned buffers are passed on only while input runs.
  std::atomic<bool> m_started{false};
};

class CMIDIInDevice {
 public:
  // Throws CMIDIInEventFailure when the signalling event can't be made.
  CMIDIInDevice();
  // Closes the port; a failing close is not reported to the destroyer.
  ~CMIDIInDevice();
  CMIDIInDevice(const CMIDIInDevice&) = delete;
  CMIDIInDevice& operator=(const CMIDIInDevice&) = delete;

  void Open(UINT deviceId);  // throws CMIDIInException or CMIDIInEventFailure
  // Throws CMIDIInException when the device won't close. Once it has, waits
  // (at most kCloseNoticeBound) for the handle's last callback.
  void Close();
  void Start();  // throws CMIDIInException or CMIDIInThreadFailure
  void Stop();
  CMIDIReceiver* SetReceiver(CMIDIReceiver* receiver);
  // Turns delivery off and waits (at most `bound` milliseconds) until no
  // callback is running; true when none is, so that nothing the system still
  // delivers can reach the receiver any more.
  bool DetachReceiver(DWORD bound);
  bool IsOpen() const;
  bool IsStarted() const;

  static void GetDevCaps(UINT deviceId, MIDIINCAPSA& caps);  // throws CMIDIInException

  static constexpr DWORD kCloseNoticeBound = 200;

 private:
  static void CALLBACK SystemCallback(HMIDIIN handle, UINT message, DWORD_PTR instance,
                                      DWORD_PTR param1, DWORD_PTR param2);
  static UINT WorkerMain(LPVOID port);
  // A gate for the next handle, when the last close left its own behind.
  void MakeGate();
  // After the device closed: keeps the gate once the handle's last callback
  // has run, or loses it if that doesn't happen within the bound.
  void FinishClose() noexcept;

  HMIDIIN m_handle = nullptr;
  // What the callback reaches; null after a close that could not finish,
  // until the next Open makes a new one.
  std::unique_ptr<CInputGate> m_gate;
  std::unique_ptr<CWinThread> m_worker;
  // The receiver as set, whatever gate is current.
  std::atomic<CMIDIReceiver*> m_receiver{nullptr};
  CHeaderQueue<CMIDIInHeader> m_queue;
  std::atomic<PortState> m_state{Closed};
};

}  // namespace midi

#endif
