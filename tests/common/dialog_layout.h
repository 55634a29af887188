// The bindings dialog as its user should find it: every control of template
// 1000 in the order the template lists it, where it stands in dialog units,
// its style and its text. The native tests compare the headless dialog with
// it exactly; the Windows tests compare the real one, whose window system
// may add style bits and moves the combo boxes' scroll bar to their lists.
// Below the table, what a user reads off the dialog: a window's text and a
// box's items and choice.
#ifndef QUILLMOTE_TESTS_COMMON_DIALOG_LAYOUT_H
#define QUILLMOTE_TESTS_COMMON_DIALOG_LAYOUT_H

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace test {

constexpr char kDialogCaption[] = "Quillmote Button Bindings";

struct DialogControl {
  const char* className;
  int id;
  int x, y, cx, cy;
  DWORD style;
  const char* text;
  bool textIsPrefix;  // the text goes on (the footer's web address)
};

constexpr DWORD kComboBoxStyle =
    WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWN | CBS_SORT;
constexpr DWORD kLabelStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;

constexpr DialogControl kDialogLayout[] = {
    {"ComboBox", 1001, 7, 16, 167, 78, kComboBoxStyle, "", false},
    {"ComboBox", 1000, 188, 16, 167, 78, kComboBoxStyle, "", false},
    {"ComboBox", 1003, 7, 45, 167, 78, kComboBoxStyle, "", false},
    {"ComboBox", 1002, 188, 45, 167, 78, kComboBoxStyle, "", false},
    {"ComboBox", 1005, 7, 74, 167, 78, kComboBoxStyle, "", false},
    {"ComboBox", 1004, 188, 74, 167, 78, kComboBoxStyle, "", false},
    {"ComboBox", 1007, 7, 103, 167, 78, kComboBoxStyle, "", false},
    {"ComboBox", 1008, 188, 103, 167, 78, kComboBoxStyle, "", false},
    {"ComboBox", 1006, 7, 132, 167, 78, kComboBoxStyle, "", false},
    {"ComboBox", 1009, 188, 132, 167, 78, kComboBoxStyle, "", false},
    {"ComboBox", 1015, 7, 161, 167, 78, kComboBoxStyle, "", false},
    {"ComboBox", 1010, 188, 161, 167, 78, kComboBoxStyle, "", false},
    {"ComboBox", 1011, 7, 190, 167, 78, kComboBoxStyle, "", false},
    {"ComboBox", 1012, 188, 190, 167, 78, kComboBoxStyle, "", false},
    {"ComboBox", 1013, 7, 219, 167, 78, kComboBoxStyle, "", false},
    {"ComboBox", 1014, 188, 219, 167, 78, kComboBoxStyle, "", false},
    {"Button", IDOK, 215, 252, 50, 14, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, "OK",
     false},
    {"Button", IDCANCEL, 306, 252, 50, 14, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
     "Cancel", false},
    {"Static", -1, 188, 8, 30, 8, kLabelStyle, "Shift + IN", false},
    {"Static", -1, 7, 8, 8, 8, kLabelStyle, "IN", false},
    {"Static", -1, 188, 37, 38, 8, kLabelStyle, "Shift + OUT", false},
    {"Static", -1, 7, 37, 16, 8, kLabelStyle, "OUT", false},
    {"Static", -1, 188, 66, 48, 8, kLabelStyle, "Shift + PUNCH", false},
    {"Static", -1, 7, 66, 26, 8, kLabelStyle, "PUNCH", false},
    {"Static", -1, 7, 124, 54, 8, kLabelStyle, "Shift + TRACK-R", false},
    {"Static", -1, 7, 95, 53, 8, kLabelStyle, "Shift + TRACK-L", false},
    {"Static", -1, 188, 95, 42, 8, kLabelStyle, "Shift + PREV", false},
    {"Static", -1, 188, 124, 42, 8, kLabelStyle, "Shift + NEXT", false},
    {"Static", -1, 188, 153, 38, 8, kLabelStyle, "Shift + ADD", false},
    {"Static", -1, 188, 182, 44, 8, kLabelStyle, "Shift + FFWD", false},
    {"Static", -1, 7, 211, 41, 8, kLabelStyle, "Shift + PLAY", false},
    {"Static", -1, 7, 153, 35, 8, kLabelStyle, "Footswitch", false},
    {"Static", -1, 7, 182, 41, 8, kLabelStyle, "Shift + RWD", false},
    {"Static", -1, 188, 211, 54, 8, kLabelStyle, "Shift + RECORD", false},
    {"Static", -1, 7, 257, 114, 14, kLabelStyle, "v1.0.3  -  ", true},
};

inline std::string Text(HWND window) {
  char text[256] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

inline std::vector<std::string> Items(HWND box) {
  std::vector<std::string> items;
  const LRESULT count = SendMessageA(box, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    char text[256] = {};
    SendMessageA(box, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
    items.emplace_back(text);
  }
  return items;
}

// The chosen item, "<none>" when none is.
inline std::string Selected(HWND box) {
  const LRESULT index = SendMessageA(box, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return "<none>";
  return Items(box).at(static_cast<std::size_t>(index));
}

}  // namespace test

#endif
