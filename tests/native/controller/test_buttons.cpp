// The surface's buttons and wheel, played as MIDI bytes into the simulated
// input device: what the host is asked and what the surface shows.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "input_rig.h"
#include <gtest/gtest.h>

namespace {

using test::Action;
using test::BoundCommand;
using test::Bytes;
using test::HostCall;
using test::InputRig;
using test::Lamp;
using test::Lcd;
using test::Query;
using test::Ran;

using Calls = std::vector<HostCall>;
using Messages = std::vector<Bytes>;

constexpr int32_t kTrack = 5;  // the rig's current track
constexpr int32_t kUndo = 1;   // the rig's "Undo (1)"
constexpr int32_t kRedo = 3;   // the rig's "Redo"

HostCall Bound(int32_t controlId, bool pressed) {
  return Ran(BoundCommand(controlId), pressed ? kCommandPressed : kCommandReleased);
}

Calls ScanUp(int32_t code) {
  Calls calls;
  for (int32_t track = 0; track < 128; ++track) calls.push_back(Query(code, track));
  return calls;
}

Calls ScanDown(int32_t code) {
  Calls calls;
  for (int32_t track = 127; track >= 0; --track) calls.push_back(Query(code, track));
  return calls;
}

Bytes Mark(uint8_t cell, bool shown) { return Lcd(cell, shown ? "~" : " "); }

struct Edge {
  Calls calls;
  Messages surface;
};

struct ButtonRow {
  const char* name;
  uint8_t note;
  Edge plainPress, plainRelease, shiftedPress, shiftedRelease;
};

// A button that runs its bound command on both edges of one layer.
Edge BindingEdge(int32_t controlId, bool pressed) { return {{Bound(controlId, pressed)}, {}}; }

std::vector<ButtonRow> ButtonTable() {
  const Edge none{};
  return {
      {"FLAG-19",
       0,
       {{Action(HostCode::kToggleFlag19, 1, kTrack)}, {}},
       none,
       {ScanUp(HostCode::kQueryFlag19), {}},
       none},
      {"FLAG-16",
       8,
       {{Action(HostCode::kToggleFlag16, 1, kTrack)}, {}},
       none,
       {ScanDown(HostCode::kQueryFlag16), {}},
       none},
      {"FLAG-15",
       16,
       {{Action(HostCode::kToggleFlag15, 1, kTrack)}, {}},
       none,
       {ScanUp(HostCode::kQueryFlag15), {}},
       none},
      {"TRACK-L",
       48,
       {{Action(HostCode::kSelectTrack, 0, kTrack - 1)}, {}},
       none,
       BindingEdge(1007, true),
       BindingEdge(1007, false)},
      {"TRACK-R",
       49,
       {{Action(HostCode::kSelectTrack, 0, kTrack + 1)}, {}},
       none,
       BindingEdge(1006, true),
       BindingEdge(1006, false)},
      {"UNDO",
       76,
       {{Ran(kUndo, 0x90)}, {}},
       {{Ran(kUndo, 0x80)}, {}},
       {{Ran(kRedo, 0x90)}, {}},
       {{Ran(kRedo, 0x80)}, {}}},
      {"ADD",
       82,
       {{Action(HostCode::kAdd, 1, 0)}, {}},
       none,
       BindingEdge(1010, true),
       BindingEdge(1010, false)},
      {"PREV",
       84,
       {{Action(HostCode::kPrevious, 1, 0)}, {}},
       none,
       BindingEdge(1008, true),
       BindingEdge(1008, false)},
      {"NEXT",
       85,
       {{Action(HostCode::kNext, 1, 0)}, {}},
       none,
       BindingEdge(1009, true),
       BindingEdge(1009, false)},
      {"LOOP", 86, {{}, {Lamp(86, true)}}, none, {{}, {Mark(10, false), Mark(16, true)}}, none},
      {"IN", 87, BindingEdge(1001, true), BindingEdge(1001, false), BindingEdge(1000, true),
       BindingEdge(1000, false)},
      {"OUT", 88, BindingEdge(1003, true), BindingEdge(1003, false), BindingEdge(1002, true),
       BindingEdge(1002, false)},
      {"RWD",
       91,
       {{Action(HostCode::kRewind, 1, 0)}, {}},
       {{Action(HostCode::kRewind, 0, 0)}, {}},
       BindingEdge(1011, true),
       BindingEdge(1011, false)},
      {"FFWD",
       92,
       {{Action(HostCode::kFastForward, 1, 0)}, {}},
       {{Action(HostCode::kFastForward, 0, 0)}, {}},
       BindingEdge(1012, true),
       BindingEdge(1012, false)},
      {"STOP", 93, {{Action(HostCode::kStop, 1, 0)}, {}}, none, none, none},
      {"PLAY",
       94,
       {{Action(HostCode::kPlay, 1, 0)}, {}},
       none,
       BindingEdge(1013, true),
       BindingEdge(1013, false)},
      {"RECORD",
       95,
       {{Action(HostCode::kRecord, 1, 0)}, {}},
       none,
       BindingEdge(1014, true),
       BindingEdge(1014, false)},
      {"Footswitch", 103, BindingEdge(1015, true), BindingEdge(1015, false),
       BindingEdge(1015, true), BindingEdge(1015, false)},
      {"PUNCH", 120, BindingEdge(1005, true), BindingEdge(1005, false), BindingEdge(1004, true),
       BindingEdge(1004, false)},
      {"SHIFT",
       121,
       {{}, {Mark(10, true)}},
       {{}, {Mark(10, false)}},
       {{}, {Mark(10, true)}},
       {{}, {Mark(10, false)}}},
  };
}

void ExpectEdge(InputRig& rig, const Edge& expected) {
  EXPECT_EQ(rig.host.Calls(), expected.calls);
  EXPECT_EQ(rig.surface.Received(), expected.surface);
  for (const HostCall& call : rig.host.Calls()) {
    EXPECT_NE(call.thread, std::this_thread::get_id()) << "host called from the input thread";
  }
  rig.Clear();
}

TEST(Buttons, EveryButtonOnBothLayersAndBothEdges) {
  for (const ButtonRow& row : ButtonTable()) {
    {
      SCOPED_TRACE(std::string(row.name) + " without SHIFT");
      InputRig rig;
      rig.Press(row.note);
      ExpectEdge(rig, row.plainPress);
      rig.Release(row.note);
      ExpectEdge(rig, row.plainRelease);
    }
    {
      SCOPED_TRACE(std::string(row.name) + " with SHIFT");
      InputRig rig;
      rig.Press(kNoteShift);
      rig.Clear();
      rig.Press(row.note);
      ExpectEdge(rig, row.shiftedPress);
      rig.Release(row.note);
      ExpectEdge(rig, row.shiftedRelease);
    }
  }
}

TEST(Buttons, AnyVelocityPressesAndAnyChannelCounts) {
  InputRig rig;
  rig.Send(0x95, kNotePlay, 1);
  rig.Send(0x9F, kNoteRewind, 0x40);
  rig.Send(0x9F, kNoteRewind, 0);
  EXPECT_EQ(rig.host.Calls(), (Calls{Action(HostCode::kPlay, 1, 0), Action(HostCode::kRewind, 1, 0),
                                     Action(HostCode::kRewind, 0, 0)}));
}

TEST(Buttons, IgnoresEverythingButNoteOnsAndTheWheel) {
  InputRig rig;
  const struct {
    uint8_t status, data1, data2;
  } ignored[] = {
      {0x80, kNotePlay, 0x40},  // a note-off is no release
      {0x80, kNoteShift, 0},    //
      {0x90, 60, 0x7F},         // no button
      {0x90, 127, 0x7F},        //
      {0xB0, 7, 1},             // another controller
      {0xB5, 61, 65},           //
      {0xA0, kNotePlay, 0x7F},  // aftertouch
      {0xC0, kNotePlay, 0},     // program change
      {0xE0, 0, 0x40},          // pitch bend
      {0xF8, 0, 0},             // clock
      {0xFE, 0, 0},             // active sensing
  };
  for (const auto& message : ignored) rig.Send(message.status, message.data1, message.data2);
  EXPECT_TRUE(rig.host.Calls().empty());
  EXPECT_TRUE(rig.surface.Received().empty());
  // SHIFT's note-off did not end a SHIFT that never began; nor did anything
  // above start it: PLAY is plain.
  rig.Press(kNotePlay);
  EXPECT_EQ(rig.host.Calls(), (Calls{Action(HostCode::kPlay, 1, 0)}));
}

TEST(Buttons, LoopModeLightsItsLampAndChangesPlay) {
  InputRig rig;
  rig.Press(kNoteLoop);
  rig.Release(kNoteLoop);
  rig.Press(kNotePlay);
  rig.Release(kNotePlay);
  rig.Press(kNoteLoop);
  rig.Press(kNotePlay);
  EXPECT_EQ(rig.surface.Received(), (Messages{Lamp(86, true), Lamp(86, false)}));
  EXPECT_EQ(rig.host.Calls(),
            (Calls{Action(HostCode::kPlayLooped, 1, 0), Action(HostCode::kPlay, 1, 0)}));
}

TEST(Buttons, TheMarkFollowsShiftAndTheWheelMode) {
  InputRig rig;
  rig.Press(kNoteShift);
  rig.Press(kNoteLoop);  // to pan mode
  rig.Release(kNoteShift);
  rig.Press(kNoteShift);
  rig.Press(kNoteLoop);  // back to volume mode
  rig.Release(kNoteShift);
  EXPECT_EQ(rig.surface.Received(),
            (Messages{Mark(10, true), Mark(10, false), Mark(16, true), Mark(16, false),
                      Mark(16, true), Mark(10, true), Mark(16, false), Mark(10, false)}));
  // Pan mode didn't touch loop mode.
  rig.Press(kNotePlay);
  EXPECT_EQ(rig.host.Calls(), (Calls{Action(HostCode::kPlay, 1, 0)}));
}

TEST(Buttons, PressAndReleaseOnDifferentLayersGoToDifferentHandlers) {
  InputRig rig;
  rig.Press(kNoteShift);
  rig.Press(kNotePlay);
  rig.Release(kNoteShift);
  rig.Release(kNotePlay);  // the plain PLAY acts on presses only
  rig.Press(kNoteRewind);
  rig.Press(kNoteShift);
  rig.Release(kNoteRewind);
  rig.Press(kNoteUndo);
  rig.Release(kNoteShift);
  rig.Release(kNoteUndo);
  EXPECT_EQ(rig.host.Calls(), (Calls{Bound(1013, true), Action(HostCode::kRewind, 1, 0),
                                     Bound(1011, false), Ran(kRedo, 0x90), Ran(kUndo, 0x80)}));
}

TEST(Buttons, UndoAndRedoWithoutTheirCommandsDoNothing) {
  const struct {
    const char* name;
    std::vector<std::string> commands;
    Calls expected;
  } cases[] = {
      {"neither", {"Cut", "Undo", "redo"}, {}},
      {"undo only", {"Undo (1)", "Copy"}, {Ran(0, 0x90), Ran(0, 0x80)}},
      {"redo only", {"Cut", "Redo"}, {Ran(1, 0x90), Ran(1, 0x80)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InputRig rig(c.commands);
    rig.Press(kNoteUndo);
    rig.Release(kNoteUndo);
    rig.Press(kNoteShift);
    rig.Press(kNoteUndo);
    rig.Release(kNoteUndo);
    EXPECT_EQ(rig.host.Calls(), c.expected);
  }
}

TEST(Buttons, SlotsRunWhatTheyAreBoundToNow) {
  InputRig rig;
  const auto bind = [](int32_t controlId, int32_t command) {
    for (BindingSlot& slot : BindingTable) {
      if (slot.m_controlId == controlId) slot.m_commandIndex = command;
    }
  };
  bind(1013, -1);
  rig.Press(kNoteShift);
  rig.Press(kNotePlay);  // unbound: nothing on either edge
  rig.Release(kNotePlay);
  rig.Press(kNoteFootswitch);
  bind(1015, 42);  // a reload between press and release
  rig.Release(kNoteFootswitch);
  EXPECT_EQ(rig.host.Calls(), (Calls{Bound(1015, true), Ran(42, 0x80)}));
}

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

TEST(Buttons, TheDecoderLetsNoRefusalOut) {
  // Called directly, without the port's own guard around it. Every lamp and
  // mark is refused; loop mode, SHIFT and pan mode take effect all the same.
  InputRig rig;
  sim_fail("midiOutShortMsg", MMSYSERR_NOMEM, 0, 0);
  sim_fail("midiOutLongMsg", MMSYSERR_NOMEM, 0, 0);
  EXPECT_NO_THROW(rig.controller->OnShortMsg(0x7F0000 | (kNoteLoop << 8) | 0x90, 0));
  EXPECT_NO_THROW(rig.controller->OnShortMsg(0x7F0000 | (kNoteShift << 8) | 0x90, 0));
  EXPECT_NO_THROW(rig.controller->OnShortMsg(0x7F0000 | (kNoteLoop << 8) | 0x90, 0));
  sim_clear_faults();
  rig.controller->OnShortMsg((kNoteShift << 8) | 0x90, 0);
  rig.controller->OnShortMsg(0x7F0000 | (kNotePlay << 8) | 0x90, 0);
  EXPECT_EQ(rig.host.Calls(), (Calls{Action(HostCode::kPlayLooped, 1, 0)}));
  EXPECT_EQ(rig.surface.Received(), (Messages{Mark(16, false)}));
}

// ---- The wheel ----------------------------------------------------------------

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
