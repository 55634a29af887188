// Script lines: what each becomes, and what a bad one tells the user.
#include <sstream>

#include "script.h"
#include <gtest/gtest.h>

namespace {

using desk::Command;

Command Parse(const std::string& line) {
  Command command;
  std::string error;
  EXPECT_TRUE(desk::ParseLine(line, &command, &error)) << line << ": " << error;
  return command;
}

std::string ErrorOf(const std::string& line) {
  Command command;
  std::string error;
  EXPECT_FALSE(desk::ParseLine(line, &command, &error)) << line;
  return error;
}

TEST(DeskScript, ButtonsAreNamedCaseBlindAndKeepTheirNotes) {
  const Command press = Parse("press shift");
  EXPECT_EQ(press.kind, Command::kPress);
  EXPECT_EQ(press.button, "SHIFT");
  EXPECT_EQ(press.note, 121);
  EXPECT_EQ(Parse("tap FOOTSWITCH").note, 103);
  EXPECT_EQ(Parse("release FLAG-19").note, 0);
  EXPECT_EQ(Parse("tap  PLAY  ").kind, Command::kTap);
}

TEST(DeskScript, WheelTakesSignedStepsWithinTheSurfacesRange) {
  EXPECT_EQ(Parse("wheel -3").steps, -3);
  EXPECT_EQ(Parse("wheel +63").steps, 63);
  EXPECT_EQ(Parse("wheel 0").steps, 0);
  EXPECT_NE(ErrorOf("wheel 64").find("-63 to 63"), std::string::npos);
  EXPECT_NE(ErrorOf("wheel 1.5").find("whole number"), std::string::npos);
}

TEST(DeskScript, HostTracksAreNumberedFromOne) {
  const Command track = Parse("host track 4");
  EXPECT_EQ(track.kind, Command::kHost);
  EXPECT_EQ(track.hostOp, Command::kTrack);
  EXPECT_EQ(track.track, 3);
  const Command volume = Parse("host volume 2 -6.5");
  EXPECT_EQ(volume.hostOp, Command::kVolume);
  EXPECT_EQ(volume.track, 1);
  EXPECT_DOUBLE_EQ(volume.value1, -6.5);
  EXPECT_NE(ErrorOf("host track 0").find("numbered 1 to 128"), std::string::npos);
  EXPECT_NE(ErrorOf("host volume 2 30").find("-160 to 24"), std::string::npos);
  EXPECT_NE(ErrorOf("host flag 2 17").find("15, 16, 19"), std::string::npos);
}

TEST(DeskScript, HostNamesKeepTheirSpacesAndLoseTheirQuotes) {
  EXPECT_EQ(Parse("host name 3 Rhythm  Guitar").text, "Rhythm  Guitar");
  EXPECT_EQ(Parse("host name 3 \"Lead\"").text, "Lead");
  EXPECT_FALSE(ErrorOf("host name 3 " + std::string(64, 'x')).empty());
}

TEST(DeskScript, TimesAndWaitsBecomeMilliseconds) {
  EXPECT_EQ(Parse("host time 00:01:02").ms, 62000);
  EXPECT_EQ(Parse("host time 1:02.5").ms, 62500);
  EXPECT_EQ(Parse("host time 1:00:00").ms, 3600000);
  EXPECT_EQ(Parse("wait 200ms").ms, 200);
  EXPECT_EQ(Parse("wait 1.5s").ms, 1500);
  EXPECT_NE(ErrorOf("wait 200").find("with a unit"), std::string::npos);
  EXPECT_FALSE(ErrorOf("host time 00:61:00").empty());
  EXPECT_FALSE(ErrorOf("host time 1:2:3:4").empty());
}

TEST(DeskScript, BindNamesASlotAndTakesTheRestAsTheCommand) {
  const Command bind = Parse("bind shift+play Undo (1)");
  EXPECT_EQ(bind.kind, Command::kBind);
  EXPECT_EQ(bind.slot, 14);
  EXPECT_EQ(bind.text, "Undo (1)");
  EXPECT_NE(ErrorOf("bind SHIFT+UNDO Redo").find("SHIFT+PLAY"), std::string::npos);
}

TEST(DeskScript, BadLinesSayWhatWasExpected) {
  EXPECT_NE(ErrorOf("tapp PLAY").find("unknown command \"tapp\""), std::string::npos);
  EXPECT_NE(ErrorOf("tap PLAYY").find("unknown button \"PLAYY\""), std::string::npos);
  EXPECT_NE(ErrorOf("tap").find("one of: SHIFT PLAY"), std::string::npos);
  EXPECT_NE(ErrorOf("host jump").find("unknown host command"), std::string::npos);
  EXPECT_NE(ErrorOf("close now").find("nothing after"), std::string::npos);
}

TEST(DeskScript, ScriptErrorsNameTheFileAndLine) {
  std::istringstream in("# fine\n\ntap PLAY\nwheel x\n");
  std::vector<Command> commands;
  std::string error;
  EXPECT_FALSE(desk::ParseScript(in, "bug.desk", &commands, &error));
  EXPECT_EQ(error.rfind("bug.desk:4: ", 0), 0u) << error;
}

TEST(DeskScript, TheDemoParses) {
  std::istringstream in(desk::DemoScript());
  std::vector<Command> commands;
  std::string error;
  EXPECT_TRUE(desk::ParseScript(in, "demo", &commands, &error)) << error;
  EXPECT_GT(commands.size(), 10u);
}

}  // namespace
