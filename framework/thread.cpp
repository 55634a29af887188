#include "framework/thread.h"

#include <new>

namespace {

// What the new thread starts with: its own, freed before the routine runs.
struct ThreadStart {
  AFX_THREADPROC proc;
  LPVOID param;
};

DWORD WINAPI Trampoline(LPVOID block) {
  const ThreadStart start = *static_cast<ThreadStart*>(block);
  delete static_cast<ThreadStart*>(block);
  return start.proc(start.param);
}

}  // namespace

CWinThread::~CWinThread() {
  if (m_hThread != nullptr) CloseHandle(m_hThread);
}

bool CWinThread::Join(DWORD bound) {
  if (m_hThread == nullptr) return true;
  const DWORD result = WaitForSingleObject(m_hThread, bound);
  if (result == WAIT_OBJECT_0) return true;
  if (result != WAIT_FAILED) return false;
  const DWORD start = GetTickCount();
  for (;;) {
    DWORD code = 0;
    if (GetExitCodeThread(m_hThread, &code) && code != STILL_ACTIVE) return true;
    if (GetTickCount() - start >= bound) return false;
    Sleep(1);
  }
}

std::unique_ptr<CWinThread> AfxBeginThread(AFX_THREADPROC proc, LPVOID param) {
  std::unique_ptr<CWinThread> thread(new (std::nothrow) CWinThread);
  auto* start = new (std::nothrow) ThreadStart{proc, param};
  if (!thread || start == nullptr) {
    delete start;
    return nullptr;
  }
  thread->m_hThread = CreateThread(nullptr, 0, &Trampoline, start, 0, &thread->m_nThreadID);
  if (thread->m_hThread == nullptr) {
    delete start;
    return nullptr;
  }
  return thread;
}
