// The surface's jog wheel, played as MIDI bytes into the simulated input
// device, alone and with the buttons that change what it does.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "input_rig.h"
#include <gtest/gtest.h>

namespace {

using test::Action;
using test::BoundCommand;
using test::HostCall;
using test::InputRig;
using test::Ran;

using Calls = std::vector<HostCall>;

constexpr int32_t kTrack = 5;  // the rig's current track

HostCall Bound(int32_t controlId, bool pressed) {
  return Ran(BoundCommand(controlId), pressed ? kCommandPressed : kCommandReleased);
}

TEST(Wheel, StepsInEveryMode) {
  struct Case {
    const char* name;
    double volume;
    std::vector<uint8_t> held;  // notes pressed before the wheel turns, in order
    uint8_t value;
    HostCall expected;
  };
  const Case cases[] = {
      // Transport: one step per message, whatever its size.
      {"transport forward", 0.0, {}, 5, Action(HostCode::kTransportStep, 1, 0)},
      {"transport forward, largest", 0.0, {}, 63, Action(HostCode::kTransportStep, 1, 0)},
      {"transport backward", 0.0, {}, 70, Action(HostCode::kTransportStep, -1, 0)},
      {"transport, value 0", 0.0, {}, 0, Action(HostCode::kTransportStep, -1, 0)},
      {"transport, value 64", 0.0, {}, 64, Action(HostCode::kTransportStep, -1, 0)},
      // Volume: 1.0 per step, 0.1 in fine mode, limited, cut toward zero.
      {"volume one step back", 0.0, {kNoteShift}, 65, Action(HostCode::kSetVolume, -100, kTrack)},
      {"volume one step up", 0.0, {kNoteShift}, 1, Action(HostCode::kSetVolume, 100, kTrack)},
      {"volume 63 steps back", 0.0, {kNoteShift}, 127, Action(HostCode::kSetVolume, -6300, kTrack)},
      {"volume at the top", 23.5, {kNoteShift}, 1, Action(HostCode::kSetVolume, 2400, kTrack)},
      {"volume at the bottom",
       -159.5,
       {kNoteShift},
       65,
       Action(HostCode::kSetVolume, -16000, kTrack)},
      {"volume far past the top",
       20.0,
       {kNoteShift},
       63,
       Action(HostCode::kSetVolume, 2400, kTrack)},
      {"fine volume cut toward zero",
       -3.26,
       {kNoteShift, kNoteStop},
       1,
       Action(HostCode::kSetVolume, -315, kTrack)},
      {"fine volume back",
       0.0,
       {kNoteShift, kNoteStop},
       127,
       Action(HostCode::kSetVolume, -630, kTrack)},
      {"volume, value 0", 7.0, {kNoteShift}, 0, Action(HostCode::kSetVolume, 700, kTrack)},
      // Pan: 10 per step, 1 in fine mode.
      {"pan", 0.0, {kNoteShift, kNoteLoop}, 2, Action(HostCode::kChangePan, 20, kTrack)},
      {"pan back", 0.0, {kNoteShift, kNoteLoop}, 127, Action(HostCode::kChangePan, -630, kTrack)},
      {"fine pan",
       0.0,
       {kNoteShift, kNoteLoop, kNoteStop},
       65,
       Action(HostCode::kChangePan, -1, kTrack)},
      // A track key held without SHIFT: one track per message, the wheel's way.
      {"TRACK-L held, forward",
       0.0,
       {kNoteTrackLeft},
       3,
       Action(HostCode::kSelectTrack, 0, kTrack + 1)},
      {"TRACK-R held, backward",
       0.0,
       {kNoteTrackRight},
       100,
       Action(HostCode::kSelectTrack, 0, kTrack - 1)},
      {"TRACK-R held, value 0",
       0.0,
       {kNoteTrackRight},
       0,
       Action(HostCode::kSelectTrack, 0, kTrack - 1)},
      // SHIFT wins over a held track key.
      {"TRACK-L and SHIFT held",
       0.0,
       {kNoteTrackLeft, kNoteShift},
       1,
       Action(HostCode::kSetVolume, 100, kTrack)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InputRig rig;
    rig.SetVolume(c.volume);
    for (uint8_t note : c.held) rig.Press(note);
    rig.Clear();
    rig.Wheel(c.value);
    EXPECT_EQ(rig.host.Calls(), (Calls{c.expected}));
  }
}

TEST(Wheel, StepsFromTheLastVolumeTheHostReported) {
  InputRig rig;
  rig.SetVolume(-6.0);
  rig.Press(kNoteShift);
  rig.Wheel(1);
  rig.Wheel(1);  // before the host reports the new volume
  EXPECT_EQ(rig.host.Calls(), (Calls{Action(HostCode::kSetVolume, -500, kTrack),
                                     Action(HostCode::kSetVolume, -500, kTrack)}));
  rig.SetVolume(-5.0);
  rig.Wheel(1);
  EXPECT_EQ(rig.host.Calls(), (Calls{Action(HostCode::kSetVolume, -400, kTrack)}));
}

TEST(Wheel, AVolumeThatIsNoNumberIsNotSteppedFrom) {
  InputRig rig;
  rig.SetVolume(std::nan(""));
  rig.Press(kNoteShift);
  rig.Clear();
  rig.Wheel(1);
  rig.Wheel(65);
  EXPECT_TRUE(rig.host.Calls().empty());
  // Pan does not depend on it, and a volume that is a number again counts.
  rig.Press(kNoteLoop);
  rig.Clear();
  rig.Wheel(1);
  EXPECT_EQ(rig.host.Calls(), (Calls{Action(HostCode::kChangePan, 10, kTrack)}));
  rig.Press(kNoteLoop);
  rig.SetVolume(-6.0);
  rig.Wheel(1);
  EXPECT_EQ(rig.host.Calls(), (Calls{Action(HostCode::kSetVolume, -500, kTrack)}));
}

TEST(Wheel, AnInfiniteVolumeStepsFromTheNearestLimit) {
  // Minus infinity is silence: a step up gives the lowest level there is;
  // plus infinity is past the top, so any step gives the highest.
  struct Case {
    double volume;
    uint8_t value;
    HostCall expected;
  };
  const double infinity = std::numeric_limits<double>::infinity();
  const Case cases[] = {{-infinity, 1, Action(HostCode::kSetVolume, -16000, kTrack)},
                        {-infinity, 65, Action(HostCode::kSetVolume, -16000, kTrack)},
                        {infinity, 65, Action(HostCode::kSetVolume, 2400, kTrack)},
                        {infinity, 1, Action(HostCode::kSetVolume, 2400, kTrack)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.volume) + " " + std::to_string(c.value));
    InputRig rig;
    rig.SetVolume(c.volume);
    rig.Press(kNoteShift);
    rig.Clear();
    rig.Wheel(c.value);
    EXPECT_EQ(rig.host.Calls(), (Calls{c.expected}));
  }
}

TEST(Wheel, FineModeLastsWhileStopIsHeldWithShift) {
  InputRig rig;
  rig.SetVolume(0.0);
  const auto step = [&rig] {
    rig.host.ClearCalls();
    rig.Wheel(1);
    const Calls calls = rig.host.Calls();
    return calls.size() == 1 ? calls[0].value : -1;
  };
  rig.Press(kNoteStop);  // before SHIFT: a transport stop, no fine mode
  rig.Press(kNoteShift);
  EXPECT_EQ(step(), 100);
  rig.Release(kNoteStop);
  rig.Press(kNoteStop);
  EXPECT_EQ(step(), 10) << "STOP pressed with SHIFT held";
  rig.Release(kNoteStop);
  EXPECT_EQ(step(), 100) << "STOP released";
  rig.Press(kNoteStop);
  rig.Press(kNoteShift);  // SHIFT pressed anew while STOP is held
  EXPECT_EQ(step(), 100);
  rig.Release(kNoteStop);
  rig.Press(kNoteStop);
  rig.Release(kNoteShift);
  rig.Press(kNoteShift);
  EXPECT_EQ(step(), 100) << "SHIFT released and pressed while STOP is held";
}

TEST(Wheel, TrackKeysHeldAndReleased) {
  InputRig rig;
  rig.Press(kNoteTrackLeft);
  rig.Wheel(3);
  rig.Release(kNoteTrackLeft);
  rig.Wheel(3);
  // Held through SHIFT: the key still counts once SHIFT is up again.
  rig.Press(kNoteShift);
  rig.Press(kNoteTrackRight);
  rig.Release(kNoteShift);
  rig.Wheel(65);
  rig.Release(kNoteTrackRight);
  rig.Wheel(65);
  EXPECT_EQ(rig.host.Calls(), (Calls{Action(HostCode::kSelectTrack, 0, kTrack - 1),
                                     Action(HostCode::kSelectTrack, 0, kTrack + 1),
                                     Action(HostCode::kTransportStep, 1, 0), Bound(1006, true),
                                     Action(HostCode::kSelectTrack, 0, kTrack - 1),
                                     Action(HostCode::kTransportStep, -1, 0)}));
}

TEST(Wheel, ReleasingOneOfTwoHeldTrackKeysKeepsSelectingTracks) {
  InputRig rig;
  rig.Press(kNoteTrackLeft);
  rig.Press(kNoteTrackRight);
  rig.Release(kNoteTrackRight);
  rig.host.ClearCalls();
  rig.Wheel(1);
  rig.Release(kNoteTrackLeft);
  rig.Wheel(1);
  EXPECT_EQ(rig.host.Calls(), (Calls{Action(HostCode::kSelectTrack, 0, kTrack + 1),
                                     Action(HostCode::kTransportStep, 1, 0)}));
}

}  // namespace
