// The input port: one system MIDI input device. The system posts each
// incoming message to the port's own thread (midi/port_thread.h), which
// passes it straight to the receiver.
#ifndef QUILLMOTE_MIDI_IN_DEVICE_H
#define QUILLMOTE_MIDI_IN_DEVICE_H

#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <memory>

#include "midi/errors.h"
#include "midi/header_queue.h"
#include "midi/port_state.h"
#include "midi/port_thread.h"
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

class CMIDIInDevice final : private CPortMessageSink {
 public:
  CMIDIInDevice() = default;
  // Closes the port; a failing close is not reported to the destroyer.
  ~CMIDIInDevice();
  CMIDIInDevice(const CMIDIInDevice&) = delete;
  CMIDIInDevice& operator=(const CMIDIInDevice&) = delete;

  // Starts the port's thread and opens the device; throws CMIDIInException,
  // CMIDIInEventFailure or CMIDIInThreadFailure.
  void Open(UINT deviceId);
  // Throws CMIDIInException when the device won't close. Once it has, waits
  // until kCloseBound after the close began for the handle's close message.
  void Close();
  void Start();  // throws CMIDIInException
  void Stop();
  CMIDIReceiver* SetReceiver(CMIDIReceiver* receiver);
  // Turns delivery off and waits (at most `bound` milliseconds) until no
  // message is being handed to the receiver; true when none is, so that
  // nothing the system still delivers can reach it any more.
  bool DetachReceiver(DWORD bound);
  bool IsOpen() const;
  bool IsStarted() const;

  static void GetDevCaps(UINT deviceId, MIDIINCAPSA& caps);  // throws CMIDIInException

  static constexpr DWORD kCloseBound = 200;

 private:
  // On the port's thread: hands a message to the receiver.
  void OnPortMessage(UINT message, LPARAM param, DWORD time) override;
  void OnPortWake() override;
  // After the device closed, or would not: the thread is let go.
  void LetThreadGo() noexcept;

  HMIDIIN m_handle = nullptr;
  CPortThread* m_thread = nullptr;
  std::atomic<CMIDIReceiver*> m_receiver{nullptr};
  // A message's time stamp counts from the tick count at Start.
  std::atomic<DWORD> m_startTick{0};
  CHeaderQueue<CMIDIInHeader> m_queue;
  std::atomic<PortState> m_state{Closed};
};

}  // namespace midi

#endif
