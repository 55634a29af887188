// user32's windows and modal dialogs over a headless engine (see winuser.h),
// and the simulated user of simctl.h who reads and works them.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim_state.h"
#include "simctl.h"

namespace {

constexpr char kDialogClass[] = "#32770";

struct Window {
  HWND handle = nullptr;
  HWND parent = nullptr;
  std::string className;
  DWORD style = 0;
  DWORD exStyle = 0;
  int id = 0;
  std::string text;
  short x = 0, y = 0, cx = 0, cy = 0;
  LONG_PTR userData = 0;
  std::vector<HWND> children;
  // A dialog's own.
  DLGPROC proc = nullptr;
  bool ended = false;
  INT_PTR result = 0;
  std::string fontName;
  int pointSize = 0;
  // A combo box's list and selection; `text` is its edit field.
  std::vector<std::string> items;
  int selected = -1;

  bool IsDialog() const { return className == kDialogClass; }
  bool IsCombo() const { return className == "ComboBox"; }
};

struct UserSide {
  sim_dialog_script script = nullptr;
  void* context = nullptr;
  unsigned dialogs = 0;
  std::vector<std::string> messageBoxes;
  int answer = IDOK;
};

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

// Copies `text` into a caller's buffer of `capacity` bytes as Windows does:
// cut to fit with its terminator; returns the characters copied.
int CopyOut(const std::string& text, LPSTR buffer, int capacity) {
  if (buffer == nullptr || capacity <= 0) return 0;
  const int length = std::min(static_cast<int>(text.size()), capacity - 1);
  std::memcpy(buffer, text.data(), static_cast<std::size_t>(length));
  buffer[length] = 0;
  return length;
}

// ---- Templates ----

class TemplateReader {
 public:
  TemplateReader(const BYTE* data, std::size_t size) : m_data(data), m_size(size) {}

  bool Word(WORD& out) {
    if (m_at + 2 > m_size) return false;
    out = static_cast<WORD>(m_data[m_at] | (m_data[m_at + 1] << 8));
    m_at += 2;
    return true;
  }
  bool Short(short& out) {
    WORD word = 0;
    if (!Word(word)) return false;
    out = static_cast<short>(word);
    return true;
  }
  bool Dword(DWORD& out) {
    WORD low = 0, high = 0;
    if (!Word(low) || !Word(high)) return false;
    out = static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16);
    return true;
  }
  bool Byte(BYTE& out) {
    if (m_at + 1 > m_size) return false;
    out = m_data[m_at++];
    return true;
  }
  // A NUL-terminated UTF-16 text; characters beyond ASCII become '?'.
  bool Text(std::string& out, WORD first) {
    out.clear();
    for (WORD c = first; c != 0;) {
      out += static_cast<char>(c < 0x80 ? c : '?');
      if (!Word(c)) return false;
    }
    return true;
  }
  // Nothing (0), an ordinal (0xFFFF and a WORD) or a text.
  bool TextOrOrdinal(std::string& text, std::optional<WORD>& ordinal) {
    WORD first = 0;
    if (!Word(first)) return false;
    ordinal.reset();
    text.clear();
    if (first == 0xFFFF) {
      WORD value = 0;
      if (!Word(value)) return false;
      ordinal = value;
      return true;
    }
    return Text(text, first);
  }
  void AlignDword() { m_at = (m_at + 3) & ~std::size_t{3}; }

 private:
  const BYTE* m_data;
  std::size_t m_size;
  std::size_t m_at = 0;
};

const char* ClassOfAtom(WORD atom) {
  switch (atom) {
    case 0x80:
      return "Button";
    case 0x81:
      return "Edit";
    case 0x82:
      return "Static";
    case 0x83:
      return "ListBox";
    case 0x84:
      return "ScrollBar";
    case 0x85:
      return "ComboBox";
    default:
      return "#unknown";
  }
}

// The dialog and its controls as described by a DIALOGEX or DIALOG
// template; nothing is registered yet.
bool ParseTemplate(const BYTE* data, std::size_t size, Window& dialog,
                   std::vector<Window>& controls) {
  TemplateReader in(data, size);
  WORD version = 0, signature = 0;
  if (!in.Word(version) || !in.Word(signature)) return false;
  const bool extended = version == 1 && signature == 0xFFFF;
  WORD count = 0;
  if (extended) {
    DWORD helpId = 0;
    if (!in.Dword(helpId) || !in.Dword(dialog.exStyle) || !in.Dword(dialog.style)) return false;
  } else {
    in = TemplateReader(data, size);
    if (!in.Dword(dialog.style) || !in.Dword(dialog.exStyle)) return false;
  }
  if (!in.Word(count) || !in.Short(dialog.x) || !in.Short(dialog.y) || !in.Short(dialog.cx) ||
      !in.Short(dialog.cy)) {
    return false;
  }
  std::string ignored;
  std::optional<WORD> ordinal;
  if (!in.TextOrOrdinal(ignored, ordinal)) return false;  // menu
  if (!in.TextOrOrdinal(ignored, ordinal)) return false;  // window class
  WORD first = 0;
  if (!in.Word(first) || !in.Text(dialog.text, first)) return false;
  if ((dialog.style & DS_SETFONT) != 0) {
    WORD points = 0;
    if (!in.Word(points)) return false;
    dialog.pointSize = points;
    if (extended) {
      WORD weight = 0;
      BYTE italic = 0, charset = 0;
      if (!in.Word(weight) || !in.Byte(italic) || !in.Byte(charset)) return false;
    }
    if (!in.Word(first) || !in.Text(dialog.fontName, first)) return false;
  }
  dialog.className = kDialogClass;

  for (WORD i = 0; i < count; ++i) {
    in.AlignDword();
    Window control;
    if (extended) {
      DWORD helpId = 0, id = 0;
      if (!in.Dword(helpId) || !in.Dword(control.exStyle) || !in.Dword(control.style) ||
          !in.Short(control.x) || !in.Short(control.y) || !in.Short(control.cx) ||
          !in.Short(control.cy) || !in.Dword(id)) {
        return false;
      }
      control.id = static_cast<int>(id);
    } else {
      WORD id = 0;
      if (!in.Dword(control.style) || !in.Dword(control.exStyle) || !in.Short(control.x) ||
          !in.Short(control.y) || !in.Short(control.cx) || !in.Short(control.cy) || !in.Word(id)) {
        return false;
      }
      control.id = static_cast<short>(id);
    }
    if (!in.TextOrOrdinal(control.className, ordinal)) return false;
    if (ordinal) control.className = ClassOfAtom(*ordinal);
    if (!in.TextOrOrdinal(control.text, ordinal)) return false;
    WORD extra = 0;
    if (!in.Word(extra)) return false;
    for (WORD skip = 0; skip < extra; ++skip) {
      BYTE byte = 0;
      if (!in.Byte(byte)) return false;
    }
    controls.push_back(std::move(control));
  }
  return true;
}

// ---- Messages ----

LRESULT TextMessage(Window& window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SETTEXT: {
      const auto* text = reinterpret_cast<LPCSTR>(lParam);
      window.text = text != nullptr ? text : "";
      return TRUE;
    }
    case WM_GETTEXT:
      return CopyOut(window.text, reinterpret_cast<LPSTR>(lParam), static_cast<int>(wParam));
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(window.text.size());
    default:
      return 0;
  }
}

// Where a text goes in a sorted list: after every item that does not sort
// after it.
std::size_t SortedPosition(const std::vector<std::string>& items, const std::string& text) {
  const std::string key = Lower(text);
  std::size_t at = 0;
  while (at < items.size() && Lower(items[at]) <= key) ++at;
  return at;
}

LRESULT Find(const Window& combo, WPARAM start, LPCSTR text, bool exact) {
  const int count = static_cast<int>(combo.items.size());
  if (count == 0 || text == nullptr) return CB_ERR;
  const int after = static_cast<int>(start);
  const int begin = (after < 0 || after >= count) ? 0 : after + 1;
  const std::string key = Lower(text);
  for (int step = 0; step < count; ++step) {
    const int index = (begin + step) % count;
    const std::string item = Lower(combo.items[static_cast<std::size_t>(index)]);
    if (exact ? item == key : item.compare(0, key.size(), key) == 0) return index;
  }
  return CB_ERR;
}

LRESULT Select(Window& combo, int index) {
  if (index < 0 || index >= static_cast<int>(combo.items.size())) {
    combo.selected = -1;
    if (index == -1) combo.text.clear();
    return CB_ERR;
  }
  combo.selected = index;
  combo.text = combo.items[static_cast<std::size_t>(index)];
  return index;
}

LRESULT ComboMessage(Window& combo, UINT message, WPARAM wParam, LPARAM lParam) {
  const int count = static_cast<int>(combo.items.size());
  const int index = static_cast<int>(wParam);
  const auto* text = reinterpret_cast<LPCSTR>(lParam);
  switch (message) {
    case CB_ADDSTRING:
    case CB_INSERTSTRING: {
      if (text == nullptr) return CB_ERR;
      std::size_t at = combo.items.size();
      if (message == CB_ADDSTRING && (combo.style & CBS_SORT) != 0) {
        at = SortedPosition(combo.items, text);
      } else if (message == CB_INSERTSTRING && index != -1) {
        if (index < 0 || index > count) return CB_ERR;
        at = static_cast<std::size_t>(index);
      }
      combo.items.insert(combo.items.begin() + static_cast<std::ptrdiff_t>(at), text);
      if (combo.selected >= static_cast<int>(at)) ++combo.selected;
      return static_cast<LRESULT>(at);
    }
    case CB_DELETESTRING:
      if (index < 0 || index >= count) return CB_ERR;
      combo.items.erase(combo.items.begin() + index);
      if (combo.selected == index) combo.selected = -1;
      if (combo.selected > index) --combo.selected;
      return count - 1;
    case CB_RESETCONTENT:
      combo.items.clear();
      combo.selected = -1;
      combo.text.clear();
      return CB_OKAY;
    case CB_GETCOUNT:
      return count;
    case CB_GETCURSEL:
      return combo.selected;
    case CB_SETCURSEL:
      return Select(combo, index);
    case CB_GETLBTEXT:
      if (index < 0 || index >= count || lParam == 0) return CB_ERR;
      {
        const std::string& item = combo.items[static_cast<std::size_t>(index)];
        std::memcpy(reinterpret_cast<char*>(lParam), item.c_str(), item.size() + 1);
        return static_cast<LRESULT>(item.size());
      }
    case CB_GETLBTEXTLEN:
      if (index < 0 || index >= count) return CB_ERR;
      return static_cast<LRESULT>(combo.items[static_cast<std::size_t>(index)].size());
    case CB_FINDSTRINGEXACT:
      return Find(combo, wParam, text, true);
    case CB_FINDSTRING:
      return Find(combo, wParam, text, false);
    default:
      return TextMessage(combo, message, wParam, lParam);
  }
}

HWND ChildWithId(const Window& dialog, int id) {
  for (HWND child : dialog.children) {
    const auto it = g_windows.find(child);
    if (it != g_windows.end() && it->second->id == id) return child;
  }
  return nullptr;
}

LRESULT Send(HWND handle, UINT message, WPARAM wParam, LPARAM lParam);

// A control tells its dialog what happened to it.
void Notify(const Window& control, WORD code) {
  if (control.parent == nullptr) return;
  Send(control.parent, WM_COMMAND, MAKEWPARAM(control.id, code),
       reinterpret_cast<LPARAM>(control.handle));
}

LRESULT Send(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  auto window = LookupOrFail(handle);
  if (!window) return 0;
  if (window->IsDialog()) {
    DLGPROC proc = nullptr;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      proc = window->proc;
    }
    // The dialog procedure runs with no lock held: it calls back in.
    const INT_PTR handled = proc != nullptr ? proc(handle, message, wParam, lParam) : FALSE;
    if (message == WM_INITDIALOG || handled != FALSE) return handled;
    if (message == WM_CLOSE) {
      HWND cancel = nullptr;
      {
        std::lock_guard<std::mutex> lock(g_mutex);
        cancel = ChildWithId(*window, IDCANCEL);
      }
      return Send(handle, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                  reinterpret_cast<LPARAM>(cancel));
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    return TextMessage(*window, message, wParam, lParam);
  }
  if (message == BM_CLICK) {
    if (window->className == "Button" && (window->style & WS_DISABLED) == 0) {
      Notify(*window, BN_CLICKED);
    }
    return 0;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  if (window->IsCombo()) return ComboMessage(*window, message, wParam, lParam);
  return TextMessage(*window, message, wParam, lParam);
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

template <class F>
int UserAction(HWND handle, F&& action) {
  return qmsim::Guarded(0, [&] {
    auto window = Lookup(handle);
    if (!window) return 0;
    return action(window) ? 1 : 0;
  });
}

}  // namespace

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

// ---- The simulated user (simctl.h) ----

void sim_set_dialog_script(sim_dialog_script script, void* context) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_user.script = script;
  g_user.context = context;
}

int sim_user_choose(void* combo, int index) {
  return UserAction(static_cast<HWND>(combo), [&](const std::shared_ptr<Window>& window) {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      if (!window->IsCombo() || index < 0 || index >= static_cast<int>(window->items.size())) {
        return false;
      }
      Select(*window, index);
    }
    Notify(*window, CBN_SELCHANGE);
    return true;
  });
}

int sim_user_type(void* control, const char* text) {
  return UserAction(static_cast<HWND>(control), [&](const std::shared_ptr<Window>& window) {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      if (window->IsDialog()) return false;
      window->text = text != nullptr ? text : "";
      if (window->IsCombo()) window->selected = -1;
    }
    if (window->IsCombo()) Notify(*window, CBN_EDITCHANGE);
    return true;
  });
}

int sim_user_click(void* dialog, int id) {
  return UserAction(static_cast<HWND>(dialog), [&](const std::shared_ptr<Window>& window) {
    HWND button = nullptr;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      button = ChildWithId(*window, id);
    }
    auto control = Lookup(button);
    if (!control || control->className != "Button") return false;
    Send(button, BM_CLICK, 0, 0);
    return true;
  });
}

int sim_user_key(void* dialog, int virtual_key) {
  return UserAction(static_cast<HWND>(dialog), [&](const std::shared_ptr<Window>& window) {
    if (!window->IsDialog()) return false;
    int id = 0;
    HWND button = nullptr;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      if (virtual_key == VK_ESCAPE) {
        id = IDCANCEL;
      } else if (virtual_key == VK_RETURN) {
        id = IDOK;
        for (HWND child : window->children) {
          const Window& control = *g_windows[child];
          if (control.className == "Button" &&
              (control.style & BS_TYPEMASK) == static_cast<DWORD>(BS_DEFPUSHBUTTON)) {
            id = control.id;
            break;
          }
        }
      } else {
        return false;
      }
      button = ChildWithId(*window, id);
    }
    Send(window->handle, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return true;
  });
}

int sim_user_close(void* dialog) {
  return UserAction(static_cast<HWND>(dialog), [&](const std::shared_ptr<Window>& window) {
    if (!window->IsDialog()) return false;
    Send(window->handle, WM_CLOSE, 0, 0);
    return true;
  });
}

int sim_window_rect(void* window, int* x, int* y, int* cx, int* cy) {
  return UserAction(static_cast<HWND>(window), [&](const std::shared_ptr<Window>& found) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (x != nullptr) *x = found->x;
    if (y != nullptr) *y = found->y;
    if (cx != nullptr) *cx = found->cx;
    if (cy != nullptr) *cy = found->cy;
    return true;
  });
}

int sim_dialog_font(void* dialog, char* buf, size_t cap) {
  return qmsim::Guarded(0, [&] {
    auto window = Lookup(static_cast<HWND>(dialog));
    if (!window || !window->IsDialog()) return 0;
    std::lock_guard<std::mutex> lock(g_mutex);
    CopyOut(window->fontName, buf, static_cast<int>(cap));
    return window->pointSize;
  });
}

unsigned sim_dialog_count(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_user.dialogs;
}

unsigned sim_window_count(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return static_cast<unsigned>(g_windows.size());
}

size_t sim_message_box_count(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_user.messageBoxes.size();
}

size_t sim_message_box_text(size_t index, char* buf, size_t cap) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (index >= g_user.messageBoxes.size()) return 0;
  const std::string& text = g_user.messageBoxes[index];
  CopyOut(text, buf, static_cast<int>(cap));
  return text.size();
}

void sim_set_message_box_answer(int answer) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_user.answer = answer;
}

void sim_user_reset(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_user = UserSide{};
}

}  // extern "C"
