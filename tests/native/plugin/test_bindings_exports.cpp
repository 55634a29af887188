// The bindings as the host meets them through the plug-in's exports: loaded
// at open and on notification 39, and edited with ConfigureController.
#include <dlfcn.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings_fixture.h"
#include "plugin_library.h"

// The next allocation of the nothrow kind on this thread fails, when set.
// The plug-in library calls this program's operator new (the link exports
// it: tests/native/CMakeLists.txt).
thread_local bool t_failNextNothrowNew = false;

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (t_failNextNothrowNew) {
    t_failNextNothrowNew = false;
    return nullptr;
  }
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace {

using bindtest::Choose;
using bindtest::DialogUser;
using bindtest::Items;
using bindtest::Selected;
using bindtest::Store;
using test::HostCall;
using test::kNoteOn;
using test::PluginLibrary;
using namespace test::notes;

// A second host, with commands of its own, for ConfigureController.
const std::vector<std::string> kOtherCommands = {"Tempo", "Undo (1)", "Metronome On/Off toggle"};
int g_otherCalls = 0;

void __cdecl OtherCommandName(int32_t index, char* buffer, int32_t size, int32_t* valid) {
  ++g_otherCalls;
  *valid = 0;
  if (index < 0 || index >= static_cast<int32_t>(kOtherCommands.size())) return;
  std::snprintf(buffer, static_cast<std::size_t>(size), "%s",
                kOtherCommands[static_cast<std::size_t>(index)].c_str());
  *valid = 1;
}

class PluginBindings : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_plugin = new PluginLibrary; }
  static void TearDownTestSuite() {
    delete s_plugin;
    s_plugin = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(s_plugin->Loaded()) << dlerror(); }

  PluginBindings() {
    sim_user_reset();
    g_otherCalls = 0;
    m_host.SetCommands({"Play", "Undo (1)", "Metronome On/Off toggle", "Zoom In Horizontally"});
  }
  ~PluginBindings() override {
    if (s_plugin->Loaded()) s_plugin->Close();
    sim_user_reset();
  }

  int Open() {
    const HostServices services = m_host.Services();
    return s_plugin->Open(&services);
  }
  static void Update(int32_t code) { s_plugin->Update(code); }
  // The host's first two arguments mean nothing to the plug-in.
  static int Configure(int32_t count, HostGetCommandNameFn callback) {
    return s_plugin->Configure(count, callback, 0x1234, -1);
  }
  // SHIFT + PLAY pressed and released; what the host was asked to run.
  std::vector<HostCall> PressShiftPlay() {
    m_host.ClearCalls();
    m_surface.Send(kNoteOn, kShift, 127);
    m_surface.Send(kNoteOn, kPlay, 127);
    m_surface.Send(kNoteOn, kPlay, 0);
    m_surface.Send(kNoteOn, kShift, 0);
    return m_host.CallsOf(HostCall::kRun);
  }
  static std::vector<HostCall> Ran(int32_t index) {
    return {test::Ran(index, kCommandPressed), test::Ran(index, kCommandReleased)};
  }

  static PluginLibrary* s_plugin;
  bindtest::ConfigDir m_config;
  test::SimSurface m_surface;
  test::FakeHost m_host;
};

PluginLibrary* PluginBindings::s_plugin = nullptr;

TEST_F(PluginBindings, OpenLoadsTheStoredBindingsAndCode39LoadsThemAgain) {
  Store("Shift Play", "Undo (1)");
  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(PressShiftPlay(), Ran(1));

  Store("Shift Play", "Zoom In Horizontally");
  EXPECT_EQ(PressShiftPlay(), Ran(1));  // nothing reads the store by itself
  Update(HostCode::kReloadBindings);
  EXPECT_EQ(PressShiftPlay(), Ran(3));

  Store("Shift Play", "");
  Update(HostCode::kReloadBindings);
  EXPECT_EQ(PressShiftPlay(), Ran(2));  // the default, "Metronome On/Off toggle"
}

TEST_F(PluginBindings, ConfigureWithoutACallbackShowsNothingAndReadsNothing) {
  DialogUser user([](HWND) { ADD_FAILURE() << "a dialog was shown"; });
  EXPECT_EQ(Configure(3, nullptr), 0);
  EXPECT_EQ(sim_dialog_count(), 0u);
  EXPECT_EQ(sim_call_count("RegOpenKeyA"), 0u);
}

TEST_F(PluginBindings, ConfigureUsesItsOwnHostsCommandsAndRebindsTheRunningController) {
  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(PressShiftPlay(), Ran(2));
  DialogUser user([](HWND dialog) {
    HWND box = GetDlgItem(dialog, 1013);
    EXPECT_EQ(Items(box),
              (std::vector<std::string>{"Metronome On/Off toggle", "Tempo", "Undo (1)"}));
    EXPECT_EQ(Selected(box), "Metronome On/Off toggle");
    EXPECT_TRUE(Choose(dialog, 1013, "Undo (1)"));
    sim_user_click(dialog, IDOK);
  });
  EXPECT_EQ(Configure(static_cast<int32_t>(kOtherCommands.size()), &OtherCommandName), IDOK);
  EXPECT_EQ(user.Runs(), 1);
  EXPECT_GT(g_otherCalls, 0);
  EXPECT_EQ(bindtest::Read("Shift Play").Text(), "Undo (1)");
  // The index comes from the configuring host's list: its "Undo (1)" is 1.
  EXPECT_EQ(PressShiftPlay(), Ran(1));
  EXPECT_EQ(sim_window_count(), 0u);
}

TEST_F(PluginBindings, ConfigureClosedWithCancelStoresNothing) {
  DialogUser user([](HWND dialog) {
    Choose(dialog, 1013, "Tempo");
    sim_user_click(dialog, IDCANCEL);
  });
  EXPECT_EQ(Configure(static_cast<int32_t>(kOtherCommands.size()), &OtherCommandName), IDCANCEL);
  EXPECT_FALSE(bindtest::KeyExists());
  EXPECT_EQ(sim_window_count(), 0u);
}

TEST_F(PluginBindings, SavingOverAnUnreadableStoreKeepsItAside) {
  const std::string first = "not json at all";
  const std::string second = "{\"HKEY_CURRENT_USER\": 5}";
  DialogUser user([](HWND dialog) { sim_user_click(dialog, IDOK); });
  for (const std::string& garbage : {first, second}) {
    bindtest::WriteFile(m_config.StoreFile(), garbage);
    sim_debug_clear();
    EXPECT_EQ(Configure(static_cast<int32_t>(kOtherCommands.size()), &OtherCommandName), IDOK);
    bool kept = false;
    for (const std::string& line : bindtest::DebugLines()) {
      if (line.find("it was kept as") != std::string::npos) kept = true;
    }
    EXPECT_TRUE(kept);
    EXPECT_EQ(bindtest::Read("Shift Play").Text(), "Metronome On/Off toggle");
  }
  EXPECT_EQ(bindtest::ReadFile(m_config.Dir() / "registry.json.unreadable-1"), first);
  EXPECT_EQ(bindtest::ReadFile(m_config.Dir() / "registry.json.unreadable-2"), second);
}

// ---- ConfigureController when something fails ------------------------------

// A host whose command names can't be had: its callback throws, as a C++
// host's might, on the call `s_throwAt` (counting from 1).
int g_throwingCalls = 0;
int g_throwAt = 1;

void __cdecl ThrowingCommandName(int32_t index, char* buffer, int32_t size, int32_t* valid) {
  if (++g_throwingCalls == g_throwAt) throw std::runtime_error("the host lost its command list");
  OtherCommandName(index, buffer, size, valid);
}

class ConfigureFailures : public PluginBindings {
 protected:
  ConfigureFailures() {
    g_throwingCalls = 0;
    Store("Shift Play", "Undo (1)");
    m_stored = bindtest::ReadFile(m_config.StoreFile());
  }
  // What a failed ConfigureController must leave: no window, the store as it
  // was, and a plug-in whose next ConfigureController works.
  void ExpectNothingChangedAndConfigureWorksAgain() {
    EXPECT_EQ(sim_window_count(), 0u);
    EXPECT_EQ(bindtest::ReadFile(m_config.StoreFile()), m_stored);
    sim_clear_faults();
    sim_debug_clear();
    DialogUser user([](HWND dialog) {
      EXPECT_TRUE(Choose(dialog, 1001, "Tempo"));
      sim_user_click(dialog, IDOK);
    });
    EXPECT_EQ(Configure(static_cast<int32_t>(kOtherCommands.size()), &OtherCommandName), IDOK);
    EXPECT_EQ(user.Runs(), 1);
    EXPECT_EQ(bindtest::Read("In").Text(), "Tempo");
    EXPECT_EQ(bindtest::DebugLines(), std::vector<std::string>{});
    // Back to the store of the start, for a test that fails more than once.
    bindtest::WriteFile(m_config.StoreFile(), m_stored);
  }

  std::string m_stored;
};

TEST_F(ConfigureFailures, ADialogTheSystemCantShowReturnsMinusOneAndSaysWhy) {
  for (const char* function : {"DialogBoxParamA", "FindResourceA"}) {
    SCOPED_TRACE(function);
    sim_debug_clear();
    sim_user_reset();
    sim_fail(function, ERROR_RESOURCE_NAME_NOT_FOUND, 0, 1);
    DialogUser user([](HWND) { ADD_FAILURE() << "the user saw a dialog"; });
    EXPECT_EQ(Configure(static_cast<int32_t>(kOtherCommands.size()), &OtherCommandName), -1);
    EXPECT_EQ(bindtest::DebugLines(),
              std::vector<std::string>{"Couldn't show dialog 1000 (system error 1814)\n"});
    EXPECT_TRUE(bindtest::MessageBoxes().empty());
    ExpectNothingChangedAndConfigureWorksAgain();
  }
}

TEST_F(ConfigureFailures, WithoutMemoryForTheDialogItReturnsMinusOneAndSaysWhy) {
  DialogUser user([](HWND) { ADD_FAILURE() << "the user saw a dialog"; });
  g_otherCalls = 0;
  t_failNextNothrowNew = true;
  EXPECT_EQ(Configure(static_cast<int32_t>(kOtherCommands.size()), &OtherCommandName), -1);
  EXPECT_FALSE(t_failNextNothrowNew) << "the plug-in asked for no memory";
  t_failNextNothrowNew = false;
  EXPECT_EQ(g_otherCalls, 0);
  EXPECT_EQ(sim_dialog_count(), 0u);
  EXPECT_EQ(
      bindtest::DebugLines(),
      std::vector<std::string>{"Couldn't open the Quillmote button bindings: out of memory\n"});
  ExpectNothingChangedAndConfigureWorksAgain();
}

TEST_F(ConfigureFailures, AHostThatFailsToNameItsCommandsGetsMinusOneAndNoDialog) {
  // The names are first asked for while the bindings are loaded, before
  // the dialog exists.
  g_throwAt = 1;
  DialogUser user([](HWND) { ADD_FAILURE() << "the user saw a dialog"; });
  EXPECT_EQ(Configure(static_cast<int32_t>(kOtherCommands.size()), &ThrowingCommandName), -1);
  EXPECT_EQ(sim_dialog_count(), 0u);
  EXPECT_EQ(bindtest::DebugLines(),
            std::vector<std::string>{"Couldn't open the Quillmote button bindings\n"});
  ExpectNothingChangedAndConfigureWorksAgain();
}

TEST_F(ConfigureFailures, AHostThatFailsWhileTheDialogIsFilledEndsTheDialog) {
  // Loading the sixteen bindings asks for names; the first call after it
  // is the dialog's, filling its first box.
  g_throwingCalls = 0;
  g_throwAt = 1000000;
  EXPECT_EQ(Configure(static_cast<int32_t>(kOtherCommands.size()), &ThrowingCommandName), IDCANCEL);
  const int callsToLoad = g_throwingCalls - 16 * static_cast<int>(kOtherCommands.size());
  ASSERT_GT(callsToLoad, 0);
  sim_user_reset();
  sim_debug_clear();
  g_throwingCalls = 0;
  g_throwAt = callsToLoad + 1;
  DialogUser user([](HWND) { ADD_FAILURE() << "the user saw a dialog"; });
  EXPECT_EQ(Configure(static_cast<int32_t>(kOtherCommands.size()), &ThrowingCommandName), -1);
  EXPECT_EQ(user.Runs(), 0);
  EXPECT_EQ(sim_dialog_count(), 1u);
  EXPECT_EQ(
      bindtest::DebugLines(),
      (std::vector<std::string>{"Dialog step failed: ", "the host lost its command list", "\n"}));
  ExpectNothingChangedAndConfigureWorksAgain();
}

}  // namespace
