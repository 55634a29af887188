// The surface's buttons, played as MIDI bytes into the simulated input
// device: what the host is asked and what the surface shows.
#include <cstdint>
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
using test::ScanDown;
using test::ScanUp;

using Calls = std::vector<HostCall>;
using Messages = std::vector<Bytes>;

constexpr int32_t kTrack = 5;  // the rig's current track
constexpr int32_t kUndo = 1;   // the rig's "Undo (1)"
constexpr int32_t kRedo = 3;   // the rig's "Redo"

HostCall Bound(int32_t controlId, bool pressed) {
  return Ran(BoundCommand(controlId), pressed ? kCommandPressed : kCommandReleased);
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

}  // namespace
