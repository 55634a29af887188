// The least of a dialog framework over plain Win32: a modal dialog built from
// a resource template of this module, whose initialisation, OK and Cancel
// steps derived classes override.
#ifndef QUILLMOTE_FRAMEWORK_DIALOG_H
#define QUILLMOTE_FRAMEWORK_DIALOG_H

#include <windows.h>

#include "framework/object.h"

// The module whose resources the framework's dialogs are built from: the
// library that contains the framework, not the program that loaded it.
HINSTANCE AfxGetResourceHandle();

class CDialog : public CCmdTarget {
 public:
  CDialog(UINT templateId, HWND parent);
  ~CDialog() override;
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Shows the dialog and returns when it has closed: the value given to
  // EndDialog (IDOK, IDCANCEL, or 0 when initialisation ended it), or -1 when
  // the dialog could not be created or one of its steps failed; either is
  // written to the debugger output.
  virtual INT_PTR DoModal();

  const AFX_MSGMAP* GetMessageMap() const override;

  // Only while the dialog is shown.
  HWND GetSafeHwnd() const { return m_hWnd; }
  HWND GetDlgItem(int id) const;
  void EndDialog(INT_PTR result);

 protected:
  // Called once the window and its controls exist, before it is shown.
  // Returning TRUE lets the system give the focus to the first control.
  virtual BOOL OnInitDialog();
  // The default button or Enter: closes the dialog with IDOK.
  virtual void OnOK();
  // The Cancel button, Escape or the close box: closes it with IDCANCEL.
  virtual void OnCancel();

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  BOOL Dispatch(UINT message, WPARAM wParam);

  UINT m_templateId;
  HWND m_parent;
  HWND m_hWnd = nullptr;
  // Set when a step failed and ended the dialog, which said why already.
  bool m_stepFailed = false;
};

#endif
