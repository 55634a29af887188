#include <windows.h>

#include "bindings_dialog.h"

#include "bindings/binding_table.h"
#include "simctl.h"

namespace desk {

namespace {

constexpr int kTextSize = 256;

char ToUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

HWND Window(void* dialog) { return static_cast<HWND>(dialog); }

std::string ItemText(HWND combo, int index) {
  char text[kTextSize] = {};
  const LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length < 0 || length >= kTextSize) return std::string();
  SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
  return text;
}

}  // namespace

const std::array<SlotInput, kSlotCount> kSlotInputs = {{
    {kBindIn, "IN", "IN", "IN", false},
    {kBindInShifted, "Shift + IN", "SHIFT+IN", "IN", true},
    {kBindOut, "OUT", "OUT", "OUT", false},
    {kBindOutShifted, "Shift + OUT", "SHIFT+OUT", "OUT", true},
    {kBindPunch, "PUNCH", "PUNCH", "PUNCH", false},
    {kBindPunchShifted, "Shift + PUNCH", "SHIFT+PUNCH", "PUNCH", true},
    {kBindTrackLeft, "Shift + TRACK-L", "SHIFT+TRACK-L", "TRACK-L", true},
    {kBindPrev, "Shift + PREV", "SHIFT+PREV", "PREV", true},
    {kBindTrackRight, "Shift + TRACK-R", "SHIFT+TRACK-R", "TRACK-R", true},
    {kBindNext, "Shift + NEXT", "SHIFT+NEXT", "NEXT", true},
    {kBindFootswitch, "Footswitch", "FOOTSWITCH", "FOOTSWITCH", false},
    {kBindAdd, "Shift + ADD", "SHIFT+ADD", "ADD", true},
    {kBindRewind, "Shift + RWD", "SHIFT+RWD", "RWD", true},
    {kBindFastForward, "Shift + FFWD", "SHIFT+FFWD", "FFWD", true},
    {kBindPlay, "Shift + PLAY", "SHIFT+PLAY", "PLAY", true},
    {kBindRecord, "Shift + RECORD", "SHIFT+RECORD", "RECORD", true},
}};

int FindSlot(std::string_view token) {
  for (std::size_t i = 0; i < kSlotInputs.size(); ++i) {
    const std::string_view name = kSlotInputs[i].token;
    if (name.size() != token.size()) continue;
    bool same = true;
    for (std::size_t c = 0; c < name.size() && same; ++c) same = ToUpper(token[c]) == name[c];
    if (same) return static_cast<int>(i);
  }
  return -1;
}

std::string SlotTokens() {
  std::string tokens;
  for (const SlotInput& slot : kSlotInputs) {
    if (!tokens.empty()) tokens += ' ';
    tokens += slot.token;
  }
  return tokens;
}

int SlotForButton(std::string_view button, bool shifted) {
  for (std::size_t i = 0; i < kSlotInputs.size(); ++i) {
    const SlotInput& slot = kSlotInputs[i];
    if (button != slot.button) continue;
    if (slot.shifted == shifted || slot.controlId == kBindFootswitch) return static_cast<int>(i);
  }
  return -1;
}

std::string DialogCaption(void* dialog) {
  char caption[kTextSize] = {};
  GetWindowTextA(Window(dialog), caption, kTextSize);
  return caption;
}

std::vector<DialogBox> ReadDialog(void* dialog) {
  std::vector<DialogBox> boxes;
  for (const SlotInput& slot : kSlotInputs) {
    DialogBox box;
    box.controlId = slot.controlId;
    if (HWND combo = GetDlgItem(Window(dialog), slot.controlId)) {
      box.items = static_cast<int>(SendMessageA(combo, CB_GETCOUNT, 0, 0));
      const LRESULT selected = SendMessageA(combo, CB_GETCURSEL, 0, 0);
      if (selected >= 0) {
        box.selected = true;
        box.text = ItemText(combo, static_cast<int>(selected));
      }
    }
    boxes.push_back(box);
  }
  return boxes;
}

bool ChooseInDialog(void* dialog, int32_t controlId, const std::string& name) {
  HWND combo = GetDlgItem(Window(dialog), controlId);
  if (combo == nullptr) return false;
  // The box's own search ignores letter case; the host's names do not.
  const int count = static_cast<int>(SendMessageA(combo, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    if (ItemText(combo, i) == name) return sim_user_choose(combo, i) != 0;
  }
  return false;
}

bool PressOk(void* dialog) { return sim_user_click(dialog, IDOK) != 0; }

bool PressCancel(void* dialog) { return sim_user_click(dialog, IDCANCEL) != 0; }

}  // namespace desk
