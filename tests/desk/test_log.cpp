// The log: a stable order for scripts, and host queries folded into ranges.
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include <gtest/gtest.h>

namespace {

using desk::Source;

struct Capture {
  std::vector<std::string> lines;
  desk::Log log{[this](Source source, const std::string& text) {
    lines.push_back(desk::SourceTag(source) + text);
  }};
};

TEST(DeskLog, StepModePutsTheSurfacesOutputAfterWhatCausedIt) {
  Capture c;
  c.log.Add(Source::kInput, "PLAY press");
  c.log.Add(Source::kOutput, "lamp LOOP on");
  c.log.Add(Source::kDebug, "a line");
  c.log.Add(Source::kCall, "DoAction(3, 1, 0)");
  c.log.Flush();
  EXPECT_EQ(c.lines, (std::vector<std::string>{"in     PLAY press", "call   DoAction(3, 1, 0)",
                                               "out    lamp LOOP on", "debug  a line"}));
}

TEST(DeskLog, LiveModeKeepsTheOrderOfArrival) {
  Capture c;
  c.log.SetLive(true);
  c.log.Add(Source::kOutput, "first");
  c.log.Add(Source::kCall, "second");
  c.log.Flush();
  EXPECT_EQ(c.lines, (std::vector<std::string>{"out    first", "call   second"}));
}

TEST(DeskLog, QueriesFoldIntoRangesInEitherDirection) {
  Capture c;
  for (int track = 0; track < 128; ++track) c.log.AddQuery(16, track);
  c.log.Add(Source::kUpdate, "between");
  for (int track = 127; track >= 40; --track) c.log.AddQuery(16, track);
  c.log.AddQuery(20, 4);
  c.log.AddQuery(21, 4);
  c.log.Flush();
  EXPECT_EQ(c.lines, (std::vector<std::string>{"call   QueryValue (16, 0..127)", "update between",
                                               "call   QueryValue (16, 127..40) (20, 4) (21, 4)"}));
}

TEST(DeskLog, AQueryOfAnotherThreadStartsItsOwnLine) {
  Capture c;
  c.log.AddQuery(44, 1);
  std::thread other([&] { c.log.AddQuery(44, 2); });
  other.join();
  c.log.AddQuery(20, 1);
  c.log.Flush();
  EXPECT_EQ(c.lines, (std::vector<std::string>{"call   QueryValue (44, 1) (20, 1)",
                                               "call   QueryValue (44, 2)"}));
}

TEST(DeskLog, NameLookupsAreCounted) {
  Capture c;
  c.log.AddNameLookup(7);
  c.log.Flush();
  for (int i = 0; i < 30; ++i) c.log.AddNameLookup(i);
  c.log.Flush();
  EXPECT_EQ(c.lines,
            (std::vector<std::string>{"call   GetCommandName(7)", "call   GetCommandName x30"}));
}

}  // namespace
