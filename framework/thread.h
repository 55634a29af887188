// The framework's thread start: a worker thread whose end its owner can
// always wait for, because the owner keeps the thread object (and with it the
// system handle) until it is destroyed.
#ifndef QUILLMOTE_FRAMEWORK_THREAD_H
#define QUILLMOTE_FRAMEWORK_THREAD_H

#include <windows.h>

#include <atomic>
#include <memory>

#include "framework/object.h"

typedef UINT (*AFX_THREADPROC)(LPVOID);

class CWinThread : public CCmdTarget {
 public:
  CWinThread() = default;
  CWinThread(AFX_THREADPROC proc, LPVOID param) : m_proc(proc), m_param(param) {}
  ~CWinThread() override;
  CWinThread(const CWinThread&) = delete;
  CWinThread& operator=(const CWinThread&) = delete;

  // Waits, with no time limit, until the thread's routine has returned.
  // Harmless when it has ended already; when the system can't wait for the
  // thread, the thread's own mark is waited for instead, so that its owner
  // never goes away under it.
  void Join();

  HANDLE m_hThread = nullptr;
  DWORD m_nThreadID = 0;

 private:
  friend std::unique_ptr<CWinThread> AfxBeginThread(AFX_THREADPROC, LPVOID);
  static DWORD WINAPI Trampoline(LPVOID self);

  AFX_THREADPROC m_proc = nullptr;
  LPVOID m_param = nullptr;
  // Set by the thread as the last thing it does with this object.
  std::atomic<bool> m_ended{false};
};

// Starts `proc(param)` at normal priority with the default stack size.
// Returns null when the system cannot start a thread.
std::unique_ptr<CWinThread> AfxBeginThread(AFX_THREADPROC proc, LPVOID param);

#endif
