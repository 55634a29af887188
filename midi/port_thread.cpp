#include "midi/port_thread.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>

#include "framework/debug_output.h"
#include "framework/thread.h"

namespace midi {

void ReportUnfinishedClose(const char* port) {
  WriteDebugLine(debug_line::kPortCloseUnfinished, port);
}

namespace {

constexpr std::size_t kKeptMax = 256;
const void* g_kept[kKeptMax];
std::atomic<std::size_t> g_keptCount{0};

// An address inside this module: where the port code is linked into a
// program, the module is the program, and leaving it unloads nothing.
const char g_moduleAnchor = 0;

}  // namespace

void KeepForLateCallbacks(const void* object) noexcept {
  const std::size_t slot = g_keptCount.fetch_add(1);
  if (slot < kKeptMax) g_kept[slot] = object;
}

CPortThread* CPortThread::Start(CPortMessageSink* sink, UINT closeMessage,
                                StartFailure& failure) noexcept {
  failure = kNoEvent;
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (ready == nullptr) return nullptr;
  failure = kNoThread;
  // Counted, so that the library stays mapped for as long as the thread runs
  // in it, whatever the host unloads.
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, &g_moduleAnchor, &module)) {
    CloseHandle(ready);
    return nullptr;
  }
  auto* self = new (std::nothrow) CPortThread(sink, closeMessage, module, ready);
  if (self == nullptr) {
    CloseHandle(ready);
    FreeLibrary(module);
    return nullptr;
  }
  std::unique_ptr<CWinThread> thread = AfxBeginThread(&Main, self);
  if (!thread) {
    delete self;
    FreeLibrary(module);
    return nullptr;
  }
  self->m_threadId = thread->m_nThreadID;
  // The system's posts fail until the thread has its queue.
  if (WaitForSingleObject(ready, kStartBound) != WAIT_OBJECT_0) {
    self->Release();
    return nullptr;
  }
  return self;
}

CPortThread::~CPortThread() { CloseHandle(m_ready); }

UINT CPortThread::Main(LPVOID param) {
  auto* self = static_cast<CPortThread*>(param);
  MSG message;
  PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
  SetEvent(self->m_ready);
  self->Run();
  const HMODULE module = self->m_module;
  delete self;
  FreeLibraryAndExitThread(module, 0);
  return 0;
}

void CPortThread::Run() {
  DWORD lastMessage = GetTickCount();
  for (;;) {
    MSG message;
    // Until the port's handle is open there is nothing to hand the port:
    // an open that fails lets the thread go without waiting for it, and
    // the port may be gone at once.
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      const UINT_PTR handle = m_handle.load();
      if (message.hwnd != nullptr || handle == 0 || message.wParam != handle) continue;
      lastMessage = GetTickCount();
      Handle(message);
    }
    if (m_handle.load() != 0 && m_attached.load()) {
      m_inSink.fetch_add(1);
      if (m_attached.load()) {
        try {
          m_sink->OnPortWake();
        } catch (...) {
          // The sink's trouble is the port's; the thread goes on.
        }
      }
      m_inSink.fetch_sub(1);
    }
    if (m_released.load()) {
      const DWORD now = GetTickCount();
      // A handle that never opened has no close message to wait for.
      const bool closed = m_closeSeen.load() || m_handle.load() == 0;
      if (closed && now - lastMessage >= kIdleAfterClose) return;
      if (now - m_closeBegan.load() >= kEndBound) return;
    }
    // A wait the system can't do must not turn the thread into a spin.
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, kWorkerWakeMilliseconds, QS_ALLPOSTMESSAGE) ==
        WAIT_FAILED) {
      Sleep(kWorkerWakeMilliseconds);
    }
  }
}

void CPortThread::Handle(const MSG& message) {
  if (message.message == m_closeMessage) m_closeSeen.store(true);
  // Counted before the port's consent is read, so that Detach sees either
  // the count or a thread that will not call the sink.
  m_inSink.fetch_add(1);
  if (m_attached.load()) {
    try {
      m_sink->OnPortMessage(message.message, message.lParam, message.time);
    } catch (...) {
      // Nothing a receiver throws may end the thread; the message is lost.
    }
  }
  m_inSink.fetch_sub(1);
}

bool CPortThread::WaitIdle(DWORD bound) const {
  if (GetCurrentThreadId() == m_threadId.load()) return false;
  return WaitUntil([this] { return m_inSink.load() == 0; }, bound);
}

bool CPortThread::Detach(DWORD bound) {
  if (m_attached.exchange(false)) m_closeBegan.store(GetTickCount());
  return WaitIdle(bound);
}

void CPortThread::Release() noexcept {
  if (m_attached.exchange(false)) m_closeBegan.store(GetTickCount());
  // From here on the thread may free this object at any moment.
  m_released.store(true);
}

}  // namespace midi
