#ifndef QUILLMOTE_PLUGIN_APP_OBJECT_H
#define QUILLMOTE_PLUGIN_APP_OBJECT_H

#include "framework/app.h"

// The library's application object. It adds nothing to the framework's
// behaviour; the plug-in starts only when the host opens it.
class CQuillmoteDLLApp : public CWinApp {
 public:
  CQuillmoteDLLApp();
  ~CQuillmoteDLLApp() override;
  const AFX_MSGMAP* GetMessageMap() const override;
  BOOL InitInstance() override;
};

extern CQuillmoteDLLApp theApp;

#endif
