// The input thread under a long random stream of buttons and wheel turns
// while the host's thread sends notifications and rebinds: every message is
// handled once, the host hears from the input thread only, and the surface
// ends showing what the buttons left.
#include <array>
#include <cstdint>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "input_rig.h"
#include <gtest/gtest.h>

namespace {

using test::Bytes;
using test::HostCall;
using test::InputRig;

constexpr int kMessages = 20000;
constexpr int kBurst = 40;

// What the stream should have caused, worked out as the messages are made.
struct Expected {
  bool shift = false;
  bool loop = false;
  bool pan = false;
  bool left = false;
  bool right = false;
  std::map<int32_t, int> actions;  // by code
  int runs = 0;
  int queries = 0;

  void Note(uint8_t note, bool pressed) {
    switch (note) {
      case kNoteShift:
        shift = pressed;
        break;
      case kNoteLoop:
        if (pressed) (shift ? pan : loop) = !(shift ? pan : loop);
        break;
      case kNotePlay:
        if (shift) {
          ++runs;
        } else if (pressed) {
          ++actions[loop ? 5 : 3];
        }
        break;
      case kNoteStop:
        if (!shift && pressed) ++actions[2];
        break;
      case kNoteUndo:
      case kNoteIn:
      case kNoteFootswitch:
        ++runs;
        break;
      case kNoteTrackLeft:
      case kNoteTrackRight:
        (note == kNoteTrackLeft ? left : right) = pressed;
        if (shift) {
          ++runs;
        } else if (pressed) {
          ++actions[18];
        }
        break;
      case kNoteRewind:
        if (shift) {
          ++runs;
        } else {
          ++actions[0];
        }
        break;
      case kNoteFlag16:
        if (!pressed) break;
        if (shift) {
          queries += 128;  // no track has the flag
        } else {
          ++actions[16];
        }
        break;
      default:
        break;
    }
  }

  void Wheel() {
    if (!shift) {
      ++actions[left || right ? 18 : 12];
    } else {
      ++actions[pan ? 21 : 20];
    }
  }
};

// The display cells and lamps, as the surface's messages left them.
struct SurfaceState {
  std::array<uint8_t, 40> cells{};
  std::map<uint8_t, bool> lamps;

  explicit SurfaceState(const std::vector<Bytes>& received) {
    cells.fill(' ');
    for (const Bytes& m : received) {
      if (m.size() == 3 && m[0] == 0x90) {
        lamps[m[1]] = m[2] != 0;
      } else if (m.size() >= 8 && m[0] == 0xF0) {
        for (std::size_t i = 7; i + 1 < m.size(); ++i) {
          const std::size_t cell = m[6] + (i - 7);
          if (cell < cells.size()) cells[cell] = m[i];
        }
      }
    }
  }
};

TEST(InputStress, RandomInputWhileTheHostNotifiesAndRebinds) {
  InputRig rig;
  std::mt19937 random(20240611);
  const uint8_t notes[] = {kNoteShift,      kNoteLoop,   kNotePlay,       kNoteStop,
                           kNoteUndo,       kNoteIn,     kNoteFootswitch, kNoteTrackLeft,
                           kNoteTrackRight, kNoteRewind, kNoteFlag16};
  Expected expected;
  const auto test_thread = std::this_thread::get_id();
  double volume = 0.0;
  double levels[2] = {0.25, 0.75};

  for (int sent = 0; sent < kMessages;) {
    for (int i = 0; i < kBurst && sent < kMessages; ++i, ++sent) {
      const unsigned kind = random() % 10;
      const uint8_t channel = random() % 16;
      unsigned packed;
      if (kind < 6) {
        const uint8_t note = notes[random() % std::size(notes)];
        const bool pressed = random() % 2 == 0;
        const uint8_t velocity = pressed ? 1 + random() % 127 : 0;
        packed = (0x90u | channel) | (note << 8) | (velocity << 16);
        expected.Note(note, pressed);
      } else if (kind < 9) {
        packed = (0xB0u | channel) | (60u << 8) | ((random() % 128) << 16);
        expected.Wheel();
      } else {
        // Noise the decoder must pass over.
        packed = (0x80u | channel) | (kNotePlay << 8) | (0x40u << 16);
      }
      // The first of a burst waits until everything before it is handled:
      // the input port's thread has a burst to work through while the host
      // notifies, but never more than a thread's queue holds, so that no
      // message is lost to a full queue as a real system would lose it.
      ASSERT_EQ(sim_send_input(rig.surface.input(), packed, sent, i == 0 ? 1 : 0), 1);
    }
    // Meanwhile the host's thread does what a host does.
    const int32_t track = static_cast<int32_t>(random() % 8);
    rig.controller->OnHostUpdate(HostCode::kTrackChange, track, 0, 0);
    volume = -20.0 + static_cast<double>(random() % 400) / 10.0;
    rig.controller->OnHostUpdate(HostCode::kVolume, track, reinterpret_cast<HostArg>(&volume), 0);
    rig.controller->OnHostUpdate(HostCode::kPan, track, static_cast<HostArg>(random() % 201) - 100,
                                 0);
    rig.controller->OnHostUpdate(HostCode::kLevels, reinterpret_cast<HostArg>(&levels[0]),
                                 reinterpret_cast<HostArg>(&levels[1]), 0);
    rig.controller->OnHostUpdate(HostCode::kRecordState, random() % 2, 0, 0);
    // A reload of the bindings: every slot keeps a command, so each bound
    // input still runs one.
    BindingTable[random() % kBindingCount].m_commandIndex = 300 + random() % 50;
  }
  // Input is delivered in order: once this one is handled, all are.
  ASSERT_TRUE(rig.surface.Send(0xB0, 7, 0));

  std::map<int32_t, int> actions;
  int runs = 0;
  int queries = 0;
  for (const HostCall& call : rig.host.Calls()) {
    if (call.thread == test_thread) {
      EXPECT_EQ(call.kind, HostCall::kQuery) << "only notifications run on the host's thread";
      continue;
    }
    switch (call.kind) {
      case HostCall::kAction:
        ++actions[call.code];
        EXPECT_EQ(call.reserved, 0);
        break;
      case HostCall::kRun:
        ++runs;
        EXPECT_GE(call.code, 0);
        break;
      case HostCall::kQuery:
        ++queries;
        break;
    }
  }
  EXPECT_EQ(actions, expected.actions);
  EXPECT_EQ(runs, expected.runs);
  EXPECT_EQ(queries, expected.queries);

  const SurfaceState surface(rig.surface.Received());
  EXPECT_EQ(surface.cells[kVolumeMarkCell], expected.shift && !expected.pan ? '~' : ' ');
  EXPECT_EQ(surface.cells[kPanMarkCell], expected.shift && expected.pan ? '~' : ' ');
  const auto loopLamp = surface.lamps.find(kNoteLoop);
  EXPECT_EQ(loopLamp != surface.lamps.end() && loopLamp->second, expected.loop);

  // And the controller goes on: a plain PLAY follows the loop mode.
  rig.host.ClearCalls();
  if (expected.shift) rig.Release(kNoteShift);
  rig.Press(kNotePlay);
  EXPECT_EQ(rig.host.CallsOf(HostCall::kAction),
            (std::vector<HostCall>{test::Action(expected.loop ? 5 : 3, 1, 0)}));
}

TEST(InputStress, EndingTheControllerWhileInputIsStillArriving) {
  InputRig rig;
  std::mt19937 random(7);
  for (int i = 0; i < 5000; ++i) {
    const unsigned packed = (random() % 2 == 0)
                                ? 0x90u | (kNoteShift << 8) | ((random() % 2) * 0x7Fu << 16)
                                : 0xB0u | (60u << 8) | ((random() % 128) << 16);
    sim_send_input(rig.surface.input(), packed, 0, 0);
  }
  rig.controller.reset();
  const std::size_t calls = rig.host.Calls().size();
  EXPECT_EQ(sim_open_devices(), 0u);
  EXPECT_EQ(sim_send_input(rig.surface.input(), 0x7F5E90, 0, 1), 0);
  EXPECT_EQ(rig.host.Calls().size(), calls) << "nothing reaches the host after the end";
}

}  // namespace
