// The output port: one system MIDI output device. Short messages go straight
// to the system; long messages go through a prepared header that owns a copy
// of the bytes. The system posts its notifications to the port's own thread
// (midi/port_thread.h), which gives each header back once the system has
// marked it done.
//
// Every message goes to the system at once while the wire keeps up: while
// nothing waits and fewer long messages than kWritesInFlight are unfinished.
// Otherwise it waits in the port (midi/out_waiting.h), in order, and goes
// out from whichever thread next finds the system done: the port's own
// thread on the done notification, or a later send. A waiting message that
// later ones make invisible is left out.
#ifndef QUILLMOTE_MIDI_OUT_DEVICE_H
#define QUILLMOTE_MIDI_OUT_DEVICE_H

#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <memory>

#include "midi/errors.h"
#include "midi/header_queue.h"
#include "midi/out_waiting.h"
#include "midi/port_state.h"
#include "midi/port_thread.h"

namespace midi {

// One long message in flight: the system header and, in the same block,
// room for the bytes, which the system reads after midiOutLongMsg returns.
// Headers are reused for later messages once the system is done with them.
class CMIDIOutHeader {
 public:
  // Room for at least this many bytes, so that any display write fits any
  // spare header.
  static constexpr DWORD kMinCapacity = 64;

  // One allocation for header and bytes; throws std::bad_alloc.
  static CMIDIOutHeader* Create(DWORD capacity);
  static void Destroy(CMIDIOutHeader* header) noexcept;
  CMIDIOutHeader(const CMIDIOutHeader&) = delete;
  CMIDIOutHeader& operator=(const CMIDIOutHeader&) = delete;

  DWORD Capacity() const { return m_capacity; }
  // Copies the bytes (at most Capacity()).
  void Fill(const char* bytes, DWORD length);
  const char* Data() const { return reinterpret_cast<const char*>(this + 1); }
  DWORD Length() const { return m_length; }
  // Prepares the header with the bytes filled in for the handle; throws
  // CMIDIOutException.
  void Prepare(HMIDIOUT handle);
  // Hands the header to the system; throws CMIDIOutException.
  void Send();
  // Unprepares the header; false when the system refuses.
  bool Release();
  // The system has set the done flag: the header may be taken back, whether
  // or not its done message has come (or ever comes).
  bool IsFinished() const;

  CMIDIOutHeader* m_next = nullptr;  // the queue's link

 private:
  explicit CMIDIOutHeader(DWORD capacity) : m_capacity(capacity) {}
  ~CMIDIOutHeader() = default;
  char* Bytes() { return reinterpret_cast<char*>(this + 1); }

  HMIDIOUT m_handle = nullptr;
  MIDIHDR m_header{};
  const DWORD m_capacity;
  DWORD m_length = 0;
};

class CMIDIOutDevice final : private CPortMessageSink {
 public:
  CMIDIOutDevice() { InitializeCriticalSection(&m_sendLock); }
  ~CMIDIOutDevice();
  CMIDIOutDevice(const CMIDIOutDevice&) = delete;
  CMIDIOutDevice& operator=(const CMIDIOutDevice&) = delete;

  // Closes first if open. Throws CMIDIOutException, CMIDIOutEventFailure or
  // CMIDIOutThreadFailure; the port is then closed.
  void Open(UINT deviceId);
  // Never throws, and returns within kCloseBound milliseconds: lets the
  // system finish the queued messages, resets the device only if it
  // doesn't, closes it and waits for its close message.
  void Close() noexcept;
  bool IsOpen() const { return m_state.load() == Opened; }

  // Dropped silently while not open. Throw CMIDIOutException when the
  // system refuses a message sent at once; a waiting message the system
  // refuses later is dropped and said on the debugger output (once an
  // opening). SendLongMsg throws CMIDIOutMemFailure when there is no memory
  // for the bytes.
  void SendShortMsg(DWORD packed);
  void SendLongMsg(const char* bytes, DWORD length);

  // What tells which waiting messages later ones make invisible; without
  // one (as constructed) messages wait all the same but none is left out.
  // Set it while the port is closed; it must outlive the port's opening.
  void SetFootprints(const CFootprints* footprints) { m_footprints.store(footprints); }

  // Long messages the system may hold unfinished before new messages wait.
  // One: a write handed to the driver can no longer be left out, so each one
  // in flight adds its whole wire time to what the surface lags behind,
  // while the port's thread takes microseconds to send the next once the
  // driver is done with one that takes milliseconds on the wire.
  static constexpr std::size_t kWritesInFlight = 1;

  // Throws CMIDIOutException.
  static void GetDevCaps(UINT deviceId, MIDIOUTCAPSA& caps);

  // Headers handed to the system and not yet given back, and those kept
  // for reuse.
  std::size_t QueuedHeaders() const { return m_queue.Size(); }
  std::size_t SpareHeaders() const { return m_queue.Spares(); }
  // Messages waiting in the port.
  std::size_t WaitingMessages() const;

  // Close's one deadline: the queued messages have until kDrainBound to go
  // out, a reset until kResetBound to return them, and the close message
  // comes by kCloseBound.
  static constexpr DWORD kDrainBound = 600;
  static constexpr DWORD kResetBound = kDrainBound + 150;
  static constexpr DWORD kCloseBound = kResetBound + 150;

 private:
  // On the port's thread: a done message, or any wake, gives back what the
  // system has finished with and sends what waits.
  void OnPortMessage(UINT message, LPARAM param, DWORD time) override;
  void OnPortWake() override;

  // All under m_sendLock. Sends what waits while the system takes it.
  void Pump();
  // Hands a filled header to the system; on a refusal gives it back and
  // throws CMIDIOutException.
  void SendNow(CMIDIOutHeader* header);
  void SendShortNow(DWORD packed);
  void Hold(const CWaitingMessages::Entry& entry);
  // A waiting message goes out; a refusal drops it.
  void SendWaiting(const CWaitingMessages::Entry& entry) noexcept;
  void LeaveOut(const CWaitingMessages::Entry& entry) noexcept;
  CFootprint FootprintOf(const CMIDIOutHeader& header) const;
  CFootprint FootprintOf(DWORD packed) const;
  // Close's part: drops what still waits, saying so; false when the lock
  // could not be had (a send stuck in the driver).
  bool GiveUpWaiting() noexcept;

  HMIDIOUT m_handle = nullptr;
  CPortThread* m_thread = nullptr;
  CHeaderQueue<CMIDIOutHeader> m_queue;
  std::atomic<PortState> m_state{Closed};
  std::atomic<const CFootprints*> m_footprints{nullptr};
  // Keeps the order of messages from every thread, the waiting ones among
  // them, and guards what follows.
  mutable CRITICAL_SECTION m_sendLock;
  CWaitingMessages m_waiting;
  bool m_refusalSaid = false;
};

}  // namespace midi

#endif
