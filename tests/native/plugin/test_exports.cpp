// The plug-in library as a host sees it: loaded by name, driven through its
// exported functions only.
#include <dlfcn.h>

#include <algorithm>
#include <cstring>

#include "fake_host.h"
#include "plugin/exports.h"
#include "plugin_library.h"
#include "sim_surface.h"
#include <gtest/gtest.h>

namespace {

using test::Bytes;
using test::FakeHost;
using test::PluginLibrary;
using test::SimSurface;

// A notification code the plug-in does not follow: UpdateController hands
// its first argument back.
constexpr int32_t kUnhandledCode = 8;

class Exports : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_plugin = new PluginLibrary; }
  static void TearDownTestSuite() {
    delete s_plugin;
    s_plugin = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(s_plugin->Loaded()) << dlerror(); }
  void TearDown() override {
    if (s_plugin->Loaded()) Close();
  }

  static int Query(void* info) { return s_plugin->Query(info); }
  static int Open(const HostServices* host) { return s_plugin->Open(host); }
  static HostArg Update(int32_t code, HostArg first, HostArg second = 0) {
    return s_plugin->Update(code, first, second);
  }
  static void Close() { s_plugin->Close(); }

  static PluginLibrary* s_plugin;
  FakeHost m_host;
};

PluginLibrary* Exports::s_plugin = nullptr;

TEST_F(Exports, QueryFillsTheRecordAndLeavesTheHostsBytes) {
  unsigned char record[32];
  std::memset(record, 0xFF, sizeof record);
  EXPECT_EQ(Query(record), 1);
  const unsigned char expected[] = {0x7A, 0x76, 0x6C, 0x6B, 0x00, 0x01, 0x00, 0x00,
                                    0xFF, 0xFF, 0xFF, 0xFF, 'Q',  'u',  'i',  'l',
                                    'l',  'm',  'o',  't',  'e',  0x00, 0xFF};
  EXPECT_EQ(std::memcmp(record, expected, sizeof expected), 0);
}

TEST_F(Exports, NothingHappensWithoutAController) {
  SimSurface surface;
  EXPECT_EQ(Update(HostCode::kRecordState, 1), 0);
  Close();
  Close();
  EXPECT_TRUE(surface.Received().empty());
}

TEST_F(Exports, WithoutTheSurfaceOpenFailsButTheControllerStays) {
  SimSurface surface(false);
  const HostServices services = m_host.Services();
  EXPECT_EQ(Open(&services), 0);
  EXPECT_EQ(surface.DebugLines(), std::vector<std::string>{"Couldn't find Quillmote Midi port\n"});
  EXPECT_EQ(Update(kUnhandledCode, 5), 5);  // a controller is there to answer
  Update(HostCode::kRecordState, 1);
  EXPECT_EQ(sim_call_count("midiOutShortMsg"), 0u);
}

TEST_F(Exports, OpenAttachesAndCloseBlanksTheSurface) {
  SimSurface surface;
  const HostServices services = m_host.Services();
  EXPECT_EQ(Open(&services), 1);
  Update(HostCode::kRecordState, 1);
  Close();
  Close();
  const Bytes clear = test::Lcd(0, std::string(40, ' '));
  const std::vector<Bytes> expected = {clear,           test::Lamp(86, false), test::Lamp(95, true),
                                       clear,           {0x90, 0x5F, 0},       {0x90, 0x56, 0},
                                       {0x90, 0x78, 0}, {0x90, 0x73, 0},       {0x90, 0x08, 0},
                                       {0x90, 0x10, 0}, {0x90, 0x00, 0}};
  EXPECT_EQ(surface.Received(), expected);
  EXPECT_EQ(sim_open_devices(), 0u);
  EXPECT_EQ(sim_prepared_headers(), 0u);
}

TEST_F(Exports, ASecondOpenEndsTheFirstController) {
  SimSurface surface;
  const HostServices services = m_host.Services();
  EXPECT_EQ(Open(&services), 1);
  EXPECT_EQ(sim_open_devices(), 2u);
  EXPECT_EQ(Open(&services), 1);
  // The first controller gave its devices back before the second took them:
  // had it kept them, the second could not have opened them (it would say
  // so on the debugger output, and the surface would not reach it), and
  // more than the surface's two devices would be open.
  EXPECT_EQ(sim_open_devices(), 2u);
  EXPECT_EQ(surface.DebugLines(), std::vector<std::string>{});
  m_host.ClearCalls();
  surface.ClearReceived();
  ASSERT_TRUE(surface.Send(0x90, 94, 127));  // PLAY
  EXPECT_EQ(m_host.CallsOf(test::HostCall::kAction),
            std::vector<test::HostCall>{test::Action(HostCode::kPlay, 1, 0)});
  Update(HostCode::kRecordState, 1);
  EXPECT_EQ(surface.Received(), std::vector<Bytes>{test::Lamp(95, true)});
  Close();
  EXPECT_EQ(sim_open_devices(), 0u);
  EXPECT_EQ(sim_prepared_headers(), 0u);
}

TEST_F(Exports, FailuresNeverReachTheHost) {
  SimSurface surface;
  const HostServices services = m_host.Services();
  EXPECT_EQ(Open(nullptr), 0);
  // The output port can't start its thread: said, and the host runs on.
  sim_fail("CreateEventA", 8, 0, 1);
  EXPECT_EQ(Open(&services), 1);
  EXPECT_EQ(Update(kUnhandledCode, 3), 3);
  EXPECT_EQ(Update(HostCode::kRecordState, 1), 1);
  const std::vector<std::string> lines = surface.DebugLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "Error attaching to Quillmote Midi port Unable to create a signalling event "
                      "for CMIDIOutDevice object.\n"),
            lines.end());
  Close();

  EXPECT_EQ(Open(&services), 1);
  sim_fail("midiOutShortMsg", MIDIERR_NOTREADY, 0, 1);
  EXPECT_EQ(Update(HostCode::kRecordState, 1), 1);  // refused, returned normally
  Update(HostCode::kRecordState, 0);
  sim_fail("midiOutLongMsg", MIDIERR_NOTREADY, 0, 0);
  Close();  // the blanking is refused; the controller still ends
  EXPECT_EQ(sim_open_devices(), 0u);
  sim_clear_faults();
  EXPECT_EQ(Open(&services), 1);
  // Closed while the simulated machine still has its devices: resetting it
  // first would drop the display clear in flight.
  Close();
}

// The seven lamp-off note-ons of the close, in their order.
std::vector<Bytes> LampsOff() {
  return {{0x90, 0x5F, 0}, {0x90, 0x56, 0}, {0x90, 0x78, 0}, {0x90, 0x73, 0},
          {0x90, 0x08, 0}, {0x90, 0x10, 0}, {0x90, 0x00, 0}};
}

TEST_F(Exports, ARefusedDisplayClearAtCloseStillPutsOutEveryLamp) {
  // The clear is refused where the header is prepared or where it is sent.
  const struct {
    const char* function;
    unsigned result;
  } refusals[] = {
      {"midiOutLongMsg", MIDIERR_NOTREADY},
      {"midiOutLongMsg", MMSYSERR_INVALHANDLE},
      {"midiOutPrepareHeader", MMSYSERR_NOMEM},
      {"midiOutPrepareHeader", MMSYSERR_INVALHANDLE},
  };
  for (const auto& refusal : refusals) {
    for (unsigned count : {1u, 0u}) {  // once, and every long message
      SCOPED_TRACE(testing::Message()
                   << refusal.function << " " << refusal.result << " count " << count);
      SimSurface surface;
      const HostServices services = m_host.Services();
      ASSERT_EQ(Open(&services), 1);
      Update(HostCode::kRecordState, 1);  // the RECORD lamp is lit
      surface.ClearReceived();
      sim_fail(refusal.function, refusal.result, 0, count);
      Close();  // returns to the host
      sim_clear_faults();
      EXPECT_EQ(surface.Received(), LampsOff());
      EXPECT_EQ(sim_open_devices(), 0u);
      EXPECT_EQ(sim_prepared_headers(), 0u);
    }
  }
}

TEST_F(Exports, ARefusedLampAtCloseLeavesTheOthersGoingOut) {
  const Bytes clear = test::Lcd(0, std::string(40, ' '));
  for (unsigned refused = 0; refused < 7; ++refused) {
    SCOPED_TRACE(testing::Message() << "lamp " << refused << " refused");
    SimSurface surface;
    const HostServices services = m_host.Services();
    ASSERT_EQ(Open(&services), 1);
    surface.ClearReceived();
    // The close sends no other short message than the seven lamps.
    sim_fail("midiOutShortMsg", MIDIERR_NOTREADY, refused, 1);
    Close();
    sim_clear_faults();
    std::vector<Bytes> expected = {clear};
    const std::vector<Bytes> lamps = LampsOff();
    for (unsigned lamp = 0; lamp < lamps.size(); ++lamp) {
      if (lamp != refused) expected.push_back(lamps[lamp]);
    }
    EXPECT_EQ(surface.Received(), expected);
    EXPECT_EQ(sim_call_count("midiOutShortMsg"), 8u);  // the LOOP lamp at open, seven at close
    EXPECT_EQ(sim_open_devices(), 0u);
  }
}

TEST_F(Exports, ACloseWhoseEveryMessageIsRefusedStillEndsTheController) {
  SimSurface surface;
  const HostServices services = m_host.Services();
  ASSERT_EQ(Open(&services), 1);
  surface.ClearReceived();
  sim_fail("midiOutLongMsg", MIDIERR_NOTREADY, 0, 0);
  sim_fail("midiOutShortMsg", MIDIERR_NOTREADY, 0, 0);
  const unsigned shortBefore = sim_call_count("midiOutShortMsg");
  Close();
  sim_clear_faults();
  // All seven lamps were still tried, one by one.
  EXPECT_EQ(sim_call_count("midiOutShortMsg") - shortBefore, 7u);
  EXPECT_TRUE(surface.Received().empty());
  EXPECT_EQ(sim_open_devices(), 0u);
  EXPECT_EQ(sim_prepared_headers(), 0u);
  EXPECT_EQ(Update(HostCode::kRecordState, 1), 0);  // no controller is left
}

}  // namespace
