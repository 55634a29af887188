// The simulated user of simctl.h, who reads and works the dialogs.
#include "window_table.h"

using namespace qmsim::ui;

extern "C" {

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
