#include "framework/thread.h"

#include <new>

CWinThread::~CWinThread() {
  if (m_hThread != nullptr) CloseHandle(m_hThread);
}

void CWinThread::Join() {
  if (m_hThread != nullptr) WaitForSingleObject(m_hThread, INFINITE);
}

DWORD WINAPI CWinThread::Trampoline(LPVOID self) {
  auto* thread = static_cast<CWinThread*>(self);
  return thread->m_proc(thread->m_param);
}

std::unique_ptr<CWinThread> AfxBeginThread(AFX_THREADPROC proc, LPVOID param) {
  std::unique_ptr<CWinThread> thread(new (std::nothrow) CWinThread(proc, param));
  if (!thread) return nullptr;
  thread->m_hThread =
      CreateThread(nullptr, 0, &CWinThread::Trampoline, thread.get(), 0, &thread->m_nThreadID);
  if (thread->m_hThread == nullptr) return nullptr;
  return thread;
}
