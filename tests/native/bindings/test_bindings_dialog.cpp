// The bindings dialog as its user meets it, built by the headless engine
// from the same template 1000 that the Windows build carries.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "bindings_fixture.h"
#include "dialog_layout.h"

namespace {

using bindtest::BindingsTest;
using bindtest::Choose;
using bindtest::DialogUser;
using bindtest::Items;
using bindtest::Selected;
using bindtest::Slot;
using test::DialogControl;
using test::kDialogLayout;
using test::Text;

constexpr std::size_t kIn = 0;
constexpr std::size_t kShiftPlay = 13;

class BindingsDialog : public BindingsTest {
 protected:
  INT_PTR Show() { return Dialog().DoModal(); }
};

// ---- The template ----

TEST_F(BindingsDialog, IsBuiltFromTemplate1000AsTabled) {
  m_host.SetCommands({"Zoom"});
  bindtest::SetAllSlots(-1);
  DialogUser user([](HWND dialog) {
    EXPECT_EQ(Text(dialog), test::kDialogCaption);
    char font[64] = {};
    EXPECT_EQ(sim_dialog_font(dialog, font, sizeof font), 8);
    EXPECT_STREQ(font, "MS Sans Serif");
    int x = -1, y = -1, cx = 0, cy = 0;
    ASSERT_TRUE(sim_window_rect(dialog, &x, &y, &cx, &cy));
    EXPECT_EQ((std::vector<int>{x, y, cx, cy}), (std::vector<int>{0, 0, 363, 273}));
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(dialog, GWL_STYLE)),
              static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT));

    HWND control = GetWindow(dialog, GW_CHILD);
    for (const DialogControl& expected : kDialogLayout) {
      ASSERT_NE(control, nullptr) << "missing control " << expected.id;
      char className[32] = {};
      GetClassNameA(control, className, sizeof className);
      EXPECT_STREQ(className, expected.className) << expected.id;
      EXPECT_EQ(GetDlgCtrlID(control), expected.id);
      EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(control, GWL_STYLE)), expected.style)
          << expected.id;
      ASSERT_TRUE(sim_window_rect(control, &x, &y, &cx, &cy));
      EXPECT_EQ((std::vector<int>{x, y, cx, cy}),
                (std::vector<int>{expected.x, expected.y, expected.cx, expected.cy}))
          << expected.id << " " << expected.text;
      if (expected.textIsPrefix) {
        EXPECT_EQ(Text(control).rfind(expected.text, 0), 0u) << Text(control);
        EXPECT_GT(Text(control).size(), std::string(expected.text).size());
      } else {
        EXPECT_EQ(Text(control), expected.text) << expected.id;
      }
      control = GetWindow(control, GW_HWNDNEXT);
    }
    EXPECT_EQ(control, nullptr) << "more than 35 controls";
    // Initialisation leaves the focus on the first box.
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, 1001));
  });
  EXPECT_EQ(Show(), IDCANCEL);
  EXPECT_EQ(user.Runs(), 1);
  EXPECT_EQ(sim_window_count(), 0u);
}

TEST_F(BindingsDialog, EveryBoxBelongsToTheSlotOfItsId) {
  for (const BindingSlot& slot : BindingTable) {
    const auto match =
        std::find_if(std::begin(kDialogLayout), std::end(kDialogLayout),
                     [&](const DialogControl& c) { return c.id == slot.m_controlId; });
    EXPECT_NE(match, std::end(kDialogLayout)) << slot.m_controlId;
  }
}

// ---- Filling ----

TEST_F(BindingsDialog, ListsEveryValidCommandSortedWithTheSlotsCommandSelected) {
  m_host.SetCommands({"Zoom", "Hidden", "Add", "Mark"});
  m_host.SetCommandValid(1, false);
  bindtest::SetAllSlots(0);
  BindingTable[kIn].m_commandIndex = 3;          // Mark
  BindingTable[kShiftPlay].m_commandIndex = -1;  // unbound
  BindingTable[1].m_commandIndex = 1;            // no longer a valid command
  m_host.ClearCalls();
  DialogUser user([](HWND dialog) {
    for (const BindingSlot& slot : BindingTable) {
      EXPECT_EQ(Items(GetDlgItem(dialog, slot.m_controlId)),
                (std::vector<std::string>{"Add", "Mark", "Zoom"}))
          << slot.m_controlId;
    }
    EXPECT_EQ(Selected(GetDlgItem(dialog, 1001)), "Mark");
    EXPECT_EQ(Text(GetDlgItem(dialog, 1001)), "Mark");
    EXPECT_EQ(Selected(GetDlgItem(dialog, 1013)), "<none>");
    EXPECT_EQ(Text(GetDlgItem(dialog, 1013)), "");
    EXPECT_EQ(Selected(GetDlgItem(dialog, 1003)), "<none>");
    EXPECT_EQ(Selected(GetDlgItem(dialog, 1000)), "Zoom");
  });
  EXPECT_EQ(Show(), IDCANCEL);
  // One name request per command and box.
  EXPECT_EQ(m_host.GetNameCalls(), 16 * 4);
}

TEST_F(BindingsDialog, NamesDifferingInCaseSelectTheFirstInSortedOrder) {
  m_host.SetCommands({"mark", "Mark", "Zoom"});
  bindtest::SetAllSlots(2);
  BindingTable[kIn].m_commandIndex = 1;
  BindingTable[1].m_commandIndex = 0;
  DialogUser user([](HWND dialog) {
    for (int id : {1001, 1003}) {
      HWND box = GetDlgItem(dialog, id);
      const std::vector<std::string> items = Items(box);
      ASSERT_EQ(items.size(), 3u);
      const LRESULT selected = SendMessageA(box, CB_GETCURSEL, 0, 0);
      // Whichever spelling stands first is the one the case-blind search finds.
      EXPECT_EQ(selected, 0) << id;
      EXPECT_EQ(items[2], "Zoom");
    }
  });
  EXPECT_EQ(Show(), IDCANCEL);
}

TEST_F(BindingsDialog, WithoutCommandsTheBoxesStayEmpty) {
  m_dialog.SetCommandSource(0, m_host.Services().GetCommandName);
  DialogUser user([](HWND dialog) {
    for (const BindingSlot& slot : BindingTable) {
      EXPECT_EQ(SendMessageA(GetDlgItem(dialog, slot.m_controlId), CB_GETCOUNT, 0, 0), 0);
    }
  });
  EXPECT_EQ(m_dialog.DoModal(), IDCANCEL);
}

TEST_F(BindingsDialog, WithoutACallbackItEndsAtOnceAskingNothing) {
  m_dialog.SetCommandSource(5, nullptr);
  DialogUser user([](HWND) { ADD_FAILURE() << "the user saw the dialog"; });
  EXPECT_EQ(m_dialog.DoModal(), 0);
  EXPECT_EQ(m_host.GetNameCalls(), 0);
}

// ---- OK and Cancel ----

class Closing : public BindingsDialog {
 protected:
  void SetUp() override {
    std::vector<std::string> commands = {"Zoom Full", "Undo (1)", "zoom full"};
    for (const std::string& name : bindtest::DefaultNames()) commands.push_back(name);
    m_host.SetCommands(commands);
    Dialog().LoadBindings();
  }
};

TEST_F(Closing, OkStoresEveryBoxAndRebindsAtOnce) {
  DialogUser user([](HWND dialog) {
    EXPECT_TRUE(Choose(dialog, 1013, "Zoom Full"));
    EXPECT_TRUE(sim_user_click(dialog, IDOK));
  });
  EXPECT_EQ(Show(), IDOK);
  const bindtest::Stored stored = bindtest::Read("Shift Play");
  EXPECT_EQ(stored.result, ERROR_SUCCESS);
  EXPECT_EQ(stored.type, static_cast<DWORD>(REG_SZ));
  // Nine characters and the terminator.
  EXPECT_EQ(stored.data, (std::vector<BYTE>{'Z', 'o', 'o', 'm', ' ', 'F', 'u', 'l', 'l', 0}));
  EXPECT_EQ(Slot(kShiftPlay), 0);
  // Unchanged boxes are stored again, each with its own name.
  for (std::size_t row = 0; row < kBindingCount; ++row) {
    if (row == kShiftPlay) continue;
    EXPECT_EQ(bindtest::Read(BindingTable[row].m_valueName).Text(),
              BindingTable[row].m_defaultName);
    EXPECT_EQ(Slot(row), static_cast<int32_t>(3 + row));
  }
  EXPECT_TRUE(bindtest::MessageBoxes().empty());
}

TEST_F(Closing, EnterIsOkAndEscapeOrTheCloseBoxIsCancel) {
  DialogUser enter([](HWND dialog) { sim_user_key(dialog, VK_RETURN); });
  EXPECT_EQ(Show(), IDOK);
  EXPECT_TRUE(bindtest::KeyExists());
}

TEST_F(Closing, CancelStoresNothingAndKeepsTheLoadedBindings) {
  for (auto close :
       {+[](HWND d) { sim_user_click(d, IDCANCEL); }, +[](HWND d) { sim_user_key(d, VK_ESCAPE); },
        +[](HWND d) { sim_user_close(d); }}) {
    DialogUser user([&](HWND dialog) {
      Choose(dialog, 1013, "Undo (1)");
      close(dialog);
    });
    EXPECT_EQ(Show(), IDCANCEL);
    EXPECT_FALSE(bindtest::KeyExists());
    EXPECT_EQ(Slot(kShiftPlay), static_cast<int32_t>(3 + kShiftPlay));
  }
}

TEST_F(Closing, ATypedCommandNameBindsAndAnEmptyBoxFallsBackToTheDefault) {
  DialogUser user([](HWND dialog) {
    EXPECT_TRUE(sim_user_type(GetDlgItem(dialog, 1013), "Undo (1)"));
    EXPECT_EQ(SendMessageA(GetDlgItem(dialog, 1013), CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_TRUE(sim_user_type(GetDlgItem(dialog, 1001), ""));
    sim_user_click(dialog, IDOK);
  });
  EXPECT_EQ(Show(), IDOK);
  EXPECT_EQ(bindtest::Read("Shift Play").Text(), "Undo (1)");
  EXPECT_EQ(Slot(kShiftPlay), 1);
  EXPECT_EQ(bindtest::Read("In").data, std::vector<BYTE>{0});
  // The running binding already is what any later load gives.
  EXPECT_EQ(Slot(kIn), static_cast<int32_t>(3 + kIn));
  m_dialog.LoadBindings();
  EXPECT_EQ(Slot(kIn), static_cast<int32_t>(3 + kIn));
  EXPECT_EQ(Slot(kShiftPlay), 1);
}

TEST_F(Closing, ATypedNameNoCommandHasIsRefusedAndTheDialogStaysOpen) {
  int attempts = 0;
  DialogUser user([&](HWND dialog) {
    HWND box = GetDlgItem(dialog, 1013);
    sim_user_type(box, "Zoom Inn");
    sim_user_click(dialog, IDOK);
    ++attempts;
    ASSERT_TRUE(IsWindow(dialog));  // still open
    EXPECT_EQ(GetFocus(), box);
    // Case matters for command names: this is not "Zoom Full" either.
    sim_user_type(box, "ZOOM FULL ");
    sim_user_click(dialog, IDOK);
    sim_user_type(box, "Zoom Full");
    sim_user_click(dialog, IDOK);
  });
  EXPECT_EQ(Show(), IDOK);
  EXPECT_EQ(attempts, 1);
  const std::vector<std::string> boxes = bindtest::MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(
      boxes[0].rfind("Quillmote Button Bindings\n\"Zoom Inn\" is not the name of a command", 0), 0u)
      << boxes[0];
  EXPECT_EQ(bindtest::Read("Shift Play").Text(), "Zoom Full");
}

// Names travel through buffers of 128 bytes: a name of 127 bytes fits with
// its terminator; a typed text of 128 bytes or more can name no command, even
// when its first 127 bytes do, and must be refused rather than cut.
class LongNames : public BindingsDialog {
 protected:
  void SetUp() override {
    std::vector<std::string> commands = {m_longest};
    for (const std::string& name : bindtest::DefaultNames()) commands.push_back(name);
    m_host.SetCommands(commands);
    Dialog().LoadBindings();
  }
  const std::string m_longest = std::string(126, 'L') + "!";  // 127 bytes
};

TEST_F(LongNames, ATypedNameOf127BytesBinds) {
  DialogUser user([&](HWND dialog) {
    EXPECT_TRUE(sim_user_type(GetDlgItem(dialog, 1013), m_longest.c_str()));
    sim_user_click(dialog, IDOK);
  });
  EXPECT_EQ(Show(), IDOK);
  EXPECT_TRUE(bindtest::MessageBoxes().empty());
  const bindtest::Stored stored = bindtest::Read("Shift Play");
  EXPECT_EQ(stored.data.size(), 128u);
  EXPECT_EQ(stored.Text(), m_longest);
  EXPECT_EQ(Slot(kShiftPlay), 0);
}

TEST_F(LongNames, ATypedTextOf128BytesOrMoreIsRefusedNotCut) {
  for (const std::size_t length : {std::size_t{128}, std::size_t{129}, std::size_t{255},
                                   std::size_t{256}, std::size_t{4096}}) {
    SCOPED_TRACE(length);
    sim_user_reset();
    // The command's whole name and then more: cut to 127 bytes it would
    // name the command.
    const std::string typed = m_longest + std::string(length - m_longest.size(), 'x');
    int refusals = 0;
    DialogUser user([&](HWND dialog) {
      HWND box = GetDlgItem(dialog, 1013);
      EXPECT_TRUE(sim_user_type(box, typed.c_str()));
      EXPECT_TRUE(Choose(dialog, 1001, m_longest));  // another box with a good choice
      sim_user_click(dialog, IDOK);
      if (IsWindow(dialog)) ++refusals;
      EXPECT_EQ(GetFocus(), box);
      EXPECT_FALSE(bindtest::KeyExists());  // nothing stored, not even the good choice
      sim_user_click(dialog, IDCANCEL);
    });
    EXPECT_EQ(Show(), IDCANCEL);
    EXPECT_EQ(refusals, 1);
    const std::vector<std::string> boxes = bindtest::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    // The message quotes as much of the text as a name can hold.
    EXPECT_EQ(boxes[0], "Quillmote Button Bindings\n\"" + m_longest +
                            "\" is not the name of a command. Choose a command from the list, or "
                            "clear the box to use the button's default command.");
    EXPECT_FALSE(bindtest::KeyExists());
    EXPECT_EQ(Slot(kShiftPlay), static_cast<int32_t>(1 + kShiftPlay));
    EXPECT_EQ(Slot(kIn), static_cast<int32_t>(1 + kIn));
  }
}

TEST_F(Closing, AFailedSaveIsToldAndLeavesStoreAndBindingsAsTheyWere) {
  sim_fail("RegCreateKeyExA", ERROR_ACCESS_DENIED, 0, 1);
  DialogUser user([](HWND dialog) {
    Choose(dialog, 1013, "Undo (1)");
    sim_user_click(dialog, IDOK);
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_EQ(Selected(GetDlgItem(dialog, 1013)), "Undo (1)");  // the choice is still there
    EXPECT_FALSE(bindtest::KeyExists());
    EXPECT_EQ(Slot(kShiftPlay), static_cast<int32_t>(3 + kShiftPlay));
    sim_user_click(dialog, IDOK);  // tried again, now it works
  });
  EXPECT_EQ(Show(), IDOK);
  const std::vector<std::string> boxes = bindtest::MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0].find("could not be saved (registry error 5)"), std::string::npos);
  EXPECT_EQ(bindtest::Read("Shift Play").Text(), "Undo (1)");
  EXPECT_EQ(Slot(kShiftPlay), 1);
}

// The labels of the boxes with these control ids, as the dialog shows them
// (the label 8 units above its box), in the dialog's order of the boxes.
std::string LabelsOf(const std::vector<int>& ids) {
  std::string labels;
  for (const DialogControl& box : kDialogLayout) {
    if (box.className != std::string("ComboBox")) continue;
    if (std::find(ids.begin(), ids.end(), box.id) == ids.end()) continue;
    const auto label = std::find_if(
        std::begin(kDialogLayout), std::end(kDialogLayout),
        [&](const DialogControl& c) { return c.id == -1 && c.x == box.x && c.y == box.y - 8; });
    EXPECT_NE(label, std::end(kDialogLayout)) << box.id;
    if (label == std::end(kDialogLayout)) continue;
    if (!labels.empty()) labels += ", ";
    labels += label->text;
  }
  return labels;
}

std::vector<int> IdsExcept(const std::vector<int>& left) {
  std::vector<int> ids;
  for (const BindingSlot& slot : BindingTable) {
    if (std::find(left.begin(), left.end(), slot.m_controlId) == left.end()) {
      ids.push_back(slot.m_controlId);
    }
  }
  return ids;
}

std::vector<int32_t> Slots() {
  std::vector<int32_t> slots;
  for (std::size_t row = 0; row < kBindingCount; ++row) slots.push_back(Slot(row));
  return slots;
}

TEST_F(Closing, APartlySavedChoiceSaysWhichInputsWereStoredAndClosesAsOk) {
  constexpr std::size_t kShiftOut = 3;  // table row of "Shift Out", box 1002
  // "Shift Out" has a stored command of its own, which the refusal keeps.
  bindtest::Store("Shift Out", "Zoom Full");
  m_dialog.LoadBindings();
  ASSERT_EQ(Slot(kShiftOut), 0);
  sim_fail("RegSetValueExA", ERROR_WRITE_FAULT, 3, 1);  // the fourth value, "Shift Out"
  DialogUser user([](HWND dialog) {
    EXPECT_TRUE(Choose(dialog, 1002, "Undo (1)"));  // refused
    EXPECT_TRUE(Choose(dialog, 1013, "Undo (1)"));  // stored
    sim_user_click(dialog, IDOK);
  });
  // Values are written and in use: the dialog ends as OK, with no Cancel left
  // that could pretend to bring the old bindings back.
  EXPECT_EQ(Show(), IDOK);
  EXPECT_EQ(user.Runs(), 1);

  const std::string expected =
      "Only some of the button bindings could be saved.\n\nSaved, and in use now: " +
      LabelsOf(IdsExcept({1002})) +
      ".\nNot saved (registry error 29): Shift + OUT.\n\nThe inputs not saved keep the "
      "commands they had before. Open the bindings again to choose theirs once more.";
  EXPECT_EQ(bindtest::MessageBoxes(),
            std::vector<std::string>{std::string("Quillmote Button Bindings\n") + expected});
  EXPECT_EQ(bindtest::DebugLines(), (std::vector<std::string>{expected, "\n"}));
  EXPECT_EQ(LabelsOf(IdsExcept({1002})),
            "IN, Shift + IN, OUT, PUNCH, Shift + PUNCH, Shift + TRACK-L, Shift + PREV, "
            "Shift + TRACK-R, Shift + NEXT, Footswitch, Shift + ADD, Shift + RWD, Shift + FFWD, "
            "Shift + PLAY, Shift + RECORD");

  // The refused input keeps its stored name and the command it ran; the
  // stored one runs its new command at once.
  EXPECT_EQ(bindtest::Read("Shift Out").Text(), "Zoom Full");
  EXPECT_EQ(Slot(kShiftOut), 0);
  EXPECT_EQ(bindtest::Read("Shift Play").Text(), "Undo (1)");
  EXPECT_EQ(Slot(kShiftPlay), 1);
  EXPECT_EQ(bindtest::Read("Footswitch").Text(), "Record/Stop toggle");
  // What runs is what a later load gives.
  const std::vector<int32_t> running = Slots();
  m_dialog.LoadBindings();
  EXPECT_EQ(Slots(), running);
}

TEST_F(Closing, EveryInputRefusedByTheSameErrorIsListedTogether) {
  sim_fail("RegSetValueExA", ERROR_ACCESS_DENIED, 2, 3);  // "Shift In", "Shift Out", "Punch"
  DialogUser user([](HWND dialog) { sim_user_click(dialog, IDOK); });
  EXPECT_EQ(Show(), IDOK);
  const std::vector<std::string> boxes = bindtest::MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0].find("\nSaved, and in use now: " + LabelsOf(IdsExcept({1000, 1002, 1005})) +
                          ".\nNot saved (registry error 5): Shift + IN, Shift + OUT, PUNCH.\n\n"),
            std::string::npos)
      << boxes[0];
}

TEST_F(Closing, WhenNothingIsStoredNothingChangesAndCancelKeepsTheBindings) {
  sim_fail("RegSetValueExA", ERROR_WRITE_FAULT, 0, 0);  // the key opens, every value is refused
  const std::vector<int32_t> loaded = Slots();
  DialogUser user([&](HWND dialog) {
    Choose(dialog, 1013, "Undo (1)");
    sim_user_click(dialog, IDOK);
    ASSERT_TRUE(IsWindow(dialog));  // still open, the choice on screen
    EXPECT_EQ(Selected(GetDlgItem(dialog, 1013)), "Undo (1)");
    EXPECT_EQ(Slots(), loaded);  // no slot took a name that was not stored
    sim_user_click(dialog, IDCANCEL);
  });
  EXPECT_EQ(Show(), IDCANCEL);
  EXPECT_EQ(bindtest::MessageBoxes(),
            std::vector<std::string>{
                "Quillmote Button Bindings\nThe button bindings could not be saved (registry error "
                "29). Press OK to try again, or Cancel to keep the bindings as they were."});
  EXPECT_EQ(bindtest::Read("Shift Play").result, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Slots(), loaded);
}

TEST_F(Closing, ASaveThatStoredEverythingSaysNothing) {
  DialogUser user([](HWND dialog) { sim_user_click(dialog, IDOK); });
  EXPECT_EQ(Show(), IDOK);
  EXPECT_TRUE(bindtest::MessageBoxes().empty());
  EXPECT_TRUE(bindtest::DebugLines().empty());
}

}  // namespace
