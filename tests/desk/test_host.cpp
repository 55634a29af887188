// The simulated host as the plug-in meets it: its answers to queries and
// command names, and what its actions do to its state. No plug-in is loaded
// and the host's thread does not run: notifications only queue.
#include <cstring>
#include <string>
#include <vector>

#include "host.h"
#include "native_machine.h"
#include <gtest/gtest.h>

namespace {

class DeskHost : public ::testing::Test {
 protected:
  DeskHost()
      : m_log([this](desk::Source, const std::string& text) { m_lines.push_back(text); }),
        m_machine(m_plugin),
        m_host(m_log, m_machine),
        m_services(m_host.Services()) {}

  void Act(int32_t code, int32_t value, int32_t track) {
    m_services.DoAction(code, value, track, 0);
  }
  std::vector<std::string> Lines() {
    m_lines.clear();
    m_log.Flush();
    return m_lines;
  }

  std::vector<std::string> m_lines;
  desk::Log m_log;
  desk::PluginLibrary m_plugin;
  desk::NativeMachine m_machine;
  desk::Host m_host;
  HostServices m_services;
};

TEST_F(DeskHost, VolumeAndPanActionsChangeTheTrack) {
  Act(20, -650, 1);
  EXPECT_DOUBLE_EQ(m_host.Take().tracks[1].volume, -6.5);
  // Pan changes by the value and stays within full left and right.
  Act(21, 30, 3);
  EXPECT_EQ(m_host.Take().tracks[3].pan, 90);
  Act(21, 30, 3);
  EXPECT_EQ(m_host.Take().tracks[3].pan, 100);
  Act(21, -250, 3);
  EXPECT_EQ(m_host.Take().tracks[3].pan, -100);
}

TEST_F(DeskHost, OnlyTheLow16BitsOfValueAndTrackCount) {
  Act(20, 0x10000 - 300, 0x10002);  // -3.0 for track 2
  EXPECT_DOUBLE_EQ(m_host.Take().tracks[2].volume, -3.0);
}

TEST_F(DeskHost, ActionsOnTracksItLacksAreRefused) {
  const desk::Host::Snapshot before = m_host.Take();
  Act(15, 1, 0xFFFF);  // no current track yet
  Act(20, 100, 40);
  const desk::Host::Snapshot after = m_host.Take();
  for (std::size_t i = 0; i < before.tracks.size(); ++i) {
    EXPECT_EQ(after.tracks[i].flag15, before.tracks[i].flag15);
    EXPECT_EQ(after.tracks[i].volume, before.tracks[i].volume);
  }
  const std::vector<std::string> lines = Lines();
  EXPECT_EQ(lines.back(), "ignores it: there is no track 41");
}

TEST_F(DeskHost, SelectingPastTheLastTrackSelectsTheLast) {
  Act(18, 0, 128);
  EXPECT_EQ(m_host.Take().current, m_host.TrackCount() - 1);
  Act(18, 0, 2);
  EXPECT_EQ(m_host.Take().current, 2);
}

TEST_F(DeskHost, FlagActionsToggle) {
  Act(16, 1, 4);
  EXPECT_TRUE(m_host.Take().tracks[4].flag16);
  Act(16, 1, 4);
  EXPECT_FALSE(m_host.Take().tracks[4].flag16);
}

TEST_F(DeskHost, TheTransportRunsOnlyWithTheClock) {
  Act(3, 1, 0);
  EXPECT_TRUE(m_host.Take().playing);
  m_host.AdvanceClock(1500);
  EXPECT_EQ(m_host.Take().position, 1500);
  Act(2, 1, 0);
  m_host.AdvanceClock(1000);
  EXPECT_EQ(m_host.Take().position, 1500);
  // Rewinding while held, and never before the start.
  Act(0, 1, 0);
  m_host.AdvanceClock(100);
  EXPECT_EQ(m_host.Take().position, 1500 - 100 * desk::Host::kWindSpeed);
  m_host.AdvanceClock(10000);
  EXPECT_EQ(m_host.Take().position, 0);
  Act(0, 0, 0);
  EXPECT_EQ(m_host.Take().shuttle, 0);
}

TEST_F(DeskHost, ALoopedPlayWrapsAtTheLoopsEnd) {
  Act(5, 1, 0);
  m_host.AdvanceClock(desk::Host::kLoopEndMs + 250);
  EXPECT_EQ(m_host.Take().position, desk::Host::kLoopStartMs + 250);
}

TEST_F(DeskHost, RecordTogglesAndStartsTheTransport) {
  Act(7, 1, 0);
  EXPECT_TRUE(m_host.Take().recording);
  EXPECT_TRUE(m_host.Take().playing);
  Act(7, 1, 0);
  EXPECT_FALSE(m_host.Take().recording);
  Act(7, 1, 0);
  Act(2, 1, 0);  // stop ends the recording too
  EXPECT_FALSE(m_host.Take().recording);
}

TEST_F(DeskHost, MarkersAreVisitedInOrder) {
  m_host.Locate(2000);
  Act(9, 1, 0);
  m_host.Locate(5000);
  Act(9, 1, 0);
  Act(11, 1, 0);
  EXPECT_EQ(m_host.Take().position, 2000);
  Act(11, 1, 0);
  EXPECT_EQ(m_host.Take().position, 2000);  // none before the first
  Act(10, 1, 0);
  EXPECT_EQ(m_host.Take().position, 5000);
}

TEST_F(DeskHost, QueriesAnswerInTheirSlotsTypes) {
  int32_t flag = -1;
  m_services.QueryValue(19, 5, &flag, 0);
  EXPECT_EQ(flag, 1);
  double volume = 0.0;
  m_services.QueryValue(20, 1, &volume, 0);
  EXPECT_DOUBLE_EQ(volume, -3.5);
  int32_t pan = 0;
  m_services.QueryValue(21, 1, &pan, 0);
  EXPECT_EQ(pan, -20);
  char name[64];
  std::memset(name, 'x', sizeof name);
  m_services.QueryValue(44, 6, name, 0);
  EXPECT_STREQ(name, "Backing Vocals");
}

TEST_F(DeskHost, QueriesForTracksItLacksStillWriteAnAnswer) {
  int32_t flag = -1;
  m_services.QueryValue(16, 127, &flag, 0);
  EXPECT_EQ(flag, 0);
  char name[64];
  std::memset(name, 'x', sizeof name);
  m_services.QueryValue(44, -1, name, 0);
  EXPECT_STREQ(name, "");
}

TEST_F(DeskHost, LongNamesAreCutTo63Characters) {
  m_host.Rename(0, std::string(70, 'n'));
  char name[64];
  std::memset(name, 'x', sizeof name);
  m_services.QueryValue(44, 0, name, 0);
  EXPECT_EQ(std::strlen(name), 63u);
}

TEST_F(DeskHost, CommandNamesFitTheBufferAndOnlyValidIndexesAnswer) {
  char buffer[128];
  int32_t valid = -1;
  const int undo = m_host.FindCommand("Undo (1)");
  ASSERT_GE(undo, 0);
  m_services.GetCommandName(undo, buffer, sizeof buffer, &valid);
  EXPECT_EQ(valid, 1);
  EXPECT_STREQ(buffer, "Undo (1)");
  m_services.GetCommandName(undo, buffer, 5, &valid);
  EXPECT_STREQ(buffer, "Undo");
  m_services.GetCommandName(m_services.CommandCount, buffer, sizeof buffer, &valid);
  EXPECT_EQ(valid, 0);
  m_services.GetCommandName(-1, buffer, sizeof buffer, &valid);
  EXPECT_EQ(valid, 0);
}

TEST_F(DeskHost, EveryDefaultBindingNamesACommand) {
  for (const char* name : {"Selection Anchor Left when playing", "Metronome On/Off toggle",
                           "Record/Stop toggle", "Insert: MIDI Track", "Redo"}) {
    EXPECT_GE(m_host.FindCommand(name), 0) << name;
  }
}

TEST_F(DeskHost, CommandsActOnPressAndAreReportedOnBothEdges) {
  std::vector<std::pair<int32_t, bool>> seen;
  m_host.SetCommandObserver([&](int32_t index, bool pressed) { seen.push_back({index, pressed}); });
  const int metronome = m_host.FindCommand("Metronome On/Off toggle");
  m_services.RunCommand(metronome, 0x90);
  EXPECT_TRUE(m_host.Take().metronome);
  m_services.RunCommand(metronome, 0x80);
  EXPECT_TRUE(m_host.Take().metronome);
  EXPECT_EQ(seen, (std::vector<std::pair<int32_t, bool>>{{metronome, true}, {metronome, false}}));

  const int before = m_host.TrackCount();
  m_services.RunCommand(m_host.FindCommand("Insert: Audio Track"), 0x90);
  EXPECT_EQ(m_host.TrackCount(), before + 1);
  EXPECT_EQ(m_host.Take().current, before);
}

TEST(DeskFormat, TimesPansAndNumbers) {
  EXPECT_EQ(desk::FormatTime(62500), "00:01:02.50");
  EXPECT_EQ(desk::FormatTime(3600000 + 5), "01:00:00.00");
  EXPECT_EQ(desk::FormatTime(-5), "00:00:00.00");
  EXPECT_EQ(desk::FormatPan(0), "CTR");
  EXPECT_EQ(desk::FormatPan(-20), "L20");
  EXPECT_EQ(desk::FormatPan(100), "R100");
  EXPECT_EQ(desk::FormatNumber(-6.5), "-6.5");
}

TEST(DeskFormat, LevelsStayOnTheMetersScale) {
  for (int64_t ms = 0; ms < 5000; ms += 37) {
    double first = -1.0, second = -1.0;
    desk::LevelsAt(ms, &first, &second);
    EXPECT_GE(first, 0.0);
    EXPECT_LE(first, 1.0);
    EXPECT_GE(second, 0.0);
    EXPECT_LE(second, 1.0);
  }
}

}  // namespace
