// The binding table's resolution, loading and running, and its reload from
// the host's notification.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bindings_fixture.h"
#include "controller/controller.h"

namespace {

using bindtest::BindingsTest;
using bindtest::DefaultNames;
using bindtest::Slot;
using bindtest::Store;
using bindtest::StoreRaw;
using test::HostCall;

constexpr std::size_t kIn = 0;
constexpr std::size_t kShiftPlay = 13;

// ---- Resolution ----

using Resolution = BindingsTest;

TEST_F(Resolution, TakesTheFirstValidCommandOfExactlyThatName) {
  m_host.SetCommands({"Zoom", "Redo", "Mark", "redo", "Redo", "Redo "});
  m_host.SetCommandValid(1, false);
  CUserSettingsDlg& dialog = Dialog();
  EXPECT_EQ(dialog.ResolveCommand("Redo"), 4);  // 1 is not valid; 3 differs in case
  EXPECT_EQ(dialog.ResolveCommand("Zoom"), 0);
  EXPECT_EQ(dialog.ResolveCommand("Zoo"), -1);
  EXPECT_EQ(dialog.ResolveCommand(""), -1);
}

TEST_F(Resolution, StopsAskingAtTheFirstMatch) {
  m_host.SetCommands({"A", "B", "B", "C"});
  CUserSettingsDlg& dialog = Dialog();
  m_host.ClearCalls();
  EXPECT_EQ(dialog.ResolveCommand("B"), 1);
  EXPECT_EQ(m_host.GetNameCalls(), 2);
}

TEST_F(Resolution, NoCommandsOrNoCallbackResolveNothing) {
  m_host.SetCommands({"A"});
  m_dialog.SetCommandSource(0, m_host.Services().GetCommandName);
  EXPECT_EQ(m_dialog.ResolveCommand("A"), -1);
  m_dialog.SetCommandSource(-3, m_host.Services().GetCommandName);
  EXPECT_EQ(m_dialog.ResolveCommand("A"), -1);
  m_dialog.SetCommandSource(1, nullptr);
  EXPECT_EQ(m_dialog.ResolveCommand("A"), -1);
  EXPECT_EQ(m_host.GetNameCalls(), 0);
}

// A host that fills the whole buffer and leaves no terminator.
void __cdecl FullBufferName(int32_t, char* buffer, int32_t size, int32_t* valid) {
  std::memset(buffer, 'n', static_cast<std::size_t>(size));
  *valid = 1;
}

TEST_F(Resolution, AHostNameWithoutTerminatorIsCutInsideItsBuffer) {
  m_dialog.SetCommandSource(2, &FullBufferName);
  EXPECT_EQ(m_dialog.ResolveCommand(std::string(127, 'n').c_str()), 0);
  EXPECT_EQ(m_dialog.ResolveCommand(std::string(128, 'n').c_str()), -1);
}

// ---- Loading ----

class Loading : public BindingsTest {
 protected:
  // Every default twice, behind some other commands, so that the first of
  // each is the one a slot must take.
  void SetUp() override {
    std::vector<std::string> commands = {"Undo (1)", "Play", "Undo (1)"};
    for (const std::string& name : DefaultNames()) commands.push_back(name);
    for (const std::string& name : DefaultNames()) commands.push_back(name);
    m_host.SetCommands(commands);
    bindtest::SetAllSlots(777);
  }
  static int32_t DefaultIndex(std::size_t row) { return static_cast<int32_t>(3 + row); }
};

TEST_F(Loading, WithoutAStoreEverySlotTakesItsDefaultAndNothingIsCreated) {
  Dialog().LoadBindings();
  for (std::size_t row = 0; row < kBindingCount; ++row) {
    EXPECT_EQ(Slot(row), DefaultIndex(row)) << BindingTable[row].m_valueName;
  }
  EXPECT_STREQ(BindingTable[kIn].m_defaultName, "Selection Anchor Left when playing");
  EXPECT_FALSE(bindtest::KeyExists());
  EXPECT_FALSE(std::filesystem::exists(m_config.StoreFile()));
  EXPECT_TRUE(bindtest::DebugLines().empty());
}

TEST_F(Loading, AStoredNameBindsItsFirstCommandAndOthersKeepTheirs) {
  Store("Shift Play", "Undo (1)");
  Store("In", "Play");
  Dialog().LoadBindings();
  EXPECT_EQ(Slot(kShiftPlay), 0);
  EXPECT_EQ(Slot(kIn), 1);
  EXPECT_EQ(FindBinding(1013), 0);
  // "Out" and the rest have no value: only they fall back.
  EXPECT_EQ(Slot(1), DefaultIndex(1));
  EXPECT_EQ(Slot(15), DefaultIndex(15));
}

TEST_F(Loading, UnusableStoredValuesFallBackToTheDefault) {
  Store("In", "");                                                     // empty
  Store("Out", "No Such Command");                                     // names nothing
  Store("Shift In", std::string(128, 'x'));                            // 129 bytes: does not fit
  StoreRaw("Shift Out", REG_BINARY, "Play", 5);                        // not text
  StoreRaw("Punch", REG_EXPAND_SZ, "Play", 5);                         // not REG_SZ
  StoreRaw("Shift Punch", REG_SZ, std::string(128, 'y').data(), 128);  // no room for a NUL
  StoreRaw("Shift Prev", REG_SZ, nullptr, 0);                          // no bytes at all
  Dialog().LoadBindings();
  for (std::size_t row = 0; row < 7; ++row) {
    EXPECT_EQ(Slot(row), DefaultIndex(row)) << BindingTable[row].m_valueName;
  }
}

TEST_F(Loading, NamesThatFitAreReadEvenWithoutTheirTerminator) {
  const std::string longest(127, 'L');
  m_host.SetCommands({"Play", longest});
  Store("In", longest);                // 128 bytes with the NUL: fits exactly
  StoreRaw("Out", REG_SZ, "Play", 4);  // written without its NUL
  Dialog().LoadBindings();
  EXPECT_EQ(Slot(kIn), 1);
  EXPECT_EQ(Slot(1), 0);
}

TEST_F(Loading, ASlotWhoseNamesAllNameNothingIsUnboundAndItsButtonIsQuiet) {
  m_host.SetCommands({"Play"});
  Store("Shift Play", "Gone");
  Dialog().LoadBindings();
  EXPECT_EQ(Slot(kShiftPlay), -1);
  EXPECT_EQ(FindBinding(1013), -1);

  const HostServices services = m_host.Services();
  CMidiReceiveDlg controller(&services);
  m_host.ClearCalls();
  controller.RunBinding(1013, true);
  controller.RunBinding(1013, false);
  EXPECT_TRUE(m_host.CallsOf(HostCall::kRun).empty());
}

TEST_F(Loading, NoCommandsOrNoCallbackUnbindsEverySlot) {
  Store("In", "Play");
  m_dialog.SetCommandSource(0, m_host.Services().GetCommandName);
  m_dialog.LoadBindings();
  for (std::size_t row = 0; row < kBindingCount; ++row) EXPECT_EQ(Slot(row), -1);

  bindtest::SetAllSlots(5);
  m_dialog.SetCommandSource(40, nullptr);
  m_dialog.LoadBindings();
  for (std::size_t row = 0; row < kBindingCount; ++row) EXPECT_EQ(Slot(row), -1);
  EXPECT_EQ(m_host.GetNameCalls(), 0);
}

TEST_F(Loading, AKeyThatCannotBeOpenedGivesTheDefaultsAndSaysWhy) {
  Store("In", "Play");
  sim_fail("RegOpenKeyA", ERROR_ACCESS_DENIED, 0, 0);
  Dialog().LoadBindings();
  EXPECT_EQ(Slot(kIn), DefaultIndex(kIn));
  const std::vector<std::string> lines = bindtest::DebugLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "Couldn't read the Quillmote button bindings (error 5); using the defaults\n");
}

TEST_F(Loading, AFailedReadCountsAsNothingStored) {
  Store("In", "Play");
  Store("Out", "Play");
  sim_fail("RegQueryValueExA", ERROR_MORE_DATA, 0, 1);
  Dialog().LoadBindings();
  EXPECT_EQ(Slot(kIn), DefaultIndex(kIn));
  EXPECT_EQ(Slot(1), 1);
}

TEST_F(Loading, AnUnreadableStoreCountsAsAbsentIsReportedAndLeftAlone) {
  const std::string garbage = "{\"HKEY_CURRENT_USER\": {\"Software\\\\Harrowgate";
  bindtest::WriteFile(m_config.StoreFile(), garbage);
  Dialog().LoadBindings();
  for (std::size_t row = 0; row < kBindingCount; ++row) EXPECT_EQ(Slot(row), DefaultIndex(row));
  const std::vector<std::string> lines = bindtest::DebugLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines[0].find("could not be read"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(m_config.StoreFile().string()), std::string::npos) << lines[0];
  EXPECT_EQ(bindtest::ReadFile(m_config.StoreFile()), garbage);
}

// A load replaces each index in one store: an input arriving meanwhile sees
// the old binding or the new one, never "none".
TEST_F(Loading, ABoundSlotNeverReadsUnboundWhileLoading) {
  Store("Shift Play", "Play");
  Dialog().LoadBindings();
  std::atomic<bool> done{false};
  std::atomic<int> unbound{0};
  std::thread input([&] {
    while (!done.load()) {
      if (FindBinding(1013) == -1) ++unbound;
    }
  });
  for (int i = 0; i < 50; ++i) m_dialog.LoadBindings();
  done = true;
  input.join();
  EXPECT_EQ(unbound.load(), 0);
  EXPECT_EQ(Slot(kShiftPlay), 1);
}

// ---- Running ----

using Running = BindingsTest;

TEST_F(Running, FindBindingLooksUpBySlotIdNotByRow) {
  for (std::size_t row = 0; row < kBindingCount; ++row) {
    BindingTable[row].m_commandIndex = static_cast<int32_t>(100 + row);
  }
  EXPECT_EQ(FindBinding(1013), 113);
  EXPECT_EQ(FindBinding(1000), 102);
  EXPECT_EQ(FindBinding(1015), 115);
  EXPECT_EQ(FindBinding(999), -1);
  EXPECT_EQ(FindBinding(1016), -1);
}

TEST_F(Running, ABoundButtonRunsItsCommandOnPressAndOnRelease) {
  m_host.SetCommands({"Play", "Metronome On/Off toggle"});
  Dialog().LoadBindings();
  const HostServices services = m_host.Services();
  CMidiReceiveDlg controller(&services);
  m_host.ClearCalls();
  controller.RunBinding(1013, true);
  controller.RunBinding(1013, false);
  EXPECT_EQ(m_host.CallsOf(HostCall::kRun),
            (std::vector<HostCall>{test::Ran(1, kCommandPressed), test::Ran(1, kCommandReleased)}));
}

// ---- Reloading on the host's request ----

TEST_F(Running, Notification39ReadsTheStoreAgainThroughTheControllersHost) {
  m_host.SetCommands({"Play", "Metronome On/Off toggle", "Undo (1)"});
  const HostServices services = m_host.Services();
  CMidiReceiveDlg controller(&services);
  bindtest::SetAllSlots(0);
  Store("Shift Play", "Undo (1)");
  EXPECT_EQ(controller.OnHostUpdate(HostCode::kReloadBindings, 0, 0, 0), 0);
  EXPECT_EQ(Slot(kShiftPlay), 2);
  EXPECT_EQ(Slot(kIn), -1);  // its default is not among this host's commands

  Store("Shift Play", "Play");
  controller.OnHostUpdate(HostCode::kReloadBindings, 0, 0, 0);
  EXPECT_EQ(Slot(kShiftPlay), 0);
}

}  // namespace
