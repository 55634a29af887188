#include "framework/thread.h"

#include <new>

CWinThread::~CWinThread() {
  if (m_hThread != nullptr) CloseHandle(m_hThread);
}

void CWinThread::Join() {
  if (m_hThread == nullptr) return;
  if (WaitForSingleObject(m_hThread, INFINITE) == WAIT_OBJECT_0) return;
  while (!m_ended.load()) Sleep(1);
}

DWORD WINAPI CWinThread::Trampoline(LPVOID self) {
  auto* thread = static_cast<CWinThread*>(self);
  const UINT result = thread->m_proc(thread->m_param);
  // The owner may destroy the object as soon as it sees this.
  thread->m_ended = true;
  return result;
}

std::unique_ptr<CWinThread> AfxBeginThread(AFX_THREADPROC proc, LPVOID param) {
  std::unique_ptr<CWinThread> thread(new (std::nothrow) CWinThread(proc, param));
  if (!thread) return nullptr;
  thread->m_hThread =
      CreateThread(nullptr, 0, &CWinThread::Trampoline, thread.get(), 0, &thread->m_nThreadID);
  if (thread->m_hThread == nullptr) return nullptr;
  return thread;
}
