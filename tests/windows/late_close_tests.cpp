// The real DLL closed and unloaded the way a host does it, on the simulated
// MIDI system with real-driver timing: callbacks reach the plug-in late,
// after the close calls returned, and the close notification last. The host
// calls FreeLibrary the moment CloseController returns; the system counts
// every callback it would have made into the unloaded DLL.
#include <windows.h>

#include <mmsystem.h>

#include <cstdint>
#include <string>

#include "simctl.h"
#include "wine_rig.h"
#include <gtest/gtest.h>

namespace {

using test::FakeHost;

constexpr unsigned kDeadlockMilliseconds = 10000;

// Through the generic function type, which converts to any other quietly.
template <class Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
constexpr int kRepetitions = 50;

class LateClose : public ::testing::Test {
 protected:
  void SetUp() override {
    m_host.SetCommands({"Undo (1)", "Redo"});
    m_host.SetName(0, "Bass");
  }
  void TearDown() override {
    sim_wait_callbacks_done(kDeadlockMilliseconds);
    sim_end_late_callbacks();
  }

  test::SimSurface m_surface;
  FakeHost m_host;
};

TEST_F(LateClose, FreeLibraryAtOnceWithWritesAndInputOnTheirWay) {
  const HostServices services = m_host.Services();
  const double levels[2] = {0.75, 0.5};
  for (int repetition = 0; repetition < kRepetitions; ++repetition) {
    HMODULE module = LoadLibraryA(QM_PLUGIN_FILE);
    ASSERT_NE(module, nullptr) << "cannot load " QM_PLUGIN_FILE;
    auto open = Export<int(__cdecl*)(const HostServices*)>(module, "OpenController");
    auto update =
        Export<int32_t(__cdecl*)(int32_t, int32_t, int32_t, int32_t)>(module, "UpdateController");
    auto close = Export<void(__cdecl*)()>(module, "CloseController");
    ASSERT_TRUE(open != nullptr && update != nullptr && close != nullptr);

    ASSERT_EQ(open(&services), 1);
    // Lateness from 0 to 9 ms, as a driver's thread is busy or not.
    sim_set_late_callbacks(static_cast<unsigned>(repetition % 10), 0);
    for (int i = 0; i < 3; ++i) {
      update(HostCode::kLevels, wine::Plugin::Address(&levels[0]),
             wine::Plugin::Address(&levels[1]), 0);
      update(HostCode::kTime, wine::Plugin::Address("00:00:01.25"), 0, 0);
    }
    sim_send_input(m_surface.input(), 0x7F5E90, 0, 0);  // PLAY, on its way
    close();
    const std::size_t callsAtClose = m_host.Calls().size();
    ASSERT_TRUE(FreeLibrary(module));
    // The ports' own threads hold the DLL until they have left it; then it
    // goes, with nothing of it left running.
    ASSERT_TRUE(test::WaitUntil([] { return GetModuleHandleA(QM_PLUGIN_FILE) == nullptr; }))
        << "the DLL stayed loaded";

    ASSERT_EQ(sim_wait_callbacks_done(kDeadlockMilliseconds), 1);
    ASSERT_EQ(sim_stray_callbacks(), 0u) << "repetition " << repetition;
    ASSERT_EQ(m_host.Calls().size(), callsAtClose) << "repetition " << repetition;
    ASSERT_EQ(sim_open_devices(), 0u);
    ASSERT_EQ(sim_prepared_headers(), 0u);
    sim_end_late_callbacks();
    m_host.ClearCalls();
  }
}

TEST_F(LateClose, PressesDrainedAfterTheCloseNotificationFindTheDllGoneHarmlessly) {
  // A driver that drains its ring of received input after the close
  // notification it gave inside midiInClose. The presses wait in the ring on
  // the simulated clock until after FreeLibrary, so they surely come late.
  const HostServices services = m_host.Services();
  for (bool threadsLeftFirst : {false, true}) {
    SCOPED_TRACE(threadsLeftFirst ? "after the threads left" : "while the threads wait");
    const unsigned afterCloseBefore = sim_callbacks_after_close();
    HMODULE module = LoadLibraryA(QM_PLUGIN_FILE);
    ASSERT_NE(module, nullptr) << "cannot load " QM_PLUGIN_FILE;
    auto open = Export<int(__cdecl*)(const HostServices*)>(module, "OpenController");
    auto close = Export<void(__cdecl*)()>(module, "CloseController");
    ASSERT_TRUE(open != nullptr && close != nullptr);
    ASSERT_EQ(open(&services), 1);
    sim_set_manual_clock(1);
    sim_set_input_delay(1);
    sim_set_late_callbacks(0, SIM_LATE_DRAIN_AFTER_CLOSE);
    for (unsigned packed : {0x7F5E90u, 0x7F5690u, 0x005E90u}) {
      ASSERT_EQ(sim_send_input(m_surface.input(), packed, 0, 0), 1);
    }
    close();
    const std::size_t callsAtClose = m_host.Calls().size();
    ASSERT_TRUE(FreeLibrary(module));
    if (threadsLeftFirst) {
      ASSERT_TRUE(test::WaitUntil([] { return GetModuleHandleA(QM_PLUGIN_FILE) == nullptr; }));
    }
    ASSERT_EQ(sim_advance_clock(1000), 1);
    ASSERT_EQ(sim_wait_callbacks_done(kDeadlockMilliseconds), 1);
    EXPECT_EQ(sim_callbacks_after_close() - afterCloseBefore, 3u);
    EXPECT_EQ(sim_stray_callbacks(), 0u);
    EXPECT_EQ(m_host.Calls().size(), callsAtClose) << "host called after CloseController";
    EXPECT_TRUE(test::WaitUntil([] { return GetModuleHandleA(QM_PLUGIN_FILE) == nullptr; }))
        << "the DLL stayed loaded";
    sim_end_late_callbacks();
    sim_set_input_delay(0);
    sim_set_manual_clock(0);
  }
}

TEST_F(LateClose, TheSystemCountsACallbackIntoAFreedDll) {
  // Without this, a stray count of 0 above could mean the system never looks.
  HMODULE module = LoadLibraryA(QM_CALLBACK_MODULE);
  ASSERT_NE(module, nullptr) << "cannot load " QM_CALLBACK_MODULE;
  const auto proc = reinterpret_cast<DWORD_PTR>(GetProcAddress(module, "ModuleOutProc"));
  ASSERT_NE(proc, 0u);
  HMIDIOUT handle = nullptr;
  ASSERT_EQ(midiOutOpen(&handle, m_surface.output(), proc, 0, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
  // The close notification is still to come when the DLL goes (unless this
  // thread stalls for a second).
  sim_set_late_callbacks(1000, 0);
  ASSERT_EQ(midiOutClose(handle), MMSYSERR_NOERROR);
  ASSERT_TRUE(FreeLibrary(module));
  ASSERT_EQ(GetModuleHandleA(QM_CALLBACK_MODULE), nullptr);
  ASSERT_EQ(sim_wait_callbacks_done(kDeadlockMilliseconds), 1);
  EXPECT_EQ(sim_stray_callbacks(), 1u);
}

}  // namespace
