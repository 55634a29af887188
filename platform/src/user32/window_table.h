// The windows of the headless dialog engine, shared by user32's parts: the
// window functions and modal dialogs (dialogs.cpp), templates
// (dialog_templates.cpp), the controls' messages (controls.cpp) and the
// simulated user of simctl.h (sim_user.cpp).
#ifndef QUILLMOTE_PLATFORM_USER32_WINDOW_TABLE_H
#define QUILLMOTE_PLATFORM_USER32_WINDOW_TABLE_H

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

namespace qmsim::ui {

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

// Every window, by handle, under g_mutex, with the focus and the user's side.
extern std::mutex g_mutex;
extern std::map<HWND, std::shared_ptr<Window>> g_windows;
extern ULONG_PTR g_nextHandle;
extern HWND g_focus;
extern UserSide g_user;

std::shared_ptr<Window> Lookup(HWND handle);
std::shared_ptr<Window> LookupOrFail(HWND handle);
std::string Lower(const std::string& text);
// Copies `text` into a caller's buffer of `capacity` bytes as Windows does:
// cut to fit with its terminator; returns the characters copied.
int CopyOut(const std::string& text, LPSTR buffer, int capacity);

// The dialog and its controls as described by a DIALOGEX or DIALOG
// template; nothing is registered yet.
bool ParseTemplate(const BYTE* data, std::size_t size, Window& dialog,
                   std::vector<Window>& controls);

HWND ChildWithId(const Window& dialog, int id);
// A control tells its dialog what happened to it.
void Notify(const Window& control, WORD code);
// A message to a window: its dialog procedure, or the control's own handling.
LRESULT Send(HWND handle, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT ComboMessage(Window& combo, UINT message, WPARAM wParam, LPARAM lParam);
// Selects item `index` of a combo box's list and shows it in its edit field.
LRESULT Select(Window& combo, int index);

bool Ended(HWND dialog);
HWND Register(Window window);
INT_PTR RunModal(const BYTE* data, std::size_t size, HWND owner, DLGPROC proc, LPARAM param);

template <class F>
int UserAction(HWND handle, F&& action) {
  return qmsim::Guarded(0, [&] {
    auto window = Lookup(handle);
    if (!window) return 0;
    return action(window) ? 1 : 0;
  });
}

}  // namespace qmsim::ui

#endif
