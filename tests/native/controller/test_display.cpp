// Every display field and lamp, byte for byte, as the surface receives them.
#include <cmath>
#include <exception>
#include <string>

#include "controller/controller.h"
#include "fake_host.h"
#include "sim_surface.h"
#include <gtest/gtest.h>

namespace {

using test::Bytes;
using test::FakeHost;
using test::Lamp;
using test::Lcd;
using test::SimSurface;

class Display : public ::testing::Test {
 protected:
  void SetUp() override {
    m_controller.Attach();
    m_surface.ClearReceived();
  }
  std::vector<Bytes> Received() const { return m_surface.Received(); }
  Bytes Only() const {
    const auto received = Received();
    EXPECT_EQ(received.size(), 1u);
    m_surface.ClearReceived();
    return received.empty() ? Bytes{} : received[0];
  }

  SimSurface m_surface;
  FakeHost m_host;
  HostServices m_services = m_host.Services();
  CMidiReceiveDlg m_controller{&m_services};
};

TEST_F(Display, ClearIsFortyEightBytes) {
  m_controller.ClearDisplay();
  const Bytes clear = Only();
  ASSERT_EQ(clear.size(), 48u);
  EXPECT_EQ(clear, Lcd(0, std::string(40, ' ')));
}

TEST_F(Display, LampsAndTheBlankingSequence) {
  m_controller.SetLamp(86, true);
  m_controller.SetLamp(86, false);
  m_controller.AllLampsOff();
  m_controller.BlankSurface();
  const std::vector<Bytes> lampsOff = {{0x90, 0x5F, 0}, {0x90, 0x56, 0}, {0x90, 0x78, 0},
                                       {0x90, 0x73, 0}, {0x90, 0x08, 0}, {0x90, 0x10, 0},
                                       {0x90, 0x00, 0}};
  std::vector<Bytes> expected = {Lamp(86, true), Lamp(86, false)};
  expected.insert(expected.end(), lampsOff.begin(), lampsOff.end());
  expected.push_back(Lcd(0, std::string(40, ' ')));
  expected.insert(expected.end(), lampsOff.begin(), lampsOff.end());
  EXPECT_EQ(Received(), expected);
}

TEST_F(Display, BlankingTriesEveryMessageAndThenPassesTheFirstRefusalOn) {
  sim_fail("midiOutLongMsg", MIDIERR_NOTREADY, 0, 1);
  sim_fail("midiOutShortMsg", MMSYSERR_INVALHANDLE, 2, 1);  // PUNCH
  try {
    m_controller.BlankSurface();
    ADD_FAILURE() << "the refusals were not passed on";
  } catch (const std::exception& e) {
    // The display clear's, the first one refused.
    EXPECT_NE(std::string(e.what()).find("transmitting data"), std::string::npos) << e.what();
  }
  sim_clear_faults();
  EXPECT_EQ(Received(), (std::vector<Bytes>{{0x90, 0x5F, 0},
                                            {0x90, 0x56, 0},
                                            {0x90, 0x73, 0},
                                            {0x90, 0x08, 0},
                                            {0x90, 0x10, 0},
                                            {0x90, 0x00, 0}}));
}

TEST_F(Display, TrackNameIsCutAndPaddedToTenCells) {
  m_controller.ShowTrackName("abc");
  EXPECT_EQ(Only(), Lcd(0, "abc       "));
  m_controller.ShowTrackName("abcdefghijklmnopqrstuvwxy");
  EXPECT_EQ(Only(), Lcd(0, "abcdefghij"));
  m_controller.ShowTrackName("");
  EXPECT_EQ(Only(), Lcd(0, std::string(10, ' ')));
  // A byte with the high bit set would end the write on the wire: the cell
  // shows '?' instead, and nothing else of the write changes.
  m_controller.ShowTrackName("\xE9t\xE9");
  EXPECT_EQ(Only(), Lcd(0, "?t?       "));
  m_controller.ShowTrackName("Tom\x92s \xF7\x90V\x7F");
  EXPECT_EQ(Only(), Lcd(0, "Tom?s ??V\x7F"));
  m_controller.ShowTime(
      "\xFF"
      "12:00");
  EXPECT_EQ(Only(), Lcd(29, "     ?12:00"));
}

TEST_F(Display, VolumeHasOneDecimalInFiveCells) {
  const std::pair<double, std::string> cases[] = {
      {0.0, "0.0  "},  {-12.34, "-12.3"}, {-100.0, "-100."}, {-3.26, "-3.3 "},  {24.0, "24.0 "},
      {5.05, "5.0  "}, {-0.04, "-0.0 "},  {1e300, "10000"},  {-160.0, "-160."},
  };
  for (const auto& [volume, text] : cases) {
    m_controller.ShowVolume(volume);
    EXPECT_EQ(Only(), Lcd(11, text)) << volume;
    EXPECT_EQ(m_controller.Volume(), volume);
  }
}

TEST_F(Display, PanNamesTheEndsAndTheCentre) {
  const std::pair<int32_t, std::string> cases[] = {
      {0, "CTR"},   {-100, "LFT"},      {100, "RGT"},       {-1, "L 1"},   {-5, "L 5"},
      {-42, "L42"}, {99, "R99"},        {1, "R 1"},         {-101, "L10"}, {150, "R15"},
      {250, "R25"}, {INT32_MIN, "L21"}, {INT32_MAX, "R21"},
  };
  for (const auto& [pan, text] : cases) {
    m_controller.ShowPan(pan);
    EXPECT_EQ(Only(), Lcd(17, text)) << pan;
  }
}

TEST_F(Display, TrackLabelCountsFromOne) {
  const std::tuple<int32_t, int32_t, std::string> cases[] = {
      {2, 16, "3 (16)    "},
      {0, 7, "1 (7)     "},
      {127, 1000, "128 (1000)"},
      {4, -12345, "5 (-12345)"},
      {INT32_MAX, INT32_MIN, "-214748364"},
      {-1, 0, "0 (0)     "},
  };
  for (const auto& [track, value, text] : cases) {
    m_controller.ShowTrackLabel(track, value);
    EXPECT_EQ(Only(), Lcd(20, text)) << track << " " << value;
  }
}

TEST_F(Display, TimeIsRightAlignedAndCutOnTheRight) {
  m_controller.ShowTime("00:01:02");
  EXPECT_EQ(Only(), Lcd(29, "   00:01:02"));
  m_controller.ShowTime("00:00:01:023");
  EXPECT_EQ(Only(), Lcd(29, "00:00:01:02"));
  m_controller.ShowTime("");
  EXPECT_EQ(Only(), Lcd(29, std::string(11, ' ')));
  m_controller.ShowTime("12345678901");
  EXPECT_EQ(Only(), Lcd(29, "12345678901"));
  m_controller.ShowTime(nullptr);
  EXPECT_TRUE(Received().empty());
}

TEST_F(Display, MeterShowsTwoLevelsInEightCells) {
  struct Case {
    double first, second;
    Bytes cells;
  };
  const Case cases[] = {
      // A level of 0.0 already shows the first half step.
      {0.0, 0.0, {0x03, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20}},
      {1.0, 1.0, Bytes(8, 0x07)},
      {-0.1, -0.1, Bytes(8, 0x20)},
      {0.0625, 0.125, {0x07, 0x02, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20}},
      {0.5, 0.25, {0x07, 0x07, 0x04, 0x01, 0x00, 0x20, 0x20, 0x20}},
      {0.90625, -1.0, {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01}},
      {-1e300, 1e300, Bytes(8, 0x05)},
      {std::nan(""), 0.0, {0x02, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20}},
  };
  for (const Case& c : cases) {
    m_controller.ShowLevels(c.first, c.second);
    EXPECT_EQ(Only(), Lcd(20, std::string(c.cells.begin(), c.cells.end())))
        << c.first << " " << c.second;
  }
  // The worked example, whole.
  m_controller.ShowLevels(0.5, 0.25);
  EXPECT_EQ(test::Hex(Only()), "F0 00 01 40 10 00 14 07 07 04 01 00 20 20 20 F7");
}

TEST_F(Display, WheelMarks) {
  m_controller.ShowWheelMark(kVolumeMarkCell, true);
  EXPECT_EQ(test::Hex(Only()), "F0 00 01 40 10 00 0A 7E F7");
  m_controller.ShowWheelMark(kPanMarkCell, false);
  EXPECT_EQ(Only(), Lcd(16, " "));
}

TEST(DisplayWithoutSurface, EveryOperationReturnsAndVolumeIsStillRecorded) {
  SimSurface surface(false);
  FakeHost host;
  HostServices services = host.Services();
  CMidiReceiveDlg controller(&services);
  controller.Attach();
  controller.BlankSurface();
  controller.ShowTrackName("x");
  controller.ShowVolume(-7.5);
  controller.ShowPan(3);
  controller.ShowTrackLabel(1, 2);
  controller.ShowLevels(0.5, 0.5);
  controller.ShowTime("1");
  controller.ShowWheelMark(10, true);
  EXPECT_EQ(controller.Volume(), -7.5);
  EXPECT_EQ(sim_call_count("midiOutShortMsg") + sim_call_count("midiOutLongMsg"), 0u);
}

}  // namespace
