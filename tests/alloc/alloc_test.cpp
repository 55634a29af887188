// Exact heap allocation counts of the plug-in's hot paths, with a host that
// does nothing and a simulated system that completes every message at once.
// The counts are the design's: a surface message that only calls the host
// and a lamp allocate nothing; a display write holds its bytes inside the
// message and reuses a header the port was given back, so it allocates
// nothing once the port is warm, and one block (header and bytes together)
// while a backlog makes the port take on more headers than it has.
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "alloc_counter.h"
#include "controller/controller.h"
#include "simctl.h"
#include <gtest/gtest.h>

namespace {

void __cdecl NoAction(int32_t, int32_t, int32_t, int32_t) {}
void __cdecl NoQuery(int32_t, int32_t, void*, int32_t) {}
void __cdecl NoName(int32_t, char*, int32_t, int32_t* valid) { *valid = 0; }
void __cdecl NoRun(int32_t, int32_t) {}

const HostServices kHost = {&NoAction, &NoQuery, &NoName, 0, &NoRun, 0};

constexpr int kWrites = 200;

class Allocations : public ::testing::Test {
 protected:
  Allocations() {
    sim_reset();
    sim_add_output("Quillmote Port");
    sim_add_input("Quillmote Port");
    m_controller.emplace(&kHost);
    m_controller->Attach();
    Drain();
  }
  // The controller goes first: a reset machine would never finish its
  // headers.
  ~Allocations() override {
    m_controller.reset();
    sim_reset();
  }

  // Allocations of one call, once the port has given back every header.
  template <class F>
  uint64_t Of(F&& call) {
    alloc::Scope scope;
    call();
    const uint64_t made = scope.Made();
    Drain();
    return made;
  }

  // The worker unprepares a header and puts it aside for reuse under the
  // queue's lock, so once no header is prepared the next send finds it.
  static void Drain() {
    ASSERT_TRUE(sim_wait_idle(10000)) << "the system never went idle";
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sim_prepared_headers() != 0) {
      ASSERT_LT(std::chrono::steady_clock::now(), end)
          << sim_prepared_headers() << " headers still prepared";
      Sleep(1);
    }
  }

  std::optional<CMidiReceiveDlg> m_controller;
};

TEST_F(Allocations, SurfaceMessagesThatOnlyCallTheHostAllocateNothing) {
  // Presses, releases and wheel turns that call the host or do nothing,
  // without writing to the surface.
  const uint32_t messages[] = {
      0x7F5E90, 0x005E90,  // PLAY
      0x7F5D90, 0x005D90,  // STOP
      0x7F5B90, 0x005B90,  // RWD
      0x7F5C90, 0x005C90,  // FFWD
      0x7F3090, 0x003090,  // TRACK-L
      0x7F1090, 0x001090,  // FLAG-15
      0x7F4C90, 0x004C90,  // UNDO
      0x7F6790, 0x006790,  // footswitch, bound
      0x013CB0, 0x413CB0,  // the wheel
      0x7F3C90, 0x003C90,  // note 60: no button
      0x7F5E80,            // a note-off
  };
  for (uint32_t packed : messages) {
    EXPECT_EQ(Of([&] { m_controller->OnShortMsg(packed, 0); }), 0u) << std::hex << packed;
  }
}

TEST_F(Allocations, ALampAllocatesNothing) {
  EXPECT_EQ(Of([&] { m_controller->SetLamp(kNoteLoop, true); }), 0u);
  EXPECT_EQ(Of([&] { m_controller->OnHostUpdate(HostCode::kRecordState, 1, 0, 0); }), 0u);
  EXPECT_EQ(Of([&] { m_controller->AllLampsOff(); }), 0u);
}

TEST_F(Allocations, ADisplayWriteAllocatesNothingOnceThePortIsWarm) {
  Of([&] { m_controller->ShowTrackName("Bass"); });  // the port's first header
  for (int write = 0; write < kWrites; ++write) {
    EXPECT_EQ(Of([&] { m_controller->ShowTrackName("Bass"); }), 0u) << write;
  }
  // The longest write, the 48-byte clear, fits the same header.
  EXPECT_EQ(Of([&] { m_controller->ClearDisplay(); }), 0u);
}

TEST_F(Allocations, ABacklogOfWritesNobodyWouldSeeAllocatesNoMoreThanThreeHeaders) {
  Drain();
  sim_hold_completions(1);
  alloc::Scope scope;
  // One write in flight, one waiting, and the newest that takes its place:
  // the writes in between are left out and their headers used again.
  for (int write = 0; write < kWrites; ++write) m_controller->ShowTrackName("Bass");
  EXPECT_LE(scope.Made(), 3u);
  sim_hold_completions(0);
  Drain();
  alloc::Scope again;
  sim_hold_completions(1);
  for (int write = 0; write < kWrites; ++write) m_controller->ShowTrackName("Bass");
  sim_hold_completions(0);
  EXPECT_EQ(again.Made(), 0u);
  Drain();
}

TEST_F(Allocations, MeterWritesFasterThanTheWireAllocateNothingOnceWarm) {
  // As fast as a host can give them, with the done notifications coming in
  // bursts of twenty: more writes than the port keeps headers for are
  // handed over, and each one is left out or goes out on a header already
  // made.
  Drain();
  sim_hold_completions(1);
  const double first = 0.5;
  const double second = 0.25;
  const auto meter = [&](int n) {
    m_controller->OnHostUpdate(HostCode::kLevels, reinterpret_cast<HostArg>(&first),
                               reinterpret_cast<HostArg>(&second), 0);
    if (n % 20 == 19) sim_release_completions(0, 20, 0);
  };
  for (int n = 0; n < 500; ++n) meter(n);
  alloc::Scope scope;
  for (int n = 0; n < 10000; ++n) meter(n);
  EXPECT_EQ(scope.Made(), 0u);
  sim_hold_completions(0);
  Drain();
}

TEST_F(Allocations, ATrackChangeAllocatesNothingOnceThePortIsWarm) {
  // Label, name, volume and pan are written; the three flag lamps are
  // short messages. Held, the first one leaves the port four headers.
  sim_hold_completions(1);
  m_controller->OnHostUpdate(HostCode::kTrackChange, 4, 12, 0);
  sim_hold_completions(0);
  Drain();
  EXPECT_EQ(Of([&] { m_controller->OnHostUpdate(HostCode::kTrackChange, 4, 12, 0); }), 0u);
}

TEST_F(Allocations, ShiftWritesTheWheelMarkWithoutAllocating) {
  Of([&] { m_controller->OnShortMsg(0x7F7990, 0); });
  Of([&] { m_controller->OnShortMsg(0x007990, 0); });
  EXPECT_EQ(Of([&] { m_controller->OnShortMsg(0x7F7990, 0); }), 0u);
  EXPECT_EQ(Of([&] { m_controller->OnShortMsg(0x007990, 0); }), 0u);
}

}  // namespace
