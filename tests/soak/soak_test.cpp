// Long runs of the plug-in as a host and a surface use it: many open and
// close cycles with input and notifications flowing, and a long stream of
// display writes far faster than the system takes them, whose done
// notifications come in bursts.
// Both must end with no device, no header and no more heap blocks than they
// started with.
//
// ctest runs a short form. QM_SOAK_CYCLES and QM_SOAK_WRITES set the long
// one (scripts/soak.sh), and each test prints its figures.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "fake_host.h"
#include "live_heap.h"
#include "plugin/exports.h"
#include "sim_surface.h"
#include <gtest/gtest.h>

namespace {

using test::FakeHost;
using test::kControlChange;
using test::kNoteOn;
using test::kWheel;
using test::SimSurface;
using namespace test::notes;

uint64_t Setting(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || text[0] == 0) return fallback;
  return std::strtoull(text, nullptr, 10);
}

// Waits until the system has nothing in flight and the plug-in's workers
// have given back every header, so that a count of blocks means something.
// Either not happening within the limit fails the test.
void Settle() {
  EXPECT_TRUE(sim_wait_idle(10000)) << "the system never went idle";
  EXPECT_TRUE(test::WaitUntil([] { return sim_prepared_headers() == 0; }))
      << sim_prepared_headers() << " headers still prepared";
}

// Threads that end after the plug-in has closed (the system's port threads,
// the ports' workers) free their last blocks a moment after they were seen
// to end: waits for the count to come down to `limit`, and returns what it
// came to. The caller fails the test when that is still more.
int64_t LiveBlocksSettledTo(int64_t limit) {
  test::WaitUntil([&] { return soak::LiveBlocks() <= limit; });
  return soak::LiveBlocks();
}

class Soak : public ::testing::Test {
 protected:
  Soak() {
    m_host.SetCommands({"Undo (1)", "Redo", "Metronome On/Off toggle"});
    m_host.SetName(1, "Bass");
    m_host.SetVolume(1, -2.5);
    m_host.SetPan(1, 20);
  }
  ~Soak() override { CloseController(); }

  // One cycle: the host opens the plug-in, the surface plays and the host
  // reports, and the host closes it again.
  void Cycle(uint64_t n) {
    const HostServices services = m_host.Services();
    ASSERT_EQ(OpenController(&services), 1) << "cycle " << n;
    const double levels[2] = {0.75, 0.5};
    const std::string time = "00:00:" + std::to_string(n % 60) + ".00";
    m_surface.Send(kNoteOn, kPlay, 127);
    UpdateController(HostCode::kTrackChange, 1, 4, 0);
    m_surface.Send(kNoteOn, kPlay, 0);
    m_surface.Send(kNoteOn, kShift, 127);
    UpdateController(HostCode::kLevels, reinterpret_cast<HostArg>(&levels[0]),
                     reinterpret_cast<HostArg>(&levels[1]), 0);
    m_surface.Send(kControlChange, kWheel, 1);
    m_surface.Send(kNoteOn, kLoop, 127);
    UpdateController(HostCode::kTime, reinterpret_cast<HostArg>(time.c_str()), 0, 0);
    m_surface.Send(kNoteOn, kShift, 0);
    // A quarter of the cycles close as real drivers call back: late, after
    // the close calls returned.
    const bool late = n % 4 == 3;
    if (late) sim_set_late_callbacks(static_cast<unsigned>(n % 6), 0);
    // Input that is still on its way as the host closes.
    sim_send_input(m_surface.input(), kNoteOn | (kLoop << 8) | (127 << 16), 0, 0);
    CloseController();
    if (late) {
      ASSERT_EQ(sim_wait_callbacks_done(10000), 1) << "cycle " << n;
      sim_end_late_callbacks();
    }
    ASSERT_EQ(sim_stray_callbacks(), 0u) << "cycle " << n;
    // The surface's and the host's records would grow without end.
    sim_clear_sent();
    sim_debug_clear();
    m_host.ClearCalls();
  }

  SimSurface m_surface;
  FakeHost m_host;
};

TEST_F(Soak, OpenCloseCyclesWithTrafficLeaveNothingBehind) {
  const uint64_t cycles = Setting("QM_SOAK_CYCLES", 500);
  // The first cycles make what lives as long as the process (the system's
  // bookkeeping, the library's static data); the count is taken after them.
  for (uint64_t n = 0; n < 10; ++n) Cycle(n);
  // The system counts calls by function name: the entries of functions a
  // close calls only when it has to wait are made here, not in the count.
  Sleep(0);
  GetTickCount();
  Settle();
  const int64_t baseline = soak::LiveBlocks();
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t n = 0; n < cycles; ++n) {
    Cycle(n);
    if (HasFatalFailure()) return;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Settle();
  const int64_t live = LiveBlocksSettledTo(baseline);
  EXPECT_EQ(sim_open_devices(), 0u);
  EXPECT_EQ(sim_prepared_headers(), 0u);
  EXPECT_EQ(sim_pending_headers(), 0u);
  EXPECT_LE(live, baseline) << "heap blocks grew over " << cycles << " cycles";
  std::printf("soak: %llu open/close cycles in %.1f s; live heap blocks %lld before, %lld after\n",
              static_cast<unsigned long long>(cycles), seconds, static_cast<long long>(baseline),
              static_cast<long long>(live));
}

TEST_F(Soak, DisplayWritesFasterThanTheSystemTakesThemShowTheLastState) {
  const uint64_t writes = Setting("QM_SOAK_WRITES", 50000);
  const HostServices services = m_host.Services();
  ASSERT_EQ(OpenController(&services), 1);
  Settle();
  sim_clear_sent();

  // What the display must show at the end: every write applied in order.
  // The track label (cells 20 to 29) and the time (29 to 39) share a cell.
  char expected[40];
  sim_display_cells(m_surface.output(), expected);
  const auto put = [&expected](std::size_t first, const char* text, std::size_t width, bool right) {
    const std::size_t length = std::min(std::strlen(text), width);
    const std::size_t pad = width - length;
    std::memset(expected + first, ' ', width);
    std::memcpy(expected + first + (right ? pad : 0), text, length);
  };

  // Completions are held and then released in bursts of changing size, by
  // turns newest first and oldest first, while the host writes the time and
  // now and then the track label far faster than they go out.
  sim_hold_completions(1);
  char text[32];
  uint64_t written = 0;
  uint64_t burst = 0;
  uint64_t received = 0;
  int64_t baseline = -1;
  uint32_t random = 12345;
  const auto start = std::chrono::steady_clock::now();
  while (written < writes) {
    random = random * 1103515245u + 12345u;
    const uint64_t size = 1 + (random >> 16) % 96;
    for (uint64_t i = 0; i < size && written < writes; ++i, ++written) {
      if (written % 7 == 3) {
        const auto value = static_cast<int>(written % 1000);
        UpdateController(HostCode::kTrackChange, 1, value, 0);
        std::snprintf(text, sizeof text, "2 (%d)", value);
        put(20, text, 10, false);
        put(0, "Bass", 10, false);
        put(11, "-2.5", 5, false);
        put(17, "R20", 3, false);
        continue;
      }
      std::snprintf(
          text, sizeof text, "%02u:%02u:%02u.%02u", static_cast<unsigned>(written / 360000 % 100),
          static_cast<unsigned>(written / 6000 % 60), static_cast<unsigned>(written / 100 % 60),
          static_cast<unsigned>(written % 100));
      UpdateController(HostCode::kTime, reinterpret_cast<HostArg>(text), 0, 0);
      put(29, text, 11, true);
    }
    for (int round = 0; round < 4; ++round) {
      sim_release_completions(m_surface.output(), 1 + (random >> 8) % 20, round % 2);
    }
    received += sim_sent_count(m_surface.output());
    sim_clear_sent();
    if (++burst == 20) {
      // Warmed up: from here on the count of blocks must not grow. The most
      // writes that can wait at once wait now, behind a held one, so that
      // the port has made every header it will keep.
      for (int round = 0; round < 3; ++round, written += 2) {
        UpdateController(HostCode::kTrackChange, 1, 999, 0);
        UpdateController(HostCode::kTime, reinterpret_cast<HostArg>(text), 0, 0);
      }
      put(20, "2 (999)", 10, false);
      put(29, text, 11, true);
      sim_hold_completions(0);
      Settle();
      received += sim_sent_count(m_surface.output());
      sim_clear_sent();
      baseline = soak::LiveBlocks();
      sim_hold_completions(1);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sim_hold_completions(0);
  Settle();
  received += sim_sent_count(m_surface.output());
  // The surface's record of them is no block of the plug-in's.
  sim_clear_sent();
  EXPECT_EQ(sim_pending_headers(), 0u);
  EXPECT_EQ(sim_prepared_headers(), 0u) << "headers outstanding after " << written << " writes";
  char shown[40];
  sim_display_cells(m_surface.output(), shown);
  EXPECT_EQ(std::string(shown, 40), std::string(expected, 40))
      << "the surface shows what every write in order would leave";
  EXPECT_GT(received, burst) << "each burst of completions let writes go out";
  if (baseline >= 0) {
    const int64_t live = LiveBlocksSettledTo(baseline);
    EXPECT_LE(live, baseline) << "heap blocks grew over " << written << " display writes";
    std::printf(
        "soak: %llu notifications in %.1f s, %llu messages reached the surface; live heap blocks "
        "%lld after warming up, %lld at the end\n",
        static_cast<unsigned long long>(written), seconds,
        static_cast<unsigned long long>(received), static_cast<long long>(baseline),
        static_cast<long long>(live));
  }
  CloseController();
  Settle();
  EXPECT_EQ(sim_open_devices(), 0u);
  EXPECT_EQ(sim_prepared_headers(), 0u);
}

}  // namespace
