// Closing the plug-in as real systems and hosts make it close: notifications
// late, after the close calls returned, data after the close notification,
// stop and close that wait for a callback in progress while the host holds
// a lock of its own, a host call stuck for seconds, a host command that runs
// its own message loop. The library is unloaded the moment CloseController
// returns, as a host may do, and loaded again at once. AddressSanitizer
// judges whether anything runs in freed memory or an unmapped library; the
// library must stay mapped while the ports' threads run in it, and go once
// they have left.
#include <windows.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "controller/controller.h"
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

// Once the host has let go, the library goes when the last of its threads
// has left it: within the threads' own bound after their close.
bool UnmappedInTime() {
  return test::WaitUntil([] { return !PluginLibrary::StillLoaded(); });
}

bool NoThreadLeft() {
  return test::WaitUntil([] { return sim_live_threads() == 0; });
}

bool Said(const SimSurface& surface, const std::string& part) {
  const std::vector<std::string> lines = surface.DebugLines();
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

// Runs a test body in a child process of its own, which ends the way the
// body's expectations came out. A controller kept for a message stuck in the
// host is lost for good, and the leak checker would say so at exit: the
// child ends without running it.
template <class Body>
void InChild(Body body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        body();
        _exit(::testing::Test::HasFailure() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

class ClosingHost : public ::testing::Test {
 protected:
  ClosingHost() {
    m_host.SetCommands({"Undo (1)", "Redo"});
    m_host.SetName(0, "Bass");
  }
  ~ClosingHost() override {
    sim_wait_callbacks_done(kDeadlockMilliseconds);
    NoThreadLeft();
  }

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

  SimSurface m_surface;
  FakeHost m_host;
};

class LateClose : public ClosingHost, public ::testing::WithParamInterface<unsigned> {};

TEST_P(LateClose, NoHostCallAfterCloseAndTheLibraryLeavesWithItsLastThread) {
  // Late notifications, and a driver that drains its ring of received input
  // after giving the close notification inside the close call.
  for (int flags : {0, SIM_LATE_CLOSE_INLINE, SIM_LATE_DRAIN_AFTER_CLOSE}) {
    SCOPED_TRACE(flags);
    const HostServices services = m_host.Services();
    {
      PluginLibrary plugin;
      ASSERT_TRUE(plugin.Loaded()) << dlerror();
      ASSERT_EQ(plugin.Open(&services), 1);
      sim_set_late_callbacks(GetParam(), flags);
      TrafficInFlight(plugin);
      plugin.Close();
    }
    // Unloaded the moment CloseController returned.
    const std::size_t callsAtClose = m_host.Calls().size();
    ASSERT_EQ(sim_wait_callbacks_done(kDeadlockMilliseconds), 1);
    EXPECT_TRUE(NoThreadLeft()) << sim_live_threads() << " threads left";
    EXPECT_TRUE(UnmappedInTime()) << "the library stayed mapped";
    EXPECT_EQ(m_host.Calls().size(), callsAtClose) << "host called after CloseController";
    EXPECT_EQ(sim_open_devices(), 0u);
    EXPECT_EQ(sim_prepared_headers(), 0u);
    EXPECT_EQ(sim_stray_callbacks(), 0u);
    EXPECT_FALSE(Said(m_surface, "did not finish closing"));
    EXPECT_FALSE(Said(m_surface, "its memory is kept"));
    sim_end_late_callbacks();
  }
}

TEST_P(LateClose, LoadedAgainAtOnceItWorks) {
  const HostServices services = m_host.Services();
  for (int repetition = 0; repetition < 3; ++repetition) {
    SCOPED_TRACE(repetition);
    {
      PluginLibrary plugin;
      ASSERT_TRUE(plugin.Loaded()) << dlerror();
      ASSERT_EQ(plugin.Open(&services), 1);
      sim_set_late_callbacks(GetParam(), 0);
      TrafficInFlight(plugin);
      plugin.Close();
    }
    // The image the threads still hold, or a fresh one.
    PluginLibrary again;
    ASSERT_TRUE(again.Loaded()) << dlerror();
    sim_end_late_callbacks();
    ASSERT_EQ(again.Open(&services), 1);
    m_host.ClearCalls();
    ASSERT_TRUE(m_surface.Send(0x90, 94, 127));
    EXPECT_EQ(m_host.Calls(), std::vector<test::HostCall>{test::Action(HostCode::kPlay, 1, 0)});
    again.Close();
  }
  EXPECT_TRUE(NoThreadLeft());
  EXPECT_TRUE(UnmappedInTime());
}

INSTANTIATE_TEST_SUITE_P(Lateness, LateClose, ::testing::Values(0u, 1u, 5u, 40u),
                         [](const ::testing::TestParamInfo<unsigned>& info) {
                           return std::to_string(info.param) + "ms";
                         });

// Presses that were still in the driver's ring when the host closed reach
// the system's delivery only after CloseController returned and the library
// was unloaded: while the input port's thread still waits out its idle time,
// and once it has left. On the simulated clock, so the presses surely come
// after the close however busy the machine is.
using DrainedInput = ClosingHost;

TEST_F(DrainedInput, PressesDeliveredAfterTheCloseReachNoUnloadedCodeAndNoHost) {
  const HostServices services = m_host.Services();
  for (bool threadsLeftFirst : {false, true}) {
    SCOPED_TRACE(threadsLeftFirst ? "after the threads left" : "while the threads wait");
    const unsigned afterCloseBefore = sim_callbacks_after_close();
    {
      PluginLibrary plugin;
      ASSERT_TRUE(plugin.Loaded()) << dlerror();
      ASSERT_EQ(plugin.Open(&services), 1);
      sim_set_manual_clock(1);
      sim_set_input_delay(1);
      sim_set_late_callbacks(0, SIM_LATE_DRAIN_AFTER_CLOSE);
      for (unsigned packed : {kPlayPressed, kLoopPressed, kPlayReleased}) {
        ASSERT_EQ(sim_send_input(m_surface.input(), packed, 0, 0), 1);
      }
      plugin.Close();
    }
    const std::size_t callsAtClose = m_host.Calls().size();
    if (threadsLeftFirst) {
      EXPECT_TRUE(UnmappedInTime()) << "the library stayed mapped";
    }
    ASSERT_EQ(sim_advance_clock(1000), 1);
    ASSERT_EQ(sim_wait_callbacks_done(kDeadlockMilliseconds), 1);
    EXPECT_EQ(sim_callbacks_after_close() - afterCloseBefore, 3u)
        << "the presses did not come after the close";
    EXPECT_EQ(sim_stray_callbacks(), 0u) << "the system found the plug-in's code unloaded";
    EXPECT_EQ(m_host.Calls().size(), callsAtClose) << "host called after CloseController";
    EXPECT_TRUE(NoThreadLeft()) << sim_live_threads() << " threads left";
    EXPECT_TRUE(UnmappedInTime()) << "the library stayed mapped";
    sim_end_late_callbacks();
    sim_set_input_delay(0);
    sim_set_manual_clock(0);
  }
}

// A host whose DoAction the test controls, to play a surface message that is
// still being handled as the host closes.
std::atomic<int> g_actionsEntered{0};
std::atomic<int> g_actionsLeft{0};
std::atomic<int> g_actionsAfterClose{0};
std::atomic<bool> g_closeReturned{false};
std::atomic<int> g_holdMilliseconds{0};
std::mutex g_hostLock;
std::atomic<bool> g_takeHostLock{false};
std::atomic<bool> g_runMessageLoop{false};

void __cdecl ControlledAction(int32_t, int32_t, int32_t, int32_t) {
  if (g_closeReturned.load()) g_actionsAfterClose.fetch_add(1);
  g_actionsEntered.fetch_add(1);
  if (g_takeHostLock.load()) {
    // The host's engine lock, which the host itself holds while it closes.
    std::lock_guard<std::mutex> lock(g_hostLock);
  } else if (g_runMessageLoop.load()) {
    // A host command that shows a dialog runs its own loop on the calling
    // thread, and drops what was posted to that thread.
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 500) {
      MSG message;
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
      }
      Sleep(1);
    }
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(g_holdMilliseconds.load()));
  }
  g_actionsLeft.fetch_add(1);
}
void __cdecl NoQuery(int32_t, int32_t, void*, int32_t) {}
void __cdecl NoName(int32_t, char*, int32_t, int32_t* valid) { *valid = 0; }
void __cdecl NoRun(int32_t, int32_t) {}

constexpr HostServices kControlledHost = {&ControlledAction, &NoQuery, &NoName, 0, &NoRun, 0};

class HardHost : public ::testing::Test {
 protected:
  HardHost() {
    g_actionsEntered = 0;
    g_actionsLeft = 0;
    g_actionsAfterClose = 0;
    g_closeReturned = false;
    g_holdMilliseconds = 0;
    g_takeHostLock = false;
    g_runMessageLoop = false;
  }
  ~HardHost() override {
    sim_wait_callbacks_done(kDeadlockMilliseconds);
    NoThreadLeft();
  }

  // Presses PLAY and waits until the host's DoAction has begun.
  void PlayEntersTheHost() {
    ASSERT_EQ(sim_send_input(m_surface.input(), kPlayPressed, 0, 0), 1);
    ASSERT_TRUE(test::WaitUntil([] { return g_actionsEntered.load() == 1; }));
  }

  SimSurface m_surface;
};

TEST_F(HardHost, AHostLockHeldAcrossTheCloseOnASystemWhoseCloseWaitsForCallbacks) {
  // The host closes while holding the lock that the surface's DoAction, in
  // the host already, waits for; the system's stop and close wait for a
  // callback in progress. Nothing of the plug-in's runs in the system's
  // callbacks, so the close has nothing to wait for but its own bounds.
  InChild([this] {
    sim_set_close_waits_for_callbacks(1);
    g_takeHostLock = true;
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Loaded()) << dlerror();
    ASSERT_EQ(plugin.Open(&kControlledHost), 1);
    std::unique_lock<std::mutex> engine(g_hostLock);
    PlayEntersTheHost();
    std::atomic<unsigned> waited{0};
    std::thread closer([&] {
      const unsigned before = sim_thread_timed_waits();
      plugin.Close();
      waited = sim_thread_timed_waits() - before;
      g_closeReturned = true;
    });
    const bool returned = test::WaitUntil([] { return g_closeReturned.load(); });
    EXPECT_TRUE(returned) << "CloseController hung against the host's lock";
    EXPECT_LE(waited.load(), 1500u);
    engine.unlock();
    closer.join();
    plugin.Unload();
    // DoAction gets its lock, returns into the still mapped library and
    // calls the host no more; then the library goes.
    EXPECT_TRUE(test::WaitUntil([] { return g_actionsLeft.load() == 1; }));
    EXPECT_TRUE(NoThreadLeft());
    EXPECT_TRUE(UnmappedInTime());
    EXPECT_EQ(g_actionsAfterClose.load(), 0);
    EXPECT_EQ(sim_open_devices(), 0u);
  });
}

TEST_F(HardHost, AHostCallStuckForSecondsFindsTheLibraryMappedWhenItComesBack) {
  InChild([this] {
    g_holdMilliseconds = 3000;
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Loaded()) << dlerror();
    ASSERT_EQ(plugin.Open(&kControlledHost), 1);
    PlayEntersTheHost();
    const unsigned before = sim_thread_timed_waits();
    plugin.Close();
    EXPECT_LE(sim_thread_timed_waits() - before, 1500u);
    g_closeReturned = true;
    plugin.Unload();
    EXPECT_TRUE(Said(m_surface, "still handles a surface message; its memory is kept"));
    EXPECT_EQ(sim_open_devices(), 0u);
    // Past the threads' own bound the call is still in the host, and the
    // library must still be there for it.
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    ASSERT_EQ(g_actionsLeft.load(), 0) << "the host call was not stuck for long enough";
    EXPECT_TRUE(PluginLibrary::StillLoaded()) << "unmapped under a host call";
    EXPECT_TRUE(test::WaitUntil([] { return g_actionsLeft.load() == 1; }));
    EXPECT_TRUE(NoThreadLeft());
    EXPECT_TRUE(UnmappedInTime());
    EXPECT_EQ(g_actionsAfterClose.load(), 0);
  });
}

TEST_F(HardHost, AHostCommandRunningItsOwnMessageLoopCostsOnlyTheInputMeanwhile) {
  InChild([this] {
    g_runMessageLoop = true;
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Loaded()) << dlerror();
    ASSERT_EQ(plugin.Open(&kControlledHost), 1);
    PlayEntersTheHost();
    // While the host's loop runs on the input port's thread: display writes
    // (whose done messages go to the output port's own thread) and input.
    const double levels[2] = {0.5, 0.25};
    for (int i = 0; i < 20; ++i) {
      plugin.Update(HostCode::kLevels, reinterpret_cast<HostArg>(&levels[0]),
                    reinterpret_cast<HostArg>(&levels[1]));
    }
    sim_send_input(m_surface.input(), kPlayReleased, 0, 0);
    ASSERT_TRUE(test::WaitUntil([] { return g_actionsLeft.load() == 1; }));
    // Every header came back, and input works again.
    EXPECT_TRUE(test::WaitUntil([] { return sim_prepared_headers() == 0; }))
        << sim_prepared_headers() << " headers still prepared";
    g_runMessageLoop = false;
    const int entered = g_actionsEntered.load();
    ASSERT_EQ(sim_send_input(m_surface.input(), kPlayPressed, 0, 0), 1);
    EXPECT_TRUE(test::WaitUntil([&] { return g_actionsEntered.load() == entered + 1; }));
    const unsigned before = sim_thread_timed_waits();
    plugin.Close();
    EXPECT_LE(sim_thread_timed_waits() - before, 1500u);
    plugin.Unload();
    EXPECT_FALSE(Said(m_surface, "did not finish closing"));
    EXPECT_TRUE(NoThreadLeft());
    EXPECT_TRUE(UnmappedInTime());
  });
}

TEST_F(HardHost, CloseControllerWaitsAtMostASecondAndAHalfWhateverTheSystemDoes) {
  // The worst case: a surface message stuck in the host, display writes the
  // device never finishes, and no close notification from either port.
  // What the closing thread waited for is what its timed waits asked for.
  InChild([this] {
    g_holdMilliseconds = 3000;
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Loaded()) << dlerror();
    sim_hold_completions(1);
    const double levels[2] = {0.5, 0.5};
    ASSERT_EQ(plugin.Open(&kControlledHost), 1);
    plugin.Update(HostCode::kLevels, reinterpret_cast<HostArg>(&levels[0]),
                  reinterpret_cast<HostArg>(&levels[1]));
    sim_set_late_callbacks(0, SIM_LATE_NO_CLOSE);
    PlayEntersTheHost();
    const unsigned before = sim_thread_timed_waits();
    plugin.Close();
    const unsigned waited = sim_thread_timed_waits() - before;
    // The controller's sum of its bounds, which is within the 1.5 s a host
    // is promised.
    EXPECT_LE(waited, CMidiReceiveDlg::kCloseBound);
    EXPECT_TRUE(Said(m_surface, "controller still handles"));
    EXPECT_EQ(sim_open_devices(), 0u);
    std::printf("CloseController waited %u ms in the worst case\n", waited);
    plugin.Unload();
    EXPECT_TRUE(test::WaitUntil([] { return g_actionsLeft.load() == 1; }));
    EXPECT_TRUE(NoThreadLeft());
    EXPECT_TRUE(UnmappedInTime());
  });
}

TEST_F(HardHost, ACloseNotificationThatNeverComesCostsTheThreadsTheirBoundOnly) {
  PluginLibrary plugin;
  ASSERT_TRUE(plugin.Loaded()) << dlerror();
  ASSERT_EQ(plugin.Open(&kControlledHost), 1);
  sim_set_late_callbacks(0, SIM_LATE_NO_CLOSE);
  plugin.Close();
  EXPECT_EQ(sim_open_devices(), 0u);
  // Nothing is at stake without the notification: no memory is kept.
  EXPECT_FALSE(Said(m_surface, "its memory is kept"));
  sim_end_late_callbacks();
  // A later open works while the old threads still wait out their bound.
  ASSERT_EQ(plugin.Open(&kControlledHost), 1);
  PlayEntersTheHost();
  EXPECT_TRUE(test::WaitUntil([] { return g_actionsLeft.load() == 1; }));
  plugin.Close();
  plugin.Unload();
  EXPECT_TRUE(NoThreadLeft());
  EXPECT_TRUE(UnmappedInTime());
}

}  // namespace
