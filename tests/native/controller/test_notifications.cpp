// The host's notifications: what each code asks of the host and what the
// surface receives.
#include <cmath>
#include <limits>

#include "controller/controller.h"
#include "fake_host.h"
#include "sim_surface.h"
#include <gtest/gtest.h>

namespace {

using test::Bytes;
using test::FakeHost;
using test::HostCall;
using test::Lamp;
using test::Lcd;
using test::Query;
using test::SimSurface;

class Notifications : public ::testing::Test {
 protected:
  void SetUp() override {
    m_controller.Attach();
    m_surface.ClearReceived();
    m_host.ClearCalls();
  }
  HostArg Update(int32_t code, HostArg first = 0, HostArg second = 0) {
    return m_controller.OnHostUpdate(code, first, second, 0);
  }
  static HostArg Address(const void* pointer) { return reinterpret_cast<HostArg>(pointer); }
  std::vector<Bytes> Received() const {
    auto received = m_surface.Received();
    m_surface.ClearReceived();
    return received;
  }
  std::vector<HostCall> Queries() {
    auto queries = m_host.CallsOf(HostCall::kQuery);
    m_host.ClearCalls();
    return queries;
  }

  SimSurface m_surface;
  FakeHost m_host;
  HostServices m_services = m_host.Services();
  CMidiReceiveDlg m_controller{&m_services};
};

TEST_F(Notifications, TrackChangeRefreshesEverythingOfTheTrackInOrder) {
  m_host.SetName(4, "Bass");
  m_host.SetVolume(4, -6.5);
  m_host.SetPan(4, -42);
  m_host.SetFlag(HostCode::kQueryFlag15, 4, 1);
  m_host.SetFlag(HostCode::kQueryFlag16, 4, 0);
  m_host.SetFlag(HostCode::kQueryFlag19, 4, 7);  // any nonzero value lights the lamp
  Update(HostCode::kTrackChange, 4, 12);
  EXPECT_EQ(m_controller.CurrentTrack(), 4);
  EXPECT_EQ(m_controller.Volume(), -6.5);
  EXPECT_EQ(Received(),
            (std::vector<Bytes>{Lcd(20, "5 (12)    "), Lcd(0, "Bass      "), Lcd(11, "-6.5 "),
                                Lcd(17, "L42"), Lamp(16, true), Lamp(8, false), Lamp(0, true)}));
  EXPECT_EQ(Queries(), (std::vector<HostCall>{
                           Query(HostCode::kQueryName, 4), Query(HostCode::kQueryVolume, 4),
                           Query(HostCode::kQueryPan, 4), Query(HostCode::kQueryFlag15, 4),
                           Query(HostCode::kQueryFlag16, 4), Query(HostCode::kQueryFlag19, 4)}));
}

TEST_F(Notifications, TrackChangeAsksAboutTheLowSixteenBitsSignExtended) {
  Update(HostCode::kTrackChange, 65536 + 5, 0);
  EXPECT_EQ(m_controller.CurrentTrack(), 65536 + 5);
  EXPECT_EQ(Queries(), (std::vector<HostCall>{
                           Query(HostCode::kQueryName, 5), Query(HostCode::kQueryVolume, 5),
                           Query(HostCode::kQueryPan, 5), Query(HostCode::kQueryFlag15, 5),
                           Query(HostCode::kQueryFlag16, 5), Query(HostCode::kQueryFlag19, 5)}));
  const std::vector<Bytes> received = Received();
  ASSERT_EQ(received.size(), 7u);
  EXPECT_EQ(received[0], Lcd(20, "65542 (0) "));

  Update(HostCode::kTrackChange, 0xFFFF, 0);
  EXPECT_EQ(Queries(), (std::vector<HostCall>{
                           Query(HostCode::kQueryName, -1), Query(HostCode::kQueryVolume, -1),
                           Query(HostCode::kQueryPan, -1), Query(HostCode::kQueryFlag15, -1),
                           Query(HostCode::kQueryFlag16, -1), Query(HostCode::kQueryFlag19, -1)}));
}

TEST_F(Notifications, UnansweredQueriesShowEmptyValues) {
  // The host writes nothing: a blank name, 0.0, centre, lamps out.
  Update(HostCode::kTrackChange, 3, 1);
  EXPECT_EQ(Received(), (std::vector<Bytes>{Lcd(20, "4 (1)     "), Lcd(0, std::string(10, ' ')),
                                            Lcd(11, "0.0  "), Lcd(17, "CTR"), Lamp(16, false),
                                            Lamp(8, false), Lamp(0, false)}));
}

TEST_F(Notifications, ANameWithoutItsNulStopsAtTheBuffer) {
  m_host.SetRawName(2, std::vector<char>(64, 'n'));
  Update(HostCode::kTrackChange, 2, 0);
  const std::vector<Bytes> received = Received();
  ASSERT_EQ(received.size(), 7u);
  EXPECT_EQ(received[1], Lcd(0, std::string(10, 'n')));
}

TEST_F(Notifications, PanQueryReadsOnlyTheLowSixteenBits) {
  m_host.SetPan(1, 0x7FFF0000 | 0xFFFF);  // low half -1
  Update(HostCode::kTrackChange, 1, 0);
  const std::vector<Bytes> received = Received();
  ASSERT_EQ(received.size(), 7u);
  EXPECT_EQ(received[3], Lcd(17, "L 1"));
}

TEST_F(Notifications, CodesTiedToTheCurrentTrackActOnlyForIt) {
  const double volume = -3.5;
  Update(HostCode::kTrackChange, 7, 0);
  Received();
  Queries();
  struct Case {
    int32_t code;
    HostArg second;
    Bytes sent;
  };
  const Case cases[] = {
      {HostCode::kFlag15, 1, Lamp(16, true)},
      {HostCode::kFlag19, 0, Lamp(0, false)},
      {HostCode::kVolume, Address(&volume), Lcd(11, "-3.5 ")},
      {HostCode::kPan, 100, Lcd(17, "RGT")},
      {HostCode::kPan, -100, Lcd(17, "LFT")},
      {HostCode::kPan, 0, Lcd(17, "CTR")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(Update(c.code, 8, c.second), 8);  // another track: nothing
    EXPECT_TRUE(Received().empty());
    // Compared as full 32-bit values: equal low halves are not enough.
    EXPECT_EQ(Update(c.code, 7 + 65536, c.second), 7 + 65536);
    EXPECT_TRUE(Received().empty());
    Update(c.code, 7, c.second);
    EXPECT_EQ(Received(), std::vector<Bytes>{c.sent});
  }
  EXPECT_EQ(m_controller.Volume(), -3.5);
  EXPECT_TRUE(Queries().empty());
}

TEST_F(Notifications, VolumeOfAnotherTrackKeepsTheRecordedVolume) {
  const double volume = 9.0;
  Update(HostCode::kVolume, 0, Address(&volume));  // no current track yet
  EXPECT_EQ(m_controller.Volume(), 0.0);
  Update(HostCode::kVolume, -1, Address(&volume));  // -1 is the current track until one is named
  EXPECT_EQ(m_controller.Volume(), 9.0);
  EXPECT_EQ(Received(), std::vector<Bytes>{Lcd(11, "9.0  ")});
}

// A volume that is no number or infinite is shown as printf writes it; the
// wheel's handling of it is in test_buttons.cpp.
TEST_F(Notifications, AVolumeThatIsNoNumberOrInfiniteIsShownAsSuch) {
  Update(HostCode::kTrackChange, 2, 0);
  Received();
  Queries();
  struct Case {
    double volume;
    const char* shown;
  };
  const Case cases[] = {{std::numeric_limits<double>::quiet_NaN(), "nan  "},
                        {-std::numeric_limits<double>::quiet_NaN(), "-nan "},
                        {std::numeric_limits<double>::infinity(), "inf  "},
                        {-std::numeric_limits<double>::infinity(), "-inf "},
                        {-3.5, "-3.5 "}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(Update(HostCode::kVolume, 2, Address(&c.volume)), 2);
    EXPECT_EQ(Received(), std::vector<Bytes>{Lcd(11, c.shown)});
    // Recorded as given: the wheel decides what to make of it.
    const double recorded = m_controller.Volume();
    EXPECT_EQ(std::isnan(recorded), std::isnan(c.volume));
    if (!std::isnan(c.volume)) {
      EXPECT_EQ(recorded, c.volume);
    }
  }
  EXPECT_TRUE(Queries().empty());
}

TEST_F(Notifications, ATrackChangeShowsAVolumeAnswerThatIsNoNumberOrInfinite) {
  m_host.SetVolume(3, std::numeric_limits<double>::quiet_NaN());
  m_host.SetVolume(4, -std::numeric_limits<double>::infinity());
  Update(HostCode::kTrackChange, 3, 8);
  const std::vector<Bytes> third = Received();
  ASSERT_EQ(third.size(), 7u);
  EXPECT_EQ(third[2], Lcd(11, "nan  "));
  EXPECT_TRUE(std::isnan(m_controller.Volume()));
  Update(HostCode::kTrackChange, 4, 8);
  const std::vector<Bytes> fourth = Received();
  ASSERT_EQ(fourth.size(), 7u);
  EXPECT_EQ(fourth[2], Lcd(11, "-inf "));
  EXPECT_EQ(m_controller.Volume(), -std::numeric_limits<double>::infinity());
}

TEST_F(Notifications, TrackNameIsAskedAgain) {
  Update(HostCode::kTrackChange, 2, 0);
  Received();
  Queries();
  m_host.SetName(2, "Renamed track");
  Update(HostCode::kTrackName, 2, 12345);
  EXPECT_EQ(Received(), std::vector<Bytes>{Lcd(0, "Renamed tr")});
  EXPECT_EQ(Queries(), std::vector<HostCall>{Query(HostCode::kQueryName, 2)});
  Update(HostCode::kTrackName, 3, 0);
  EXPECT_TRUE(Received().empty());
}

TEST_F(Notifications, Flag16ScansEveryTrackForTheAny16Lamp) {
  Update(HostCode::kTrackChange, 1, 0);
  Received();
  Queries();
  m_host.SetFlag(HostCode::kQueryFlag16, 100, 1);
  Update(HostCode::kFlag16, 5, 1);  // not the current track: no FLAG-16 lamp, still the scan
  auto queries = Queries();
  ASSERT_EQ(queries.size(), 128u);
  for (int32_t i = 0; i < 128; ++i) EXPECT_EQ(queries[i], Query(HostCode::kQueryFlag16, i));
  EXPECT_EQ(Received(), std::vector<Bytes>{Lamp(115, true)});

  m_host.SetFlag(HostCode::kQueryFlag16, 100, 0);
  Update(HostCode::kFlag16, 1, 1);
  EXPECT_EQ(Queries().size(), 128u);
  EXPECT_EQ(Received(), (std::vector<Bytes>{Lamp(8, true), Lamp(115, false)}));
}

TEST_F(Notifications, RecordLevelsAndTimeNeedNoTrack) {
  const double zero = 0.0, full = 1.0;
  Update(HostCode::kRecordState, 1);
  Update(HostCode::kRecordState, 0);
  Update(HostCode::kLevels, Address(&zero), Address(&zero));
  Update(HostCode::kLevels, Address(&full), Address(&zero));
  Update(HostCode::kTime, Address("1:02.345"));
  Update(HostCode::kTime, 0);
  EXPECT_EQ(Received(), (std::vector<Bytes>{Lamp(95, true), Lamp(95, false), Lcd(20, "\x03       "),
                                            Lcd(20, "\x04\x01\x01\x01\x01\x01\x01\x01"),
                                            Lcd(29, "   1:02.345")}));
}

TEST_F(Notifications, LevelsOverwriteTheLabelButNotItsLastCells) {
  const double level = 0.0;
  Update(HostCode::kTrackChange, 127, 1000);
  Update(HostCode::kLevels, Address(&level), Address(&level));
  const auto received = Received();
  ASSERT_EQ(received.size(), 8u);  // the track's seven messages, then the levels
  EXPECT_EQ(received.front(), Lcd(20, "128 (1000)"));
  EXPECT_EQ(received.back(), Lcd(20, "\x03       "));
}

TEST_F(Notifications, NullAddressesAreIgnored) {
  const double level = 0.5;
  Update(HostCode::kTrackChange, 0, 0);
  Received();
  EXPECT_EQ(Update(HostCode::kVolume, 0, 0), 0);
  EXPECT_EQ(Update(HostCode::kLevels, 0, Address(&level)), 0);
  EXPECT_EQ(Update(HostCode::kLevels, Address(&level), 0), Address(&level));
  EXPECT_TRUE(Received().empty());
}

TEST_F(Notifications, UnknownCodesReturnTheirFirstArgument) {
  for (int32_t code : {8, -1, 0, 17, 42, 1000, INT32_MIN}) {
    EXPECT_EQ(Update(code, 4711, 1), 4711) << code;
  }
  EXPECT_TRUE(Received().empty());
  EXPECT_TRUE(Queries().empty());
}

TEST_F(Notifications, ARefusedSendStopsTheRefreshButNotTheNextNotification) {
  // A driver that is done at once: every write goes to the system inside
  // the host's call, and so does its refusal.
  sim_set_output_driver(SIM_DRIVER_DONE_INLINE);
  sim_fail("midiOutLongMsg", MIDIERR_NOTREADY, 1, 1);  // the track name write
  EXPECT_THROW(Update(HostCode::kTrackChange, 2, 0), midi::CMIDIOutException);
  EXPECT_EQ(m_controller.CurrentTrack(), 2);
  EXPECT_EQ(Received(), std::vector<Bytes>{Lcd(20, "3 (0)     ")});
  EXPECT_EQ(Queries().size(), 1u);  // the name query, then nothing more
  Update(HostCode::kRecordState, 1);
  EXPECT_EQ(Received(), std::vector<Bytes>{Lamp(95, true)});
}

TEST_F(Notifications, AWaitingWriteTheSystemRefusesIsDroppedAndSaidOnce) {
  // The label is still on its way when the other writes come: they wait,
  // and go out from the port's thread, where the name is refused.
  sim_hold_completions(1);
  sim_fail("midiOutLongMsg", MIDIERR_NOTREADY, 1, 2);
  Update(HostCode::kTrackChange, 2, 0);
  EXPECT_EQ(Queries().size(), 6u);  // the refresh ran to its end
  sim_hold_completions(0);
  EXPECT_EQ(Received(), (std::vector<Bytes>{Lcd(20, "3 (0)     "), Lcd(17, "CTR"), Lamp(16, false),
                                            Lamp(8, false), Lamp(0, false)}));
  std::vector<std::string> refusals;
  for (const std::string& line : m_surface.DebugLines()) {
    if (line.find("refused a waiting message") != std::string::npos) refusals.push_back(line);
  }
  ASSERT_EQ(refusals.size(), 1u) << "the name and the volume were refused; said once";
  EXPECT_NE(refusals[0].find("The port is transmitting data"), std::string::npos) << refusals[0];
  // The port goes on.
  Update(HostCode::kRecordState, 1);
  EXPECT_EQ(Received(), std::vector<Bytes>{Lamp(95, true)});
}

TEST(NotificationsWithoutSurface, StillQueryAndRecord) {
  SimSurface surface(false);
  FakeHost host;
  host.SetVolume(3, 12.5);
  HostServices services = host.Services();
  CMidiReceiveDlg controller(&services);
  controller.Attach();
  controller.OnHostUpdate(HostCode::kTrackChange, 3, 0, 0);
  EXPECT_EQ(controller.CurrentTrack(), 3);
  EXPECT_EQ(controller.Volume(), 12.5);
  EXPECT_EQ(host.CallsOf(HostCall::kQuery).size(), 6u);
}

}  // namespace
