// What the controls do with the messages sent to them: edit text, buttons
// and combo boxes, and how a message reaches a dialog's procedure.
#include "window_table.h"

namespace qmsim::ui {

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

}  // namespace qmsim::ui
