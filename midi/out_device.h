// The output port: one system MIDI output device. Short messages go straight
// to the system; long messages go through a prepared header that owns a copy
// of the bytes. The system posts its notifications to the port's own thread
// (midi/port_thread.h), which gives each header back once the system has
// marked it done.
#ifndef QUILLMOTE_MIDI_OUT_DEVICE_H
#define QUILLMOTE_MIDI_OUT_DEVICE_H

#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <memory>

#include "midi/errors.h"
#include "midi/header_queue.h"
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
  // Copies the bytes (at most Capacity()) and prepares the header for the
  // handle; throws CMIDIOutException.
  void Prepare(HMIDIOUT handle, const char* bytes, DWORD length);
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
};

class CMIDIOutDevice final : private CPortMessageSink {
 public:
  CMIDIOutDevice() = default;
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

  // Dropped silently while not open; throw CMIDIOutException on a refusal.
  void SendShortMsg(DWORD packed);
  void SendLongMsg(const char* bytes, DWORD length);

  // Throws CMIDIOutException.
  static void GetDevCaps(UINT deviceId, MIDIOUTCAPSA& caps);

  // Headers handed to the system and not yet given back, and those kept
  // for reuse.
  std::size_t QueuedHeaders() const { return m_queue.Size(); }
  std::size_t SpareHeaders() const { return m_queue.Spares(); }

  // Close's one deadline: the queued messages have until kDrainBound to go
  // out, a reset until kResetBound to return them, and the close message
  // comes by kCloseBound.
  static constexpr DWORD kDrainBound = 600;
  static constexpr DWORD kResetBound = kDrainBound + 150;
  static constexpr DWORD kCloseBound = kResetBound + 150;

 private:
  // On the port's thread: a done message, or any wake, gives back what the
  // system has finished with.
  void OnPortMessage(UINT message, LPARAM param, DWORD time) override;
  void OnPortWake() override;

  HMIDIOUT m_handle = nullptr;
  CPortThread* m_thread = nullptr;
  CHeaderQueue<CMIDIOutHeader> m_queue;
  std::atomic<PortState> m_state{Closed};
};

}  // namespace midi

#endif
