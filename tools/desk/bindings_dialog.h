// The sixteen bindable inputs as the desk names them, and the desk acting as
// the user of the plug-in's bindings dialog: reading what each box shows and
// choosing a command in one of them.
#ifndef QUILLMOTE_TOOLS_DESK_BINDINGS_DIALOG_H
#define QUILLMOTE_TOOLS_DESK_BINDINGS_DIALOG_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace desk {

struct SlotInput {
  int32_t controlId;  // the slot's box in the dialog
  const char* label;  // as the dialog labels it
  const char* token;  // as scripts name it
  const char* button;
  bool shifted;
};

// In the order the dialog shows them, row by row.
constexpr std::size_t kSlotCount = 16;
extern const std::array<SlotInput, kSlotCount> kSlotInputs;

// Index into kSlotInputs by script token ("SHIFT+PLAY", case-blind), or -1.
int FindSlot(std::string_view token);
std::string SlotTokens();
// The slot a button runs on a layer, or -1. The footswitch has one slot for
// both layers.
int SlotForButton(std::string_view button, bool shifted);

struct DialogBox {
  int32_t controlId = 0;
  bool selected = false;
  std::string text;  // the selected item's text
  int items = 0;
};

// All of these run on the dialog's thread, inside the dialog script.
std::string DialogCaption(void* dialog);
std::vector<DialogBox> ReadDialog(void* dialog);
// Picks the item whose text is exactly `name` in the box; false when the box
// lists no such item.
bool ChooseInDialog(void* dialog, int32_t controlId, const std::string& name);
bool PressOk(void* dialog);
bool PressCancel(void* dialog);

}  // namespace desk

#endif
