// What a port's system callback may reach, kept apart from the port itself.
//
// A real driver calls back from its own thread and does not make the close
// calls wait for a callback it has already begun: a done or data notification
// can still arrive after midiOutClose or midiInClose returned, and the close
// notification, the handle's last callback, may come later still. So the
// callback reaches only this gate, never the port, and the gate is freed
// only once the close notification has run and no callback is in progress.
// When that never happens within the port's bound, the gate is kept (lost)
// rather than freed under a callback that may still come.
#ifndef QUILLMOTE_MIDI_CALLBACK_GATE_H
#define QUILLMOTE_MIDI_CALLBACK_GATE_H

#include <windows.h>

#include <atomic>

namespace midi {

// The port's worker wakes at least this often even without a signal: a wake
// the system failed to give then costs a moment, not a hang.
constexpr DWORD kWorkerWakeMilliseconds = 50;

// Polls `done` until it holds or `bound` milliseconds have passed; says
// whether it held. Sleep cannot fail, so the bound holds whatever the
// system's waits do.
template <class Done>
bool WaitUntil(Done done, DWORD bound) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start >= bound) return false;
    Sleep(1);
  }
  return true;
}

class CCallbackGate {
 public:
  // Takes the port's signalling event; the gate closes it when freed.
  explicit CCallbackGate(HANDLE event) : m_event(event) {}
  virtual ~CCallbackGate() { CloseHandle(m_event); }
  CCallbackGate(const CCallbackGate&) = delete;
  CCallbackGate& operator=(const CCallbackGate&) = delete;

  HANDLE Event() const { return m_event; }

  // Every callback runs between Enter and Leave, and touches the gate
  // after Leave no more.
  void Enter() { m_inProgress.fetch_add(1); }
  void Leave() { m_inProgress.fetch_sub(1); }
  // The close notification has run (called inside Enter and Leave).
  void MarkClosed() { m_closed.store(true); }
  // Before a handle is opened on the gate (and MarkClosed again when the
  // open fails: no handle, no callback).
  void Rearm() { m_closed.store(false); }

  bool NoCallbackInProgress() const { return m_inProgress.load() == 0; }
  // No callback of the closed handle can come any more.
  bool Finished() const { return m_closed.load() && m_inProgress.load() == 0; }

 private:
  HANDLE m_event;
  std::atomic<int> m_inProgress{0};
  // True while no handle is open on the gate.
  std::atomic<bool> m_closed{true};
};

// Writes the debugger line that says a port's memory is kept because the
// system did not finish with its handle in time. `port` names the port.
void ReportUnfinishedClose(const char* port);

// Memory kept for a callback that may still come is never freed; it stays
// reachable from the module, so that a leak checker sees it kept on
// purpose. Holds the first few hundred; past that they are only lost.
void KeepForLateCallbacks(const void* object) noexcept;

}  // namespace midi

#endif
