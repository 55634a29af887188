// The display keeps up with a host that writes faster than the surface's
// cable carries: on the simulated system's own clock, with a wire of 3125
// bytes a second, the surface shows the host's last state soon after the
// host stops, whatever the driver, and shows exactly what every write in
// order would.
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "controller/controller.h"
#include "fake_host.h"
#include "sim_surface.h"
#include <gtest/gtest.h>

namespace {

using test::Bytes;
using test::FakeHost;
using test::Lamp;
using test::Lcd;
using test::SimSurface;

constexpr unsigned kDinRate = 3125;
constexpr unsigned kStepMicros = 1000;

// What a run left: the display's last state and when it last changed, and
// how often the label's and the time's cells changed.
struct Outcome {
  std::string display;
  unsigned long long lastNotice = 0;
  unsigned long long lastChange = 0;
  std::vector<Bytes> received;
  unsigned labelChanges = 0;
  unsigned timeChanges = 0;
  unsigned long long Lag() const { return lastChange > lastNotice ? lastChange - lastNotice : 0; }
};

enum class Traffic {
  kScrolling,  // a track change each period
  kPlaying,    // levels and time each period
  kLabelAndTime,
};

class DisplayBacklog : public ::testing::Test {
 protected:
  DisplayBacklog() {
    for (int track = 0; track < 64; ++track) {
      m_host.SetName(track, "Track " + std::to_string(track + 1));
      m_host.SetVolume(track, -0.5 * track);
      m_host.SetPan(track, track - 32);
    }
  }

  // Opens a controller on a wire of `rate` bytes a second (0: none), with
  // the driver `driver`, on the manual clock.
  void Open(unsigned rate, int driver) {
    sim_set_output_driver(driver);
    sim_set_wire_rate(rate);
    sim_set_manual_clock(1);
    m_controller.emplace(&m_services);
    m_controller->Attach();
    Quiet();
    m_surface.ClearReceived();
  }

  // Moves the clock on until nothing is in flight and nothing waits.
  void Quiet() {
    for (int step = 0; step < 100000; ++step) {
      if (m_controller->WaitingMessages() == 0 && sim_pending_headers() == 0) break;
      ASSERT_EQ(sim_advance_clock(kStepMicros), 1);
    }
    ASSERT_EQ(m_controller->WaitingMessages(), 0u);
    ASSERT_EQ(sim_wait_idle(10000), 1);
  }

  void Notify(Traffic traffic, int n) {
    switch (traffic) {
      case Traffic::kScrolling:
        m_controller->OnHostUpdate(HostCode::kTrackChange, n % 64, n, 0);
        break;
      case Traffic::kPlaying: {
        const double first = (n % 17) / 16.0;
        const double second = (n % 11) / 10.0;
        m_controller->OnHostUpdate(HostCode::kLevels, reinterpret_cast<HostArg>(&first),
                                   reinterpret_cast<HostArg>(&second), 0);
        Time(n);
        break;
      }
      case Traffic::kLabelAndTime:
        m_controller->ShowTrackLabel(n % 64, n);
        Time(n);
        break;
    }
  }

  void Time(int n) {
    char text[16];
    std::snprintf(text, sizeof text, "%d:%02d.%02d", n / 6000, n / 100 % 60, n % 100);
    m_controller->OnHostUpdate(HostCode::kTime, reinterpret_cast<HostArg>(text), 0, 0);
  }

  // `count` notifications of the traffic, one each `periodMs`, the clock
  // moving on in between; then until the surface is quiet.
  Outcome Run(Traffic traffic, int count, unsigned periodMs) {
    Outcome outcome;
    const std::size_t changesBefore = sim_display_change_count(m_surface.output());
    for (int n = 0; n < count; ++n) {
      Notify(traffic, n);
      outcome.lastNotice = sim_clock_microseconds();
      for (unsigned ms = 0; ms < periodMs; ++ms) EXPECT_EQ(sim_advance_clock(kStepMicros), 1);
    }
    Quiet();
    outcome.display.resize(40);
    sim_display_cells(m_surface.output(), outcome.display.data());
    char before[40];
    char after[40];
    sim_display_cells(m_surface.output(), before);
    const std::size_t changes = sim_display_change_count(m_surface.output());
    for (std::size_t i = changesBefore; i < changes; ++i) {
      sim_display_change(m_surface.output(), i, &outcome.lastChange, after);
      if (i > changesBefore) {
        outcome.labelChanges += std::string(before + 20, 9) != std::string(after + 20, 9);
        outcome.timeChanges += std::string(before + 30, 10) != std::string(after + 30, 10);
      }
      std::memcpy(before, after, sizeof before);
    }
    outcome.received = m_surface.Take();
    return outcome;
  }

  // The same traffic where every write goes out inside the host's call and
  // the wire keeps up: what the surface must end up showing.
  Outcome Reference(Traffic traffic, int count, unsigned periodMs) {
    Open(0, SIM_DRIVER_DONE_INLINE);
    Outcome reference = Run(traffic, count, periodMs);
    m_controller.reset();
    m_surface.ClearReceived();
    return reference;
  }

  SimSurface m_surface;
  FakeHost m_host;
  HostServices m_services = m_host.Services();
  std::optional<CMidiReceiveDlg> m_controller;
};

struct Case {
  const char* name;
  Traffic traffic;
  unsigned perSecond;
  unsigned seconds;
};

class DisplayBacklogRates : public DisplayBacklog, public ::testing::WithParamInterface<Case> {};

TEST_P(DisplayBacklogRates, TheSurfaceShowsTheLastStateWithin50MsOfTheLastNotification) {
  const Case& c = GetParam();
  const int count = static_cast<int>(c.perSecond * c.seconds);
  const unsigned period = 1000 / c.perSecond;
  const Outcome reference = Reference(c.traffic, count, period);
  Open(kDinRate, SIM_DRIVER_QUEUED);
  const Outcome outcome = Run(c.traffic, count, period);
  EXPECT_EQ(outcome.display, reference.display);
  EXPECT_LE(outcome.Lag(), 50000u) << "lag " << outcome.Lag() / 1000 << " ms";
  std::printf("%s: lag %.1f ms on the wire, %zu messages (%zu without a wire)\n", c.name,
              outcome.Lag() / 1000.0, outcome.received.size(), reference.received.size());
}

INSTANTIATE_TEST_SUITE_P(Rates, DisplayBacklogRates,
                         ::testing::Values(Case{"Scrolling50For2s", Traffic::kScrolling, 50, 2},
                                           Case{"Scrolling100For2s", Traffic::kScrolling, 100, 2},
                                           Case{"Scrolling50For10s", Traffic::kScrolling, 50, 10},
                                           Case{"Scrolling100For10s", Traffic::kScrolling, 100, 10},
                                           Case{"Playing100For3s", Traffic::kPlaying, 100, 3}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(DisplayBacklog, LabelAndTimeSharingACellBothKeepReachingTheWire) {
  const Outcome reference = Reference(Traffic::kLabelAndTime, 300, 10);
  Open(kDinRate, SIM_DRIVER_QUEUED);
  const Outcome outcome = Run(Traffic::kLabelAndTime, 300, 10);
  EXPECT_EQ(outcome.display, reference.display);
  // Each write takes 6 ms on the wire: both fields change every few tens of
  // milliseconds, neither waits for the other to stop.
  EXPECT_GE(outcome.labelChanges, 50u);
  EXPECT_GE(outcome.timeChanges, 50u);
}

TEST_F(DisplayBacklog, AWireThatKeepsUpGetsEveryMessageInTodaysOrder) {
  const Outcome reference = Reference(Traffic::kScrolling, 50, 10);
  // Ten times a DIN cable: a track change's 69 bytes are out in 2.2 ms.
  Open(10 * kDinRate, SIM_DRIVER_QUEUED);
  const Outcome outcome = Run(Traffic::kScrolling, 50, 10);
  EXPECT_EQ(outcome.received, reference.received);
  EXPECT_EQ(outcome.received.size(), 50u * 7);
}

class DisplayBacklogDrivers : public DisplayBacklog, public ::testing::WithParamInterface<int> {};

TEST_P(DisplayBacklogDrivers, EveryKindOfDriverEndsWithTheRightDisplay) {
  const Outcome reference = Reference(Traffic::kScrolling, 200, 10);
  Open(kDinRate, GetParam());
  const Outcome outcome = Run(Traffic::kScrolling, 200, 10);
  EXPECT_EQ(outcome.display, reference.display);
  EXPECT_EQ(sim_prepared_headers(), 0u);
  // The lamps of the last track change came last, in their order.
  ASSERT_GE(outcome.received.size(), 3u);
  const auto end = outcome.received.end();
  EXPECT_EQ(std::vector<Bytes>(end - 3, end),
            reference.received.size() >= 3
                ? std::vector<Bytes>(reference.received.end() - 3, reference.received.end())
                : std::vector<Bytes>{});
  if (GetParam() == SIM_DRIVER_BLOCKING) {
    // Done means out here: the lag goal holds as on the queued driver. The
    // other two say done while the bytes still wait in the driver, where
    // the port can't see them.
    EXPECT_LE(outcome.Lag(), 50000u) << "lag " << outcome.Lag() / 1000 << " ms";
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, DisplayBacklogDrivers,
                         ::testing::Values(SIM_DRIVER_DONE_INLINE, SIM_DRIVER_BLOCKING,
                                           SIM_DRIVER_DONE_EARLY),
                         [](const ::testing::TestParamInfo<int>& info) {
                           switch (info.param) {
                             case SIM_DRIVER_DONE_INLINE:
                               return std::string("DoneInsideTheCall");
                             case SIM_DRIVER_BLOCKING:
                               return std::string("BlockingUntilOut");
                             default:
                               return std::string("DoneBeforeTheBytesAreOut");
                           }
                         });

TEST_F(DisplayBacklog, LampsWaitInOrderBehindWaitingWrites) {
  Open(0, SIM_DRIVER_QUEUED);
  sim_hold_completions(1);
  m_controller->OnHostUpdate(HostCode::kTrackChange, 2, 5, 0);
  m_controller->OnHostUpdate(HostCode::kRecordState, 1, 0, 0);
  EXPECT_GT(m_controller->WaitingMessages(), 0u);
  sim_hold_completions(0);
  EXPECT_EQ(m_surface.Take(), (std::vector<Bytes>{Lcd(20, "3 (5)     "), Lcd(0, "Track 3   "),
                                                  Lcd(11, "-1.0 "), Lcd(17, "L30"), Lamp(16, false),
                                                  Lamp(8, false), Lamp(0, false), Lamp(95, true)}));
}

TEST_F(DisplayBacklog, ClosingDuringABacklogBlanksTheSurfaceAndPutsOutTheLamps) {
  // The real clock, a DIN wire: the close's drain waits for real bytes.
  sim_set_wire_rate(kDinRate);
  m_controller.emplace(&m_services);
  m_controller->Attach();
  m_controller->OnHostUpdate(HostCode::kRecordState, 1, 0, 0);
  for (int n = 0; n < 100; ++n) m_controller->OnHostUpdate(HostCode::kTrackChange, n, n, 0);
  EXPECT_GT(m_controller->WaitingMessages(), 0u);
  // As CloseController does.
  const unsigned waitedBefore = sim_thread_timed_waits();
  m_controller->StopInput();
  m_controller->BlankSurface();
  m_controller->ClosePorts();
  // Bounded by what the close waited for, not by a clock.
  EXPECT_LE(sim_thread_timed_waits() - waitedBefore, CMidiReceiveDlg::kCloseBound);
  ASSERT_EQ(sim_wait_idle(10000), 1);
  char shown[40];
  sim_display_cells(m_surface.output(), shown);
  EXPECT_EQ(std::string(shown, 40), std::string(40, ' '));
  // The clear, then the seven lamps in their order; the clear may have gone
  // ahead of lamp notes of the last track change, which it does not touch.
  const std::vector<Bytes> received = m_surface.Received();
  ASSERT_GE(received.size(), 8u);
  const std::vector<Bytes> lampsOff = {Lamp(95, false),  Lamp(86, false), Lamp(120, false),
                                       Lamp(115, false), Lamp(8, false),  Lamp(16, false),
                                       Lamp(0, false)};
  EXPECT_EQ(std::vector<Bytes>(received.end() - 7, received.end()), lampsOff);
  std::size_t clear = received.size() - 8;
  while (clear > 0 && received[clear].size() == 3) --clear;
  EXPECT_EQ(received[clear], Lcd(0, std::string(40, ' ')));
  // In between only lamp notes, which wait behind every write, and of each
  // lamp at most its oldest and newest waiting note.
  std::map<BYTE, int> notesOfLamp;
  for (std::size_t i = clear + 1; i < received.size() - 7; ++i) {
    ASSERT_EQ(received[i].size(), 3u) << "a write after the clear";
    EXPECT_EQ(received[i][0], 0x90) << "not a lamp note";
    EXPECT_LE(++notesOfLamp[received[i][1]], 2) << "lamp " << int(received[i][1]);
  }
  EXPECT_EQ(sim_prepared_headers(), 0u);
  EXPECT_EQ(sim_open_devices(), 0u);
}

}  // namespace
