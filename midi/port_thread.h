// A port's own thread. Both ports open their device with CALLBACK_THREAD:
// the system posts the handle's notifications to this thread as thread
// messages, so that no code of ours ever runs on a thread of the system's.
// A driver calls back when it likes (after a close call returned, after the
// close notification, inside a close that waits for it), and a host may
// unload the library the moment CloseController returns; a thread of our own
// decides for itself when it is done.
//
// The thread holds a counted reference to its module, taken on the opening
// thread, and ends only through FreeLibraryAndExitThread, so that it is the
// last of the library to leave: once its handle's close message has come and
// nothing has arrived for kIdleAfterClose, or kEndBound after the close
// began whatever came. Until the port lets go (Release) the port and this
// object are shared; after it, the thread touches only this object, which it
// frees itself, and nothing waits for it.
#ifndef QUILLMOTE_MIDI_PORT_THREAD_H
#define QUILLMOTE_MIDI_PORT_THREAD_H

#include <windows.h>

#include <atomic>

namespace midi {

// The thread wakes at least this often even without a message: a wake the
// system failed to give costs a moment, not a hang.
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

// Writes the debugger line that says a port's memory is kept because the
// system did not finish with its handle in time. `port` names the port.
void ReportUnfinishedClose(const char* port);

// Memory that something may still reach is never freed; it stays reachable
// from the module, so that a leak checker sees it kept on purpose. Holds the
// first few hundred; past that they are only lost.
void KeepForLateCallbacks(const void* object) noexcept;

// What a port's thread hands the notifications of its handle to, while the
// port is attached. Called on the port's thread only.
class CPortMessageSink {
 public:
  // One notification: the MM_ message, its lParam (a packed short message or
  // a MIDIHDR*) and the tick count when the system posted it.
  virtual void OnPortMessage(UINT message, LPARAM param, DWORD time) = 0;
  // After each wake, message or not.
  virtual void OnPortWake() {}

 protected:
  ~CPortMessageSink() = default;
};

class CPortThread {
 public:
  // After the close message, this long without a message ends the thread.
  static constexpr DWORD kIdleAfterClose = 100;
  // The thread ends at the latest this long after the close began: an open
  // that failed, a refused close, a close message that never comes.
  static constexpr DWORD kEndBound = 2000;
  // How long Start waits for the new thread to have its message queue.
  static constexpr DWORD kStartBound = 1000;

  // Why Start gave no thread.
  enum StartFailure { kNoEvent, kNoThread };
  // Starts a thread for a port whose handle gives `closeMessage` last, and
  // waits (at most kStartBound) until it can receive messages. Null, with
  // the reason in `failure`, when the event it signals that with, the
  // module's reference, the thread or its queue could not be had.
  static CPortThread* Start(CPortMessageSink* sink, UINT closeMessage,
                            StartFailure& failure) noexcept;

  DWORD ThreadId() const { return m_threadId.load(); }
  // The handle whose messages count; those of any other are dropped (a
  // thread id may be reused later, and a handle's messages outlive it).
  // The sink is called only once the handle is set.
  void SetHandle(UINT_PTR handle) { m_handle.store(handle); }
  // Waits at most `bound` until no notification is being handed to the sink
  // (at once false on the port's own thread, which is inside one).
  bool WaitIdle(DWORD bound) const;
  // The close begins: the sink is called no more. Waits as WaitIdle does and
  // says whether nothing was being handed to it any more.
  bool Detach(DWORD bound);
  // The handle's close message has come.
  bool CloseSeen() const { return m_closeSeen.load(); }
  // The port's last touch: the thread ends by itself as said above and
  // frees this object. `this` must not be used afterwards.
  void Release() noexcept;

 private:
  CPortThread(CPortMessageSink* sink, UINT closeMessage, HMODULE module, HANDLE ready)
      : m_sink(sink), m_closeMessage(closeMessage), m_module(module), m_ready(ready) {}
  ~CPortThread();
  CPortThread(const CPortThread&) = delete;
  CPortThread& operator=(const CPortThread&) = delete;

  static UINT Main(LPVOID self);
  // The loop; returns when the thread may end.
  void Run();
  void Handle(const MSG& message);

  CPortMessageSink* const m_sink;
  const UINT m_closeMessage;
  const HMODULE m_module;
  const HANDLE m_ready;
  std::atomic<DWORD> m_threadId{0};
  std::atomic<UINT_PTR> m_handle{0};
  std::atomic<bool> m_attached{true};
  std::atomic<int> m_inSink{0};
  std::atomic<bool> m_closeSeen{false};
  std::atomic<bool> m_released{false};
  std::atomic<DWORD> m_closeBegan{0};
};

}  // namespace midi

#endif
