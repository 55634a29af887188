#include "framework/dialog.h"

#include <exception>

#include "framework/debug_output.h"

namespace {

const AFX_MSGMAP_ENTRY kNoEntries[] = {{0}};

}  // namespace

HINSTANCE AfxGetResourceHandle() {
  HMODULE module = nullptr;
  // Any address inside this module names it; the reference count is left
  // alone because the module cannot go away while its own code runs.
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&AfxGetResourceHandle), &module);
  return module;
}

CDialog::CDialog(UINT templateId, HWND parent) : m_templateId(templateId), m_parent(parent) {}

CDialog::~CDialog() = default;

const AFX_MSGMAP* CDialog::GetMessageMap() const {
  static const AFX_MSGMAP kMap = {CCmdTarget::GetMessageMap(), kNoEntries};
  return &kMap;
}

INT_PTR CDialog::DoModal() {
  m_stepFailed = false;
  const INT_PTR result =
      DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_templateId), m_parent,
                      &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
  const DWORD error = GetLastError();
  m_hWnd = nullptr;
  // A dialog that a failed step ended was shown, and the step said what
  // failed; the system's last error would be a stale one.
  if (result == -1 && !m_stepFailed) {
    WriteDebugLine(debug_line::kDialogNotShown, m_templateId, static_cast<unsigned long>(error));
  }
  return result;
}

HWND CDialog::GetDlgItem(int id) const {
  return m_hWnd != nullptr ? ::GetDlgItem(m_hWnd, id) : nullptr;
}

void CDialog::EndDialog(INT_PTR result) {
  if (m_hWnd != nullptr) ::EndDialog(m_hWnd, result);
}

BOOL CDialog::OnInitDialog() { return TRUE; }

void CDialog::OnOK() { EndDialog(IDOK); }

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::Dispatch(UINT message, WPARAM wParam) {
  if (message == WM_COMMAND) {
    switch (LOWORD(wParam)) {
      case IDOK:
        OnOK();
        return TRUE;
      case IDCANCEL:
        OnCancel();
        return TRUE;
      default:
        return FALSE;
    }
  }
  return FALSE;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // The system calls this procedure; no exception may travel back into it.
  CDialog* dialog = nullptr;
  try {
    if (message == WM_INITDIALOG) {
      dialog = reinterpret_cast<CDialog*>(lParam);
      SetWindowLongPtrA(window, GWLP_USERDATA, lParam);
      dialog->m_hWnd = window;
      return dialog->OnInitDialog();
    }
    // Messages that come before WM_INITDIALOG (fonts, sizes) find no object.
    dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (dialog == nullptr) return FALSE;
    return dialog->Dispatch(message, wParam);
  } catch (const std::exception& e) {
    OutputDebugStringA("Dialog step failed: ");
    OutputDebugStringA(e.what());
    OutputDebugStringA("\n");
  } catch (...) {
    OutputDebugStringA("Dialog step failed\n");
  }
  if (dialog != nullptr) dialog->m_stepFailed = true;
  ::EndDialog(window, -1);
  return TRUE;
}
