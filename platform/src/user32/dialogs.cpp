// user32's windows and modal dialogs over a headless engine (see winuser.h).
#include "window_table.h"

namespace qmsim::ui {

std::mutex g_mutex;
std::map<HWND, std::shared_ptr<Window>> g_windows;
ULONG_PTR g_nextHandle = 0x20000;
HWND g_focus = nullptr;
UserSide g_user;

std::shared_ptr<Window> Lookup(HWND handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const auto it = g_windows.find(handle);
  return it == g_windows.end() ? nullptr : it->second;
}

std::shared_ptr<Window> LookupOrFail(HWND handle) {
  auto window = Lookup(handle);
  if (!window) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return window;
}

std::string Lower(const std::string& text) {
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

int CopyOut(const std::string& text, LPSTR buffer, int capacity) {
  if (buffer == nullptr || capacity <= 0) return 0;
  const int length = std::min(static_cast<int>(text.size()), capacity - 1);
  std::memcpy(buffer, text.data(), static_cast<std::size_t>(length));
  buffer[length] = 0;
  return length;
}

bool Ended(HWND dialog) {
  auto window = Lookup(dialog);
  std::lock_guard<std::mutex> lock(g_mutex);
  return !window || window->ended;
}

HWND Register(Window window) {
  auto shared = std::make_shared<Window>(std::move(window));
  const HWND handle = reinterpret_cast<HWND>(g_nextHandle);
  g_nextHandle += 4;
  shared->handle = handle;
  g_windows[handle] = shared;
  return handle;
}

INT_PTR RunModal(const BYTE* data, std::size_t size, HWND owner, DLGPROC proc, LPARAM param) {
  Window dialog;
  std::vector<Window> controls;
  if (data == nullptr || !ParseTemplate(data, size, dialog, controls)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  HWND handle = nullptr;
  HWND firstStop = nullptr;
  sim_dialog_script script = nullptr;
  void* context = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    dialog.parent = owner;
    dialog.proc = proc;
    handle = Register(std::move(dialog));
    auto& created = *g_windows[handle];
    for (Window& control : controls) {
      control.parent = handle;
      const DWORD style = control.style;
      const HWND child = Register(std::move(control));
      created.children.push_back(child);
      if (firstStop == nullptr && (style & WS_TABSTOP) != 0 && (style & WS_VISIBLE) != 0 &&
          (style & WS_DISABLED) == 0) {
        firstStop = child;
      }
    }
    ++g_user.dialogs;
    script = g_user.script;
    context = g_user.context;
  }

  const LRESULT focusFirst =
      Send(handle, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstStop), param);
  if (focusFirst != FALSE && firstStop != nullptr && !Ended(handle)) SetFocus(firstStop);
  if (!Ended(handle) && script != nullptr) script(context, handle);
  if (!Ended(handle)) {
    // The user who has nothing more to do presses Escape.
    HWND cancel = GetDlgItem(handle, IDCANCEL);
    Send(handle, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel));
  }
  if (!Ended(handle)) {
    OutputDebugStringA("A dialog ignored Escape; the simulated user closed it\n");
    EndDialog(handle, IDCANCEL);
  }

  std::lock_guard<std::mutex> lock(g_mutex);
  const auto window = g_windows[handle];
  for (HWND child : window->children) {
    if (g_focus == child) g_focus = nullptr;
    g_windows.erase(child);
  }
  if (g_focus == handle) g_focus = nullptr;
  g_windows.erase(handle);
  return window->result;
}

}  // namespace qmsim::ui

using namespace qmsim::ui;

extern "C" {

INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  return qmsim::Guarded<INT_PTR>(-1, [&]() -> INT_PTR {
    if (auto fault = qmsim::EnterCall("DialogBoxParamA")) {
      SetLastError(*fault);
      return -1;
    }
    HRSRC resource = FindResourceA(hInstance, lpTemplateName, RT_DIALOG);
    if (resource == nullptr) return -1;  // FindResourceA set the error
    const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(hInstance, resource)));
    return RunModal(data, SizeofResource(hInstance, resource), hWndParent, lpDialogFunc,
                    dwInitParam);
  });
}

INT_PTR WINAPI DialogBoxIndirectParamA(HINSTANCE, LPCDLGTEMPLATEA hDialogTemplate, HWND hWndParent,
                                       DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  return qmsim::Guarded<INT_PTR>(-1, [&]() -> INT_PTR {
    if (auto fault = qmsim::EnterCall("DialogBoxIndirectParamA")) {
      SetLastError(*fault);
      return -1;
    }
    // The caller vouches for the template's extent.
    return RunModal(reinterpret_cast<const BYTE*>(hDialogTemplate), 0x10000, hWndParent,
                    lpDialogFunc, dwInitParam);
  });
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
  return qmsim::Guarded(FALSE, [&]() -> BOOL {
    qmsim::EnterCall("EndDialog");
    auto window = LookupOrFail(hDlg);
    if (!window || !window->IsDialog()) return FALSE;
    std::lock_guard<std::mutex> lock(g_mutex);
    window->ended = true;
    window->result = nResult;
    return TRUE;
  });
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
  return qmsim::Guarded<HWND>(nullptr, [&]() -> HWND {
    auto window = LookupOrFail(hDlg);
    if (!window) return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    HWND child = ChildWithId(*window, nIDDlgItem);
    if (child == nullptr) SetLastError(ERROR_INVALID_DLG_ITEM);
    return child;
  });
}

int WINAPI GetDlgCtrlID(HWND hWnd) {
  return qmsim::Guarded(0, [&] {
    auto window = LookupOrFail(hWnd);
    return window ? window->id : 0;
  });
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  return qmsim::Guarded<LRESULT>(0, [&] { return Send(hWnd, Msg, wParam, lParam); });
}

LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam,
                                   LPARAM lParam) {
  HWND item = GetDlgItem(hDlg, nIDDlgItem);
  return item != nullptr ? SendMessageA(item, Msg, wParam, lParam) : 0;
}

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
  return static_cast<int>(SendMessageA(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount),
                                       reinterpret_cast<LPARAM>(lpString)));
}

int WINAPI GetWindowTextLengthA(HWND hWnd) {
  return static_cast<int>(SendMessageA(hWnd, WM_GETTEXTLENGTH, 0, 0));
}

BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString) {
  return SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) != 0 ? TRUE : FALSE;
}

int WINAPI GetClassNameA(HWND hWnd, LPSTR lpClassName, int nMaxCount) {
  return qmsim::Guarded(0, [&] {
    auto window = LookupOrFail(hWnd);
    return window ? CopyOut(window->className, lpClassName, nMaxCount) : 0;
  });
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) {
  return qmsim::Guarded<LONG_PTR>(0, [&]() -> LONG_PTR {
    auto window = LookupOrFail(hWnd);
    if (!window) return 0;
    std::lock_guard<std::mutex> lock(g_mutex);
    switch (nIndex) {
      case GWL_STYLE:
        return static_cast<LONG>(window->style);
      case GWL_EXSTYLE:
        return static_cast<LONG>(window->exStyle);
      case GWLP_ID:
        return window->id;
      case GWLP_USERDATA:
        return window->userData;
      default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
  });
}

LONG WINAPI GetWindowLongA(HWND hWnd, int nIndex) {
  return static_cast<LONG>(GetWindowLongPtrA(hWnd, nIndex));
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  return qmsim::Guarded<LONG_PTR>(0, [&]() -> LONG_PTR {
    auto window = LookupOrFail(hWnd);
    if (!window) return 0;
    std::lock_guard<std::mutex> lock(g_mutex);
    LONG_PTR previous = 0;
    switch (nIndex) {
      case GWL_STYLE:
        previous = static_cast<LONG>(window->style);
        window->style = static_cast<DWORD>(dwNewLong);
        return previous;
      case GWLP_ID:
        previous = window->id;
        window->id = static_cast<int>(dwNewLong);
        return previous;
      case GWLP_USERDATA:
        previous = window->userData;
        window->userData = dwNewLong;
        return previous;
      default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
  });
}

HWND WINAPI GetParent(HWND hWnd) {
  return qmsim::Guarded<HWND>(nullptr, [&]() -> HWND {
    auto window = LookupOrFail(hWnd);
    return window ? window->parent : nullptr;
  });
}

HWND WINAPI GetWindow(HWND hWnd, UINT uCmd) {
  return qmsim::Guarded<HWND>(nullptr, [&]() -> HWND {
    auto window = LookupOrFail(hWnd);
    if (!window) return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (uCmd == GW_CHILD) return window->children.empty() ? nullptr : window->children.front();
    if (uCmd == GW_OWNER) return window->IsDialog() ? window->parent : nullptr;
    const auto parent = g_windows.find(window->parent);
    if (window->IsDialog() || parent == g_windows.end()) return nullptr;
    const std::vector<HWND>& siblings = parent->second->children;
    const auto at = std::find(siblings.begin(), siblings.end(), hWnd);
    switch (uCmd) {
      case GW_HWNDFIRST:
        return siblings.front();
      case GW_HWNDLAST:
        return siblings.back();
      case GW_HWNDNEXT:
        return at + 1 < siblings.end() ? *(at + 1) : nullptr;
      case GW_HWNDPREV:
        return at > siblings.begin() ? *(at - 1) : nullptr;
      default:
        return nullptr;
    }
  });
}

BOOL WINAPI IsWindow(HWND hWnd) { return Lookup(hWnd) ? TRUE : FALSE; }

HWND WINAPI SetFocus(HWND hWnd) {
  return qmsim::Guarded<HWND>(nullptr, [&]() -> HWND {
    if (hWnd != nullptr && !LookupOrFail(hWnd)) return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    const HWND previous = g_focus;
    g_focus = hWnd;
    return previous;
  });
}

HWND WINAPI GetFocus(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_focus;
}

HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName) {
  return qmsim::Guarded<HWND>(nullptr, [&]() -> HWND {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const auto& [handle, window] : g_windows) {
      if (!window->IsDialog()) continue;
      if (lpClassName != nullptr && !IS_INTRESOURCE(lpClassName) &&
          Lower(lpClassName) != Lower(window->className)) {
        continue;
      }
      if (lpWindowName != nullptr && window->text != lpWindowName) continue;
      return handle;
    }
    return nullptr;
  });
}

int WINAPI MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT) {
  return qmsim::Guarded(0, [&] {
    qmsim::EnterCall("MessageBoxA");
    std::lock_guard<std::mutex> lock(g_mutex);
    std::string entry = lpCaption != nullptr ? lpCaption : "Error";
    entry += '\n';
    entry += lpText != nullptr ? lpText : "";
    g_user.messageBoxes.push_back(entry);
    return g_user.answer;
  });
}

}  // extern "C"
