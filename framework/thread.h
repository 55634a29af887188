// The framework's thread start. The thread owns what it runs with, so that
// its routine may end the thread any way it likes (FreeLibraryAndExitThread
// among them) and its owner may let the thread object go while it runs:
// destroying the object only closes the system's handle.
#ifndef QUILLMOTE_FRAMEWORK_THREAD_H
#define QUILLMOTE_FRAMEWORK_THREAD_H

#include <windows.h>

#include <memory>

#include "framework/object.h"

typedef UINT (*AFX_THREADPROC)(LPVOID);

class CWinThread : public CCmdTarget {
 public:
  CWinThread() = default;
  ~CWinThread() override;
  CWinThread(const CWinThread&) = delete;
  CWinThread& operator=(const CWinThread&) = delete;

  // Waits at most `bound` milliseconds for the thread to end; true when it
  // has. When the system can't wait for the thread, its exit code is asked
  // instead until the bound has passed.
  bool Join(DWORD bound);

  HANDLE m_hThread = nullptr;
  DWORD m_nThreadID = 0;
};

// Starts `proc(param)` at normal priority with the default stack size.
// Returns null when the system cannot start a thread.
std::unique_ptr<CWinThread> AfxBeginThread(AFX_THREADPROC proc, LPVOID param);

#endif
