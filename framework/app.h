// The application object of a dynamic library: constructed when the library
// is loaded, initialised by the framework, ended and destroyed at unload.
#ifndef QUILLMOTE_FRAMEWORK_APP_H
#define QUILLMOTE_FRAMEWORK_APP_H

#include <windows.h>

#include "framework/thread.h"

class CWinApp : public CWinThread {
 public:
  explicit CWinApp(const char* appName = nullptr);
  ~CWinApp() override;

  virtual BOOL InitInstance();
  virtual int ExitInstance();

  const char* m_pszAppName;
};

CWinApp* AfxGetApp();

// Runs the library's start-up and shut-down around the application object:
// defined right after that object in the same file, so it is constructed
// after it and destroyed before it.
class CDllModule {
 public:
  explicit CDllModule(CWinApp& app);
  ~CDllModule();
  CDllModule(const CDllModule&) = delete;
  CDllModule& operator=(const CDllModule&) = delete;

  BOOL Initialised() const { return m_initialised; }

 private:
  CWinApp& m_app;
  BOOL m_initialised;
};

#endif
