// The bindings as the host meets them through the plug-in's exports: loaded
// at open and on notification 39, and edited with ConfigureController.
#include <dlfcn.h>

#include <string>
#include <vector>

#include "bindings_fixture.h"

namespace {

using bindtest::Choose;
using bindtest::DialogUser;
using bindtest::Items;
using bindtest::Selected;
using bindtest::Store;
using test::HostCall;

constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kShift = 121;
constexpr uint8_t kPlay = 94;

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
  static void SetUpTestSuite() {
    s_library = dlopen(QM_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(s_library, nullptr) << dlerror();
  }
  static void TearDownTestSuite() {
    if (s_library) dlclose(s_library);
    s_library = nullptr;
  }

  PluginBindings() {
    sim_user_reset();
    g_otherCalls = 0;
    m_host.SetCommands({"Play", "Undo (1)", "Metronome On/Off toggle", "Zoom In Horizontally"});
  }
  ~PluginBindings() override {
    Get<void (*)()>("CloseController")();
    sim_user_reset();
  }

  template <class Fn>
  static Fn Get(const char* name) {
    return reinterpret_cast<Fn>(dlsym(s_library, name));
  }
  int Open() {
    const HostServices services = m_host.Services();
    return Get<int (*)(const HostServices*)>("OpenController")(&services);
  }
  static void Update(int32_t code) {
    Get<HostArg (*)(int32_t, HostArg, HostArg, HostArg)>("UpdateController")(code, 0, 0, 0);
  }
  static int Configure(int32_t count, HostGetCommandNameFn callback) {
    return Get<int (*)(int32_t, int32_t, int32_t, HostGetCommandNameFn)>("ConfigureController")(
        0x1234, -1, count, callback);
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
    return {test::Run(index, kCommandPressed), test::Run(index, kCommandReleased)};
  }

  static void* s_library;
  bindtest::ConfigDir m_config;
  test::SimSurface m_surface;
  test::FakeHost m_host;
};

void* PluginBindings::s_library = nullptr;

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

}  // namespace
