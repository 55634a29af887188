// kernel32's critical sections, each a recursive mutex of its own.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "kernel32_parts.h"
#include "sim_state.h"

namespace {

std::recursive_mutex* MutexOf(LPCRITICAL_SECTION section) {
  auto* mutex =
      section != nullptr ? static_cast<std::recursive_mutex*>(section->LockSemaphore) : nullptr;
  if (mutex == nullptr) {
    // Using a section that was never initialised (or already deleted) is a
    // fault of the caller; stop where it happens rather than later.
    std::fputs("critical section used without InitializeCriticalSection\n", stderr);
    std::abort();
  }
  return mutex;
}

}  // namespace

using qmsim::Guarded;
using qmsim::kernel32::Fail;

extern "C" {

// ---- Critical sections ----

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  qmsim::Guarded([] { qmsim::EnterCall("InitializeCriticalSection"); });
  auto* mutex = new (std::nothrow) std::recursive_mutex;
  if (mutex == nullptr) {
    std::fputs("out of memory in InitializeCriticalSection\n", stderr);
    std::abort();
  }
  *lpCriticalSection = CRITICAL_SECTION{};
  lpCriticalSection->LockSemaphore = mutex;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  qmsim::Guarded([] { qmsim::EnterCall("EnterCriticalSection"); });
  MutexOf(lpCriticalSection)->lock();
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (auto fault = Guarded<std::optional<unsigned>>(
          std::nullopt, [] { return qmsim::EnterCall("TryEnterCriticalSection"); })) {
    return Fail(*fault);
  }
  return MutexOf(lpCriticalSection)->try_lock() ? TRUE : FALSE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  qmsim::Guarded([] { qmsim::EnterCall("LeaveCriticalSection"); });
  MutexOf(lpCriticalSection)->unlock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  qmsim::Guarded([] { qmsim::EnterCall("DeleteCriticalSection"); });
  delete MutexOf(lpCriticalSection);
  lpCriticalSection->LockSemaphore = nullptr;
}

}  // extern "C"
