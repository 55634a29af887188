// The real plug-in DLL exchanging MIDI with the simulated surface under Wine:
// the host drives it through its exports, the surface through winmm.
#include <windows.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "wine_rig.h"
#include <gtest/gtest.h>

namespace {

using test::Action;
using test::Bytes;
using test::Clear;
using test::FakeHost;
using test::HostCall;
using test::Lamp;
using test::Lcd;
using test::Query;
using test::Ran;
using test::SimSurface;
using wine::Plugin;

using Calls = std::vector<HostCall>;
using Messages = std::vector<Bytes>;

class Attached : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Plugin::Get().Loaded()) << "cannot load " QM_PLUGIN_FILE;
    m_host.SetCommands({"Cut", "Undo (1)", "Copy", "Redo"});
  }
  void TearDown() override { Plugin::Get().Close(); }

  const Plugin& plugin() const { return Plugin::Get(); }
  void Open() {
    ASSERT_EQ(plugin().Open(m_host.Services()), 1);
    m_surface.Take();
    m_host.ClearCalls();
  }
  // The host's own calls: the track change that every input test starts from.
  void SelectTrack(int32_t track) {
    plugin().Update(HostCode::kTrackChange, track, 0);
    m_surface.Take();
    m_host.ClearCalls();
  }
  Calls TakeCalls() {
    Calls calls = m_host.Calls();
    m_host.ClearCalls();
    return calls;
  }

  SimSurface m_surface;
  FakeHost m_host;
};

TEST_F(Attached, OpenClearsTheDisplayThenPutsOutTheLoopLamp) {
  EXPECT_EQ(plugin().Open(m_host.Services()), 1);
  const Messages received = m_surface.Take();
  ASSERT_EQ(received, (Messages{Clear(), Lamp(86, false)}));
  EXPECT_EQ(received[0].size(), 48u);
  EXPECT_EQ(sim_open_devices(), 2u);
  EXPECT_TRUE(m_surface.DebugLines().empty());
}

TEST(Detached, WithoutTheSurfaceOpenFailsAndSaysWhy) {
  ASSERT_TRUE(Plugin::Get().Loaded());
  SimSurface surface(false);
  sim_add_output("Other");
  FakeHost host;
  EXPECT_EQ(Plugin::Get().Open(host.Services()), 0);
  const auto lines = surface.DebugLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Couldn't find Quillmote Midi port\n"),
            lines.end());
  EXPECT_EQ(sim_open_devices(), 0u);
  EXPECT_EQ(Plugin::Get().Update(HostCode::kRecordState, 1), 1);
  EXPECT_EQ(sim_sent_count(0), 0u);
  Plugin::Get().Close();
}

// ---- Notifications, on the host's thread ----------------------------------

TEST_F(Attached, TrackChangeRefreshesTheTrackInOrder) {
  Open();
  m_host.SetName(4, "Bass");
  m_host.SetVolume(4, -6.5);
  m_host.SetPan(4, -42);
  m_host.SetFlag(HostCode::kQueryFlag15, 4, 1);
  m_host.SetFlag(HostCode::kQueryFlag16, 4, 0);
  m_host.SetFlag(HostCode::kQueryFlag19, 4, 7);
  plugin().Update(HostCode::kTrackChange, 4, 12);
  EXPECT_EQ(m_surface.Take(),
            (Messages{Lcd(20, "5 (12)    "), Lcd(0, "Bass      "), Lcd(11, "-6.5 "), Lcd(17, "L42"),
                      Lamp(16, true), Lamp(8, false), Lamp(0, true)}));
  const Calls calls = TakeCalls();
  EXPECT_EQ(calls, (Calls{Query(HostCode::kQueryName, 4), Query(HostCode::kQueryVolume, 4),
                          Query(HostCode::kQueryPan, 4), Query(HostCode::kQueryFlag15, 4),
                          Query(HostCode::kQueryFlag16, 4), Query(HostCode::kQueryFlag19, 4)}));
  for (const HostCall& call : calls) EXPECT_EQ(call.thread, std::this_thread::get_id());
}

TEST_F(Attached, RecordLevelsAndTime) {
  Open();
  const double zero = 0.0, full = 1.0;
  plugin().Update(HostCode::kRecordState, 1);
  plugin().Update(HostCode::kLevels, Plugin::Address(&zero), Plugin::Address(&zero));
  plugin().Update(HostCode::kLevels, Plugin::Address(&full), Plugin::Address(&zero));
  plugin().Update(HostCode::kTime, Plugin::Address("1:02.345"));
  plugin().Update(HostCode::kTime, 0);
  EXPECT_EQ(m_surface.Take(),
            (Messages{Lamp(95, true), Lcd(20, "\x03       "),
                      Lcd(20, "\x04\x01\x01\x01\x01\x01\x01\x01"), Lcd(29, "   1:02.345")}));
}

// ---- The surface's input, on the system's thread ---------------------------

TEST_F(Attached, ButtonsAndWheelOnBothLayersCallTheHostFromTheInputThread) {
  constexpr int32_t kTrack = 5, kUndo = 1, kRedo = 3;
  Open();
  m_host.SetVolume(kTrack, -3.0);
  SelectTrack(kTrack);

  struct Step {
    const char* name;
    uint8_t status, data1, data2;
    Calls calls;
    Messages surface;
  };
  const Step steps[] = {
      {"PLAY", 0x90, 94, 0x7F, {Action(HostCode::kPlay, 1, 0)}, {}},
      {"PLAY released", 0x90, 94, 0, {}, {}},
      {"RWD", 0x90, 91, 0x7F, {Action(HostCode::kRewind, 1, 0)}, {}},
      {"RWD released", 0x90, 91, 0, {Action(HostCode::kRewind, 0, 0)}, {}},
      {"TRACK-R", 0x90, 49, 0x7F, {Action(HostCode::kSelectTrack, 0, kTrack + 1)}, {}},
      {"TRACK-R released", 0x90, 49, 0, {}, {}},
      {"UNDO", 0x90, 76, 0x7F, {Ran(kUndo, 0x90)}, {}},
      {"UNDO released", 0x90, 76, 0, {Ran(kUndo, 0x80)}, {}},
      {"wheel forward", 0xB0, 60, 3, {Action(HostCode::kTransportStep, 1, 0)}, {}},
      {"wheel backward", 0xB0, 60, 70, {Action(HostCode::kTransportStep, -1, 0)}, {}},
      {"LOOP", 0x90, 86, 0x7F, {}, {Lamp(86, true)}},
      {"PLAY in loop mode", 0x90, 94, 0x7F, {Action(HostCode::kPlayLooped, 1, 0)}, {}},
      {"SHIFT", 0x90, 121, 0x7F, {}, {Lcd(10, "~")}},
      {"shifted UNDO", 0x90, 76, 0x7F, {Ran(kRedo, 0x90)}, {}},
      {"shifted wheel: volume", 0xB0, 60, 2, {Action(HostCode::kSetVolume, -100, kTrack)}, {}},
      {"shifted LOOP: pan mode", 0x90, 86, 0x7F, {}, {Lcd(10, " "), Lcd(16, "~")}},
      {"shifted wheel: pan", 0xB0, 60, 65, {Action(HostCode::kChangePan, -10, kTrack)}, {}},
      {"SHIFT released", 0x90, 121, 0, {}, {Lcd(16, " ")}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    ASSERT_TRUE(m_surface.Send(step.status, step.data1, step.data2));
    EXPECT_EQ(m_surface.Take(), step.surface);
    const Calls calls = TakeCalls();
    EXPECT_EQ(calls, step.calls);
    for (const HostCall& call : calls) EXPECT_NE(call.thread, std::this_thread::get_id());
  }
}

// ---- Bindings from the user's registry ---------------------------------------

class Bindings : public Attached {
 protected:
  static constexpr char kKey[] = "Software\\Harrowgate\\QuillmoteVelloran";

  void SetUp() override {
    Attached::SetUp();
    RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
    m_host.SetCommands({"Record/Stop toggle", "Custom", "Metronome On/Off toggle", "Other"});
  }
  void TearDown() override {
    Attached::TearDown();
    RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
  }
  static void Store(const char* name, const std::string& command) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                   static_cast<DWORD>(command.size() + 1));
    RegCloseKey(key);
  }
};

TEST_F(Bindings, StoredNamesWinAndTheRestTakeTheirDefaults) {
  Store("Footswitch", "Custom");
  Open();
  m_surface.Press(103);
  m_surface.Release(103);
  m_surface.Press(121);
  m_surface.Press(94);  // SHIFT + PLAY: its default, the metronome
  m_surface.Release(94);
  EXPECT_EQ(TakeCalls(), (Calls{Ran(1, 0x90), Ran(1, 0x80), Ran(2, 0x90), Ran(2, 0x80)}));
}

TEST_F(Bindings, AreResolvedAgainWhenTheHostAsks) {
  Open();
  m_surface.Press(103);
  EXPECT_EQ(TakeCalls(), (Calls{Ran(0, 0x90)}));
  Store("Footswitch", "Other");
  plugin().Update(HostCode::kReloadBindings);
  m_surface.Press(103);
  EXPECT_EQ(TakeCalls(), (Calls{Ran(3, 0x90)}));
}

// ---- Closing -----------------------------------------------------------------

TEST_F(Attached, CloseWithDisplayWritesInFlightLeavesNoHeaderPrepared) {
  struct Case {
    const char* name;
    bool hold;
    unsigned delay;
  };
  for (const Case& c : {Case{"held by the system", true, 0}, Case{"slow system", false, 200}}) {
    SCOPED_TRACE(c.name);
    SimSurface surface;
    Open();
    sim_set_completion_delay(c.delay);
    sim_hold_completions(c.hold ? 1 : 0);
    for (int i = 0; i < 20; ++i) plugin().Update(HostCode::kTime, Plugin::Address("0:00.000"));
    EXPECT_GT(sim_pending_headers(), 0u);
    plugin().Close();
    EXPECT_EQ(sim_prepared_headers(), 0u);
    EXPECT_EQ(sim_pending_headers(), 0u);
    EXPECT_EQ(sim_open_devices(), 0u);
    sim_hold_completions(0);
  }
}

TEST_F(Attached, CloseBlanksTheSurfaceAndCanBeRepeated) {
  Open();
  plugin().Close();
  EXPECT_EQ(m_surface.Take(),
            (Messages{Clear(), Lamp(95, false), Lamp(86, false), Lamp(120, false), Lamp(115, false),
                      Lamp(8, false), Lamp(16, false), Lamp(0, false)}));
  EXPECT_EQ(sim_open_devices(), 0u);
  plugin().Close();
  EXPECT_TRUE(m_surface.Take().empty());
  // And the host may open it again.
  EXPECT_EQ(plugin().Open(m_host.Services()), 1);
  EXPECT_EQ(m_surface.Take(), (Messages{Clear(), Lamp(86, false)}));
}

}  // namespace
