// The buttons that name a track: the track keys, which stay within the
// host's tracks, and the shifted flag keys, which scan every track.
#include <cstdint>
#include <utility>
#include <vector>

#include "input_rig.h"
#include <gtest/gtest.h>

namespace {

using test::Action;
using test::HostCall;
using test::InputRig;
using test::Query;
using test::ScanDown;
using test::ScanUp;

using Calls = std::vector<HostCall>;

constexpr int32_t kTrack = 5;  // the rig's current track

TEST(Buttons, TrackKeysStayWithinTheirBounds) {
  // Previous: the current track - 1, raised to 0. Next: + 1, lowered to 128.
  // Nothing else bounds them, so a negative current track steps forward to
  // the (negative) track after it; only the 32-bit step itself is guarded.
  const struct {
    int32_t current;
    int32_t previous;
    int32_t next;
  } cases[] = {
      {INT32_MIN, 0, INT32_MIN + 1},
      {-300, 0, -299},
      {-2, 0, -1},
      {-1, 0, 0},  // no current track: both give track 0
      {0, 0, 1},
      {5, 4, 6},
      {127, 126, 128},
      {128, 127, 128},  // the bound is 128, not 127
      {129, 128, 128},
      {300, 299, 128},
      {INT32_MAX, INT32_MAX - 1, 128},
  };
  for (const auto& c : cases) {
    for (const bool right : {false, true}) {
      const int32_t selected = right ? c.next : c.previous;
      SCOPED_TRACE(testing::Message()
                   << "track " << c.current << (right ? " TRACK-R" : " TRACK-L"));
      InputRig rig;
      rig.SetTrack(c.current);
      const uint8_t key = right ? kNoteTrackRight : kNoteTrackLeft;
      rig.Press(key);
      rig.Press(key);  // the host hasn't reported the new track yet
      rig.Release(key);
      // The wheel with a track key held takes the same step: TRACK-L held
      // and the wheel forward select the next track, and the other way round.
      rig.Press(right ? kNoteTrackLeft : kNoteTrackRight);
      rig.Wheel(right ? 1 : 65);
      EXPECT_EQ(rig.host.Calls(),
                (Calls{Action(HostCode::kSelectTrack, 0, selected),
                       Action(HostCode::kSelectTrack, 0, selected),
                       Action(HostCode::kSelectTrack, 0, right ? c.previous : c.next),
                       Action(HostCode::kSelectTrack, 0, selected)}));
    }
  }
}

TEST(Buttons, WithoutACurrentTrackFlagsAndTheShiftedWheelNameTrack0xFFFF) {
  InputRig rig;
  rig.SetTrack(-1);
  rig.Press(kNoteFlag15);
  rig.Press(kNoteFlag16);
  rig.Press(kNoteFlag19);
  rig.Press(kNoteShift);
  rig.Wheel(1);
  rig.Press(kNoteLoop);
  rig.Wheel(1);
  EXPECT_EQ(
      rig.host.Calls(),
      (Calls{Action(HostCode::kToggleFlag15, 1, 0xFFFF), Action(HostCode::kToggleFlag16, 1, 0xFFFF),
             Action(HostCode::kToggleFlag19, 1, 0xFFFF), Action(HostCode::kSetVolume, 100, 0xFFFF),
             Action(HostCode::kChangePan, 10, 0xFFFF)}));
}

TEST(Buttons, ShiftedFlagScans) {
  struct Case {
    const char* name;
    uint8_t note;
    int32_t code;
    std::vector<std::pair<int32_t, int32_t>> flags;  // track, value
    Calls expected;
  };
  Calls clearAll15;
  for (int32_t track = 0; track < 128; ++track) {
    clearAll15.push_back(Query(HostCode::kQueryFlag15, track));
    if (track == 3 || track == 40) clearAll15.push_back(Action(HostCode::kToggleFlag15, 1, track));
  }
  Calls highest16;
  for (int32_t track = 127; track >= 40; --track)
    highest16.push_back(Query(HostCode::kQueryFlag16, track));
  highest16.push_back(Action(HostCode::kToggleFlag16, 1, 40));
  Calls clearAll19 = ScanUp(HostCode::kQueryFlag19);
  clearAll19.insert(clearAll19.begin() + 128, Action(HostCode::kToggleFlag19, 1, 127));

  const Case cases[] = {
      {"FLAG-15 clears every set flag",
       kNoteFlag15,
       HostCode::kQueryFlag15,
       {{3, 1}, {40, 1}},
       clearAll15},
      {"FLAG-16 toggles only the highest",
       kNoteFlag16,
       HostCode::kQueryFlag16,
       {{3, 1}, {40, 1}},
       highest16},
      {"FLAG-16 with none set",
       kNoteFlag16,
       HostCode::kQueryFlag16,
       {},
       ScanDown(HostCode::kQueryFlag16)},
      {"only 1 counts as set",
       kNoteFlag19,
       HostCode::kQueryFlag19,
       {{0, 2}, {1, -1}, {127, 1}},
       clearAll19},
      {"FLAG-16 ignores 2",
       kNoteFlag16,
       HostCode::kQueryFlag16,
       {{126, 2}, {127, 0}},
       ScanDown(HostCode::kQueryFlag16)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InputRig rig;
    for (const auto& [track, value] : c.flags) rig.host.SetFlag(c.code, track, value);
    rig.Press(kNoteShift);
    rig.Press(c.note);
    rig.Release(c.note);
    EXPECT_EQ(rig.host.Calls(), c.expected);
    for (const HostCall& call : rig.host.Calls()) EXPECT_EQ(call.reserved, 0);
  }
}

}  // namespace
