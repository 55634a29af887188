#include "framework/app.h"

namespace {

CWinApp* g_app = nullptr;

const AFX_MSGMAP_ENTRY kNoEntries[] = {{0}};
const AFX_MSGMAP kEmptyMap = {nullptr, kNoEntries};

}  // namespace

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return &kEmptyMap; }

CWinApp::CWinApp(const char* appName) : m_pszAppName(appName) { g_app = this; }

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::ExitInstance() { return 0; }

CWinApp* AfxGetApp() { return g_app; }

CDllModule::CDllModule(CWinApp& app) : m_app(app), m_initialised(app.InitInstance()) {}

CDllModule::~CDllModule() { m_app.ExitInstance(); }
