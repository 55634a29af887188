// kernel32 over the C++ standard library: events, threads and their handles,
// the thread's last error and time (critical sections, modules and the
// debugger output are beside it).
#include <windows.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <thread>

#include "kernel32_parts.h"
#include "native.h"
#include "sim_state.h"
#include "simctl.h"

namespace {

using qmsim::Guarded;

thread_local DWORD t_last_error = ERROR_SUCCESS;
thread_local DWORD t_thread_id = 0;
// Milliseconds this thread asked to wait for in Sleep and in waits that ran
// out (sim_thread_timed_waits).
thread_local unsigned t_timed_waits = 0;

std::atomic<DWORD> g_next_thread_id{0x100};
// Threads started by CreateThread that have not ended (sim_live_threads).
std::atomic<unsigned> g_live_threads{0};

// Thread ids are nonzero multiples of four, like the system's.
DWORD NewThreadId() { return g_next_thread_id.fetch_add(4); }

// Threads started by CreateThread while they run their routine, watched for
// waking on their own (see sim_threads_woke_on_their_own in simctl.h).
struct OwnWakes {
  bool timed_out = false;  // the last wait ended with WAIT_TIMEOUT
  bool woke = false;       // ... and the thread has called the next one
  bool unlimited = false;  // in a wait without a time limit
};

std::mutex& WakesMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

std::map<DWORD, OwnWakes>& Wakes() {
  static auto* wakes = new std::map<DWORD, OwnWakes>;
  return *wakes;
}

}  // namespace

// A thread CreateThread starts is watched from its start until its routine
// has returned.
void WatchWakes(DWORD id) {
  std::lock_guard<std::mutex> lock(WakesMutex());
  Wakes()[id] = OwnWakes{};
}

void ForgetWakes(DWORD id) {
  std::lock_guard<std::mutex> lock(WakesMutex());
  Wakes().erase(id);
}

// A wait of the calling thread begins; a thread CreateThread did not start
// is not watched.
void qmsim::native::WaitBegins(DWORD milliseconds) {
  if (t_thread_id == 0) return;
  std::lock_guard<std::mutex> lock(WakesMutex());
  auto it = Wakes().find(t_thread_id);
  if (it == Wakes().end()) return;
  if (it->second.timed_out) it->second.woke = true;
  it->second.unlimited = milliseconds == INFINITE;
}

void qmsim::native::WaitEnded(DWORD result, DWORD milliseconds) {
  if (result == WAIT_TIMEOUT) t_timed_waits += milliseconds;
  if (t_thread_id == 0) return;
  std::lock_guard<std::mutex> lock(WakesMutex());
  auto it = Wakes().find(t_thread_id);
  if (it == Wakes().end()) return;
  it->second.timed_out = result == WAIT_TIMEOUT;
  it->second.unlimited = false;
}

// A kernel object that can be waited for. Its handles hold it by shared
// pointer, and so does a wait in progress.
class qmsim::native::Waitable {
 public:
  virtual ~Waitable() = default;

  DWORD Wait(DWORD milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [this] { return SignaledLocked(); };
    if (milliseconds == INFINITE) {
      changed_.wait(lock, ready);
    } else if (!changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
      return WAIT_TIMEOUT;
    }
    AcquiredLocked();
    return WAIT_OBJECT_0;
  }

  // A wait that does not block: takes the signal when there is one.
  bool TryAcquire() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!SignaledLocked()) return false;
    AcquiredLocked();
    return true;
  }

  void AddWaker(Waker* waker) {
    std::lock_guard<std::mutex> lock(mutex_);
    wakers_.push_back(waker);
  }

  void RemoveWaker(Waker* waker) {
    std::lock_guard<std::mutex> lock(mutex_);
    wakers_.erase(std::find(wakers_.begin(), wakers_.end(), waker));
  }

 protected:
  virtual bool SignaledLocked() const = 0;
  // What a successful wait consumes (an auto-reset event's signal).
  virtual void AcquiredLocked() {}

  // Under mutex_: every waiter looks again, those waiting beside a message
  // queue included.
  void NotifyLocked() {
    changed_.notify_all();
    for (Waker* waker : wakers_) waker->Wake();
  }

  std::mutex mutex_;
  std::condition_variable changed_;

 private:
  std::vector<Waker*> wakers_;  // under mutex_
};

namespace {

using qmsim::native::Waitable;

class Event : public Waitable {
 public:
  Event(bool manual_reset, bool signaled) : manual_reset_(manual_reset), signaled_(signaled) {}

  void Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    signaled_ = true;
    // Every waiter looks again; for an auto-reset event the first one through
    // takes the signal and the others wait on.
    NotifyLocked();
  }

  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    signaled_ = false;
  }

 private:
  bool SignaledLocked() const override { return signaled_; }
  void AcquiredLocked() override {
    if (!manual_reset_) signaled_ = false;
  }

  const bool manual_reset_;
  bool signaled_;
};

// Where FreeLibraryAndExitThread takes a thread of CreateThread back to: the
// platform's thread start, which lies outside the module being freed.
struct ThreadExit {
  std::jmp_buf back;
  HMODULE module = nullptr;
  DWORD code = 0;
};

thread_local ThreadExit* t_exit = nullptr;

// Runs the routine. Nothing in this frame needs destroying, because
// FreeLibraryAndExitThread comes back into it with longjmp, past the
// routine's own frames; only here, with none of the module's code left on
// the stack, is its module freed.
DWORD CallRoutine(LPTHREAD_START_ROUTINE start, LPVOID parameter, ThreadExit& exit) {
  if (setjmp(exit.back) != 0) {
    t_exit = nullptr;
    qmsim::Guarded([&] { qmsim::native::FreeModule(exit.module); });
    return exit.code;
  }
  t_exit = &exit;
  const DWORD code = start(parameter);
  t_exit = nullptr;
  return code;
}

// A thread as a kernel object: signalled once its routine has returned.
class ThreadObject : public Waitable {
 public:
  ThreadObject(DWORD id, bool suspended) : id_(id), suspended_(suspended) {}

  DWORD id() const { return id_; }

  // On the new thread: waits while suspended, then runs the routine.
  void Run(LPTHREAD_START_ROUTINE start, LPVOID parameter) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !suspended_; });
    }
    ThreadExit exit;
    const DWORD code = CallRoutine(start, parameter, exit);
    ForgetWakes(id_);
    // Whoever sees the thread signalled finds its queue gone and the thread
    // no longer counted.
    qmsim::Guarded([this] { qmsim::native::DropMessageQueue(id_); });
    g_live_threads.fetch_sub(1);
    std::lock_guard<std::mutex> lock(mutex_);
    exit_code_ = code;
    finished_ = true;
    NotifyLocked();
  }

  DWORD Resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    const DWORD previous = suspended_ ? 1 : 0;
    suspended_ = false;
    changed_.notify_all();
    return previous;
  }

  DWORD ExitCode() {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_ ? exit_code_ : STILL_ACTIVE;
  }

 private:
  bool SignaledLocked() const override { return finished_; }

  const DWORD id_;
  bool suspended_;
  bool finished_ = false;
  DWORD exit_code_ = STILL_ACTIVE;
};

// The process's handle table. Handle values are never reused, so a stale
// handle fails cleanly instead of reaching another object.
class HandleTable {
 public:
  HANDLE Add(std::shared_ptr<Waitable> object) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uintptr_t value = next_;
    next_ += 4;
    objects_[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
  }

  std::shared_ptr<Waitable> Find(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    return it == objects_.end() ? nullptr : it->second;
  }

  bool Remove(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    return objects_.erase(reinterpret_cast<uintptr_t>(handle)) != 0;
  }

 private:
  std::mutex mutex_;
  std::map<uintptr_t, std::shared_ptr<Waitable>> objects_;
  uintptr_t next_ = 0x40;
};

// Never destroyed: detached threads may still close handles while the
// process exits.
HandleTable& Handles() {
  static HandleTable* table = new HandleTable;
  return *table;
}

template <class T>
std::shared_ptr<T> FindAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(Handles().Find(handle));
}

}  // namespace

qmsim::native::ObjectWait::ObjectWait(Waker& waker, DWORD count, const HANDLE* handles)
    : waker_(waker) {
  for (DWORD i = 0; i < count; ++i) {
    auto object = Handles().Find(handles[i]);
    if (!object) {
      valid_ = false;
      continue;
    }
    object->AddWaker(&waker_);
    objects_.push_back(std::move(object));
  }
}

qmsim::native::ObjectWait::~ObjectWait() {
  for (auto& object : objects_) object->RemoveWaker(&waker_);
}

int qmsim::native::ObjectWait::TryAcquire() {
  for (std::size_t i = 0; i < objects_.size(); ++i) {
    if (objects_[i]->TryAcquire()) return static_cast<int>(i);
  }
  return -1;
}

DWORD qmsim::native::CurrentThreadId() {
  // Threads that CreateThread did not start get their id on first asking.
  if (t_thread_id == 0) t_thread_id = NewThreadId();
  return t_thread_id;
}

DWORD qmsim::native::TickCount() {
  // Wraps around after 49.7 days, as on Windows.
  const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<DWORD>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since_start).count());
}

BOOL qmsim::kernel32::Fail(DWORD error) {
  t_last_error = error;
  return FALSE;
}

namespace {

using qmsim::kernel32::Fail;

}  // namespace

extern "C" {

// ---- Events and waits ----

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
  return Guarded<HANDLE>(nullptr, [&]() -> HANDLE {
    if (auto fault = qmsim::EnterCall("CreateEventA")) {
      t_last_error = *fault;
      return nullptr;
    }
    try {
      return Handles().Add(std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE));
    } catch (const std::bad_alloc&) {
      t_last_error = ERROR_NOT_ENOUGH_MEMORY;
      return nullptr;
    }
  });
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  return Guarded<BOOL>(FALSE, [&] {
    if (auto fault = qmsim::EnterCall("SetEvent")) return Fail(*fault);
    auto event = FindAs<Event>(hEvent);
    if (!event) return Fail(ERROR_INVALID_HANDLE);
    event->Set();
    return TRUE;
  });
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  return Guarded<BOOL>(FALSE, [&] {
    if (auto fault = qmsim::EnterCall("ResetEvent")) return Fail(*fault);
    auto event = FindAs<Event>(hEvent);
    if (!event) return Fail(ERROR_INVALID_HANDLE);
    event->Reset();
    return TRUE;
  });
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return Guarded<DWORD>(WAIT_FAILED, [&]() -> DWORD {
    if (auto fault = qmsim::EnterCall("WaitForSingleObject")) return *fault;
    auto object = Handles().Find(hHandle);
    if (!object) {
      t_last_error = ERROR_INVALID_HANDLE;
      return WAIT_FAILED;
    }
    qmsim::native::WaitBegins(dwMilliseconds);
    const DWORD result = object->Wait(dwMilliseconds);
    qmsim::native::WaitEnded(result, dwMilliseconds);
    return result;
  });
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  return Guarded<BOOL>(FALSE, [&] {
    if (auto fault = qmsim::EnterCall("CloseHandle")) return Fail(*fault);
    // A running thread keeps its object alive and runs on, detached.
    return Handles().Remove(hObject) ? TRUE : Fail(ERROR_INVALID_HANDLE);
  });
}

// ---- Threads ----

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
  return Guarded<HANDLE>(nullptr, [&]() -> HANDLE {
    if (auto fault = qmsim::EnterCall("CreateThread")) {
      t_last_error = *fault;
      return nullptr;
    }
    if (lpStartAddress == nullptr) {
      t_last_error = ERROR_INVALID_PARAMETER;
      return nullptr;
    }
    try {
      auto thread =
          std::make_shared<ThreadObject>(NewThreadId(), (dwCreationFlags & CREATE_SUSPENDED) != 0);
      HANDLE handle = Handles().Add(thread);
      g_live_threads.fetch_add(1);
      // Made here, by the creator, not when the new thread first runs: what
      // the process holds must not depend on when the scheduler gets to it.
      WatchWakes(thread->id());
      try {
        std::thread([thread, lpStartAddress, lpParameter] {
          t_thread_id = thread->id();
          thread->Run(lpStartAddress, lpParameter);
        }).detach();
      } catch (...) {
        ForgetWakes(thread->id());
        g_live_threads.fetch_sub(1);
        Handles().Remove(handle);
        t_last_error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
      }
      if (lpThreadId != nullptr) *lpThreadId = thread->id();
      return handle;
    } catch (const std::bad_alloc&) {
      t_last_error = ERROR_NOT_ENOUGH_MEMORY;
      return nullptr;
    }
  });
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
  return Guarded<DWORD>(static_cast<DWORD>(-1), [&] {
    if (auto fault = qmsim::EnterCall("ResumeThread")) {
      t_last_error = *fault;
      return static_cast<DWORD>(-1);
    }
    auto thread = FindAs<ThreadObject>(hThread);
    if (!thread) {
      t_last_error = ERROR_INVALID_HANDLE;
      return static_cast<DWORD>(-1);
    }
    return thread->Resume();
  });
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  return Guarded<BOOL>(FALSE, [&] {
    if (auto fault = qmsim::EnterCall("GetExitCodeThread")) return Fail(*fault);
    auto thread = FindAs<ThreadObject>(hThread);
    if (!thread) return Fail(ERROR_INVALID_HANDLE);
    if (lpExitCode == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    *lpExitCode = thread->ExitCode();
    return TRUE;
  });
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int) {
  return Guarded<BOOL>(FALSE, [&] {
    if (auto fault = qmsim::EnterCall("SetThreadPriority")) return Fail(*fault);
    return FindAs<ThreadObject>(hThread) ? TRUE : Fail(ERROR_INVALID_HANDLE);
  });
}

DWORD WINAPI GetCurrentThreadId(void) {
  qmsim::Guarded([] { qmsim::EnterCall("GetCurrentThreadId"); });
  return qmsim::native::CurrentThreadId();
}

void WINAPI FreeLibraryAndExitThread(HMODULE hLibModule, DWORD dwExitCode) {
  qmsim::Guarded([] { qmsim::EnterCall("FreeLibraryAndExitThread"); });
  if (ThreadExit* exit = t_exit) {
    exit->module = hLibModule;
    exit->code = dwExitCode;
    std::longjmp(exit->back, 1);
  }
  // Not a thread of CreateThread: there is no start of ours to go back to.
  qmsim::Guarded([&] { qmsim::native::FreeModule(hLibModule); });
  pthread_exit(nullptr);
}

// ---- Last error and time ----

DWORD WINAPI GetLastError(void) {
  qmsim::Guarded([] { qmsim::EnterCall("GetLastError"); });
  return t_last_error;
}

void WINAPI SetLastError(DWORD dwErrCode) {
  qmsim::Guarded([] { qmsim::EnterCall("SetLastError"); });
  t_last_error = dwErrCode;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  qmsim::Guarded([&] {
    qmsim::EnterCall("Sleep");
    t_timed_waits += dwMilliseconds;
    if (dwMilliseconds == 0) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
    }
  });
}

DWORD WINAPI GetTickCount(void) {
  qmsim::Guarded([] { qmsim::EnterCall("GetTickCount"); });
  return qmsim::native::TickCount();
}

// ---- Waking on their own (simctl.h) ----

void sim_mark_thread_wakes(void) {
  Guarded([] {
    std::lock_guard<std::mutex> lock(WakesMutex());
    for (auto& [id, wakes] : Wakes()) {
      wakes.timed_out = false;
      wakes.woke = false;
    }
  });
}

int sim_threads_woke_on_their_own(void) {
  return Guarded<int>(0, [] {
    std::lock_guard<std::mutex> lock(WakesMutex());
    for (const auto& [id, wakes] : Wakes()) {
      if (!wakes.woke && !wakes.unlimited) return 0;
    }
    return 1;
  });
}

}  // extern "C"

extern "C" unsigned sim_thread_timed_waits(void) { return t_timed_waits; }

extern "C" unsigned sim_live_threads(void) { return g_live_threads.load(); }
