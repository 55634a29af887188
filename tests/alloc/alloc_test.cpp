// Exact heap allocation counts of the plug-in's hot paths, with a host that
// does nothing and a simulated system that completes every message at once.
// The counts are the design's: a surface message that only calls the host
// and a lamp allocate nothing; a display write allocates its message's copy
// of the bytes, the port's header object and the header's own copy of the
// bytes, and the port's header queue takes one more block now and then.
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

// The header queue is a deque of pointers in blocks of 512 bytes. While the
// system keeps up, its one entry is erased from the back and no block is
// ever added; a backlog adds a block for every 64 entries.
constexpr int kHeadersPerBlock = 64;
constexpr uint64_t kPerDisplayWrite = 3;

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

  // The worker unprepares and erases a header under the queue's lock, so
  // once no header is prepared the next send finds the queue empty.
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

TEST_F(Allocations, ADisplayWriteMakesThreeWhileTheSystemKeepsUp) {
  for (int write = 0; write < 3 * kHeadersPerBlock; ++write) {
    EXPECT_EQ(Of([&] { m_controller->ShowTrackName("Bass"); }), kPerDisplayWrite) << write;
  }
}

TEST_F(Allocations, ABacklogAddsAQueueBlockPerSixtyFourWrites) {
  Drain();
  sim_hold_completions(1);
  alloc::Scope scope;
  for (int write = 0; write < 3 * kHeadersPerBlock; ++write) m_controller->ShowTrackName("Bass");
  EXPECT_EQ(scope.Made(), 3 * kHeadersPerBlock * kPerDisplayWrite + 3);
  sim_hold_completions(0);
  Drain();
}

TEST_F(Allocations, ATrackChangeMakesFourDisplayWritesAndThreeLamps) {
  // Label, name, volume and pan are written; the three flag lamps are
  // short messages.
  EXPECT_EQ(Of([&] { m_controller->OnHostUpdate(HostCode::kTrackChange, 4, 12, 0); }),
            4 * kPerDisplayWrite);
}

TEST_F(Allocations, ShiftWritesTheWheelMarkOnEachEdge) {
  EXPECT_EQ(Of([&] { m_controller->OnShortMsg(0x7F7990, 0); }), kPerDisplayWrite);
  EXPECT_EQ(Of([&] { m_controller->OnShortMsg(0x007990, 0); }), kPerDisplayWrite);
}

}  // namespace
