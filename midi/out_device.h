// The output port: one system MIDI output device. Short messages go straight
// to the system; long messages go through a prepared header that owns a copy
// of the bytes, and a worker thread gives each header back once the system
// has called back that it is done with it.
#ifndef QUILLMOTE_MIDI_OUT_DEVICE_H
#define QUILLMOTE_MIDI_OUT_DEVICE_H

#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <memory>

#include "framework/thread.h"
#include "midi/callback_gate.h"
#include "midi/errors.h"
#include "midi/header_queue.h"
#include "midi/port_state.h"

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
  // Copies the bytes (at most Capacity()) and prepares the header for the
  // handle; throws CMIDIOutException.
  void Prepare(HMIDIOUT handle, const char* bytes, DWORD length);
  // Hands the header to the system; throws CMIDIOutException.
  void Send();
  // Unprepares the header; false when the system refuses.
  bool Release();
  // The system has set the done flag and its MOM_DONE callback has run: only
  // then may the header be reused or freed.
  bool IsFinished() const { return m_finished.load(std::memory_order_acquire); }
  // Called from the system's callback with the header it reports done.
  static void OnDone(MIDIHDR* header);

  CMIDIOutHeader* m_next = nullptr;  // the queue's link

 private:
  explicit CMIDIOutHeader(DWORD capacity) : m_capacity(capacity) {}
  ~CMIDIOutHeader() = default;
  char* Bytes() { return reinterpret_cast<char*>(this + 1); }

  HMIDIOUT m_handle = nullptr;
  MIDIHDR m_header{};
  const DWORD m_capacity;
  std::atomic<bool> m_finished{false};
};

class CMIDIOutDevice {
 public:
  // Throws CMIDIOutEventFailure when the signalling event can't be made.
  CMIDIOutDevice();
  ~CMIDIOutDevice();
  CMIDIOutDevice(const CMIDIOutDevice&) = delete;
  CMIDIOutDevice& operator=(const CMIDIOutDevice&) = delete;

  // Closes first if open. Throws CMIDIOutException, CMIDIOutEventFailure or
  // CMIDIOutThreadFailure; the port is then closed.
  void Open(UINT deviceId);
  // Never throws, and returns within kCloseBound milliseconds (and the
  // worker's wake): lets the system finish the queued messages, resets the
  // device only if it doesn't, closes it and waits for its last callback.
  void Close() noexcept;
  bool IsOpen() const { return m_state.load() == Opened; }

  // Dropped silently while not open; throw CMIDIOutException on a refusal.
  void SendShortMsg(DWORD packed);
  void SendLongMsg(const char* bytes, DWORD length);

  // Throws CMIDIOutException.
  static void GetDevCaps(UINT deviceId, MIDIOUTCAPSA& caps);

  // Headers handed to the system and not yet given back, and those kept
  // for reuse.
  std::size_t QueuedHeaders() const { return m_queue.Size(); }
  std::size_t SpareHeaders() const { return m_queue.Spares(); }

  // How long Close waits, in all: for the queued messages to go out, for a
  // reset to return them, and for the handle's close notification.
  static constexpr DWORD kDrainBound = 600;
  static constexpr DWORD kResetBound = 150;
  static constexpr DWORD kCloseNoticeBound = 150;
  static constexpr DWORD kCloseBound = kDrainBound + kResetBound + kCloseNoticeBound;

 private:
  static void CALLBACK SystemCallback(HMIDIOUT handle, UINT message, DWORD_PTR instance,
                                      DWORD_PTR param1, DWORD_PTR param2);
  static UINT WorkerMain(LPVOID port);
  // A gate for the next handle, when the last close left its own behind.
  void MakeGate();
  // After the device was closed (or not): frees the headers and keeps the
  // gate once the handle's last callback has run, or loses both if it never
  // does within the bound.
  void FinishClose(bool closed) noexcept;

  HMIDIOUT m_handle = nullptr;
  // What the callback reaches; null after a close that could not finish,
  // until the next Open makes a new one.
  std::unique_ptr<CCallbackGate> m_gate;
  std::unique_ptr<CWinThread> m_worker;
  CHeaderQueue<CMIDIOutHeader> m_queue;
  std::atomic<PortState> m_state{Closed};
};

}  // namespace midi

#endif
