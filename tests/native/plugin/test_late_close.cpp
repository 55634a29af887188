// Closing the plug-in while the system's callbacks are still on their way, as
// real drivers deliver them: late, after the close calls have returned, the
// close notification last or inside the close call, or never. The plug-in is
// loaded and unloaded as a host does it; AddressSanitizer judges whether a
// late callback touches freed memory, and the system counts callbacks that
// would have run in the unloaded library.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "fake_host.h"
#include "plugin_library.h"
#include "sim_surface.h"
#include <gtest/gtest.h>

namespace {

using test::FakeHost;
using test::PluginLibrary;
using test::SimSurface;

constexpr unsigned kPlayPressed = 0x7F5E90;
constexpr unsigned kPlayReleased = 0x005E90;
constexpr unsigned kLoopPressed = 0x7F5690;
constexpr unsigned kWheelStep = 0x013CB0;
// Only a guard against a hang.
constexpr unsigned kDeadlockMilliseconds = 10000;

class LateClose : public ::testing::TestWithParam<unsigned> {
 protected:
  LateClose() {
    m_host.SetCommands({"Undo (1)", "Redo"});
    m_host.SetName(0, "Bass");
  }
  ~LateClose() override { sim_wait_callbacks_done(kDeadlockMilliseconds); }

  // Display writes and surface input the system has begun as the host
  // closes: levels, time and a track change, and presses not yet delivered.
  void TrafficInFlight(PluginLibrary& plugin) {
    const double levels[2] = {0.75, 0.5};
    for (int i = 0; i < 4; ++i) {
      plugin.Update(HostCode::kLevels, reinterpret_cast<HostArg>(&levels[0]),
                    reinterpret_cast<HostArg>(&levels[1]));
      plugin.Update(HostCode::kTime, reinterpret_cast<HostArg>("00:00:01.25"));
    }
    plugin.Update(HostCode::kTrackChange, 0, 0);
    for (unsigned packed : {kPlayPressed, kWheelStep, kLoopPressed, kPlayReleased}) {
      sim_send_input(m_surface.input(), packed, 0, 0);
    }
  }

  bool Said(const std::string& part) const {
    for (const std::string& line : m_surface.DebugLines()) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  }

  SimSurface m_surface;
  FakeHost m_host;
};

TEST_P(LateClose, NoHostCallAfterCloseAndNothingFreedUnderACallback) {
  PluginLibrary plugin;
  ASSERT_TRUE(plugin.Loaded()) << dlerror();
  const HostServices services = m_host.Services();
  ASSERT_EQ(plugin.Open(&services), 1);
  sim_set_late_callbacks(GetParam(), 0);
  TrafficInFlight(plugin);
  plugin.Close();
  const std::size_t callsAtClose = m_host.Calls().size();

  ASSERT_EQ(sim_wait_callbacks_done(kDeadlockMilliseconds), 1);
  EXPECT_EQ(m_host.Calls().size(), callsAtClose) << "host called after CloseController";
  EXPECT_EQ(sim_open_devices(), 0u);
  EXPECT_EQ(sim_prepared_headers(), 0u);
  EXPECT_EQ(sim_stray_callbacks(), 0u);
  EXPECT_FALSE(Said("did not finish closing"));
  EXPECT_FALSE(Said("its memory is kept"));

  // Opened again, the plug-in works as before.
  ASSERT_EQ(plugin.Open(&services), 1);
  m_host.ClearCalls();
  ASSERT_TRUE(m_surface.Send(0x90, 94, 127));
  EXPECT_EQ(m_host.Calls(), std::vector<test::HostCall>{test::Action(HostCode::kPlay, 1, 0)});
  plugin.Close();
}

TEST_P(LateClose, UnloadedAtOnceNothingRunsInTheUnloadedLibrary) {
  const HostServices services = m_host.Services();
  for (int repetition = 0; repetition < 5; ++repetition) {
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Loaded()) << dlerror();
    ASSERT_EQ(plugin.Open(&services), 1);
    sim_set_late_callbacks(GetParam(), 0);
    TrafficInFlight(plugin);
    plugin.Close();
    plugin.Unload();
    ASSERT_FALSE(PluginLibrary::StillLoaded());
    ASSERT_EQ(sim_wait_callbacks_done(kDeadlockMilliseconds), 1);
    ASSERT_EQ(sim_stray_callbacks(), 0u) << "repetition " << repetition;
    sim_end_late_callbacks();
  }
}

INSTANTIATE_TEST_SUITE_P(Lateness, LateClose, ::testing::Values(0u, 1u, 5u, 40u),
                         [](const ::testing::TestParamInfo<unsigned>& info) {
                           return std::to_string(info.param) + "ms";
                         });

// A host whose DoAction the test holds, to play a surface message that is
// still being handled as the host closes.
std::atomic<int> g_actionsEntered{0};
std::atomic<int> g_actionsLeft{0};
std::atomic<bool> g_closeCalled{false};
std::atomic<int> g_holdMilliseconds{0};

void __cdecl SlowAction(int32_t, int32_t, int32_t, int32_t) {
  g_actionsEntered.fetch_add(1);
  // Waits for the close to begin, then keeps the close waiting a while.
  for (int i = 0; i < 10000 && !g_closeCalled.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(g_holdMilliseconds.load()));
  g_actionsLeft.fetch_add(1);
}
void __cdecl NoQuery(int32_t, int32_t, void*, int32_t) {}
void __cdecl NoName(int32_t, char*, int32_t, int32_t* valid) { *valid = 0; }
void __cdecl NoRun(int32_t, int32_t) {}

// Runs a test body in a child process of its own, which ends the way the
// body's expectations came out.
template <class Body>
void InChild(Body body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        body();
        std::exit(::testing::Test::HasFailure() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

class SlowHost : public ::testing::Test {
 protected:
  SlowHost() {
    g_actionsEntered = 0;
    g_actionsLeft = 0;
    g_closeCalled = false;
  }
  ~SlowHost() override { sim_wait_callbacks_done(kDeadlockMilliseconds); }

  // Opens, presses PLAY and closes while DoAction still runs.
  void CloseDuringAction(PluginLibrary& plugin, int flags) {
    const HostServices host = {&SlowAction, &NoQuery, &NoName, 0, &NoRun, 0};
    ASSERT_EQ(plugin.Open(&host), 1);
    sim_set_late_callbacks(1, flags);
    ASSERT_EQ(sim_send_input(m_surface.input(), kPlayPressed, 0, 0), 1);
    for (int i = 0; i < 10000 && g_actionsEntered.load() == 0; ++i) Sleep(1);
    ASSERT_EQ(g_actionsEntered.load(), 1);
    g_closeCalled = true;
    plugin.Close();
  }

  SimSurface m_surface;
};

TEST_F(SlowHost, CloseWaitsForASurfaceMessageStillBeingHandled) {
  // Also when the driver delivers its close notification inside the close
  // call while the message's callback still runs on its own thread.
  for (int flags : {0, SIM_LATE_CLOSE_INLINE}) {
    g_actionsEntered = 0;
    g_actionsLeft = 0;
    g_closeCalled = false;
    g_holdMilliseconds = 60;
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Loaded()) << dlerror();
    CloseDuringAction(plugin, flags);
    EXPECT_EQ(g_actionsLeft.load(), 1) << "CloseController returned during DoAction";
    plugin.Unload();
    ASSERT_EQ(sim_wait_callbacks_done(kDeadlockMilliseconds), 1);
    EXPECT_EQ(sim_stray_callbacks(), 0u);
    EXPECT_EQ(sim_open_devices(), 0u);
    sim_end_late_callbacks();
  }
}

TEST_F(SlowHost, AMessageStuckInTheHostKeepsTheControllerAndTheCloseReturns) {
  InChild([this] {
    g_holdMilliseconds = 1000;
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Loaded()) << dlerror();
    PluginLibrary::Pin();
    CloseDuringAction(plugin, 0);
    // The close gave up waiting: the ports are closed, the controller kept.
    EXPECT_EQ(g_actionsLeft.load(), 0);
    EXPECT_EQ(sim_open_devices(), 0u);
    bool kept = false;
    for (const std::string& line : m_surface.DebugLines()) {
      kept = kept || line ==
                         "Quillmote controller still handles a surface message; its memory "
                         "is kept\n";
    }
    EXPECT_TRUE(kept);
    // The stuck message ends in the kept controller.
    for (int i = 0; i < 10000 && g_actionsLeft.load() == 0; ++i) Sleep(1);
    EXPECT_EQ(g_actionsLeft.load(), 1);
    EXPECT_EQ(sim_wait_callbacks_done(kDeadlockMilliseconds), 1);
    EXPECT_EQ(sim_stray_callbacks(), 0u);
  });
}

TEST_F(SlowHost, CloseControllerWaitsAtMostASecondAndAHalfWhateverTheSystemDoes) {
  // The worst case: a surface message stuck in the host, display writes the
  // device never finishes, and no close notification from either port.
  // What the closing thread waited for is what its timed waits asked for.
  InChild([this] {
    g_holdMilliseconds = 3000;
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Loaded()) << dlerror();
    PluginLibrary::Pin();
    sim_hold_completions(1);
    const double levels[2] = {0.5, 0.5};
    const HostServices host = {&SlowAction, &NoQuery, &NoName, 0, &NoRun, 0};
    ASSERT_EQ(plugin.Open(&host), 1);
    plugin.Update(HostCode::kLevels, reinterpret_cast<HostArg>(&levels[0]),
                  reinterpret_cast<HostArg>(&levels[1]));
    sim_set_late_callbacks(0, SIM_LATE_NO_CLOSE);
    ASSERT_EQ(sim_send_input(m_surface.input(), kPlayPressed, 0, 0), 1);
    for (int i = 0; i < 10000 && g_actionsEntered.load() == 0; ++i) Sleep(1);
    ASSERT_EQ(g_actionsEntered.load(), 1);
    g_closeCalled = true;
    const unsigned before = sim_thread_timed_waits();
    plugin.Close();
    const unsigned waited = sim_thread_timed_waits() - before;
    EXPECT_LE(waited, 1500u);
    // Every bound was reached: the close waited and gave up on each.
    const std::vector<std::string> lines = m_surface.DebugLines();
    for (const char* part :
         {"controller still handles", "input port did not finish", "output port did not finish"}) {
      EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(part) != std::string::npos;
      })) << part;
    }
    EXPECT_EQ(sim_open_devices(), 0u);
    std::printf("CloseController waited %u ms in the worst case\n", waited);
    for (int i = 0; i < 10000 && g_actionsLeft.load() == 0; ++i) Sleep(1);
    EXPECT_EQ(sim_wait_callbacks_done(kDeadlockMilliseconds), 1);
  });
}

TEST_F(SlowHost, ACloseNotificationThatNeverComesIsToldAndTheCloseReturns) {
  InChild([this] {
    g_holdMilliseconds = 0;
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Loaded()) << dlerror();
    PluginLibrary::Pin();
    const HostServices host = {&SlowAction, &NoQuery, &NoName, 0, &NoRun, 0};
    ASSERT_EQ(plugin.Open(&host), 1);
    sim_set_late_callbacks(0, SIM_LATE_NO_CLOSE);
    plugin.Close();
    const std::vector<std::string> lines = m_surface.DebugLines();
    auto has = [&](const char* text) {
      for (const std::string& line : lines) {
        if (line == text) return true;
      }
      return false;
    };
    EXPECT_TRUE(has("Quillmote Midi input port did not finish closing; its memory is kept\n"));
    EXPECT_TRUE(has("Quillmote Midi output port did not finish closing; its memory is kept\n"));
    EXPECT_EQ(sim_open_devices(), 0u);
    // A later open gets new callback memory and works.
    sim_end_late_callbacks();
    g_closeCalled = true;
    ASSERT_EQ(plugin.Open(&host), 1);
    ASSERT_EQ(sim_send_input(m_surface.input(), kPlayPressed, 0, 1), 1);
    EXPECT_EQ(g_actionsLeft.load(), 1);
    plugin.Close();
  });
}

}  // namespace
