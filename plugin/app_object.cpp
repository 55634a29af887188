#include "plugin/app_object.h"

CQuillmoteDLLApp::CQuillmoteDLLApp() : CWinApp(nullptr) {}

CQuillmoteDLLApp::~CQuillmoteDLLApp() = default;

const AFX_MSGMAP* CQuillmoteDLLApp::GetMessageMap() const {
  static const AFX_MSGMAP_ENTRY kEntries[] = {{0}};
  static const AFX_MSGMAP kMap = {CWinApp::GetMessageMap(), kEntries};
  return &kMap;
}

BOOL CQuillmoteDLLApp::InitInstance() { return CWinApp::InitInstance(); }

CQuillmoteDLLApp theApp;

// Constructed after theApp (same file, later definition), destroyed before it.
static CDllModule theModule(theApp);
