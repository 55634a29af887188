// The ports and their workers when the system's own calls fail: a wake that
// is never signalled, a wait that can't be done, a header or a device the
// system won't take back at first asking.
#include <algorithm>
#include <chrono>
#include <thread>

#include "midi/in_device.h"
#include "midi/out_device.h"
#include "sim_surface.h"
#include <gtest/gtest.h>

namespace {

using midi::CMIDIInDevice;
using midi::CMIDIOutDevice;
using test::SimSurface;

constexpr unsigned kWaitFailed = 0xFFFFFFFF;

class PortFaults : public ::testing::Test {
 protected:
  SimSurface m_surface;
};

TEST_F(PortFaults, CloseReturnsWhenTheWorkersWakeIsLost) {
  CMIDIOutDevice out;
  out.Open(m_surface.output());
  CMIDIInDevice in;
  in.Open(m_surface.input());
  in.Start();
  // Every wake Stop and Close signal is lost; the workers still end.
  sim_fail("SetEvent", ERROR_INVALID_HANDLE, 0, 0);
  in.Stop();
  in.Close();
  out.Close();
  sim_clear_faults();
  EXPECT_EQ(sim_open_devices(), 0u);
}

TEST_F(PortFaults, ADoneHeaderIsReleasedWithoutItsWake) {
  CMIDIOutDevice port;
  port.Open(m_surface.output());
  sim_fail("SetEvent", ERROR_INVALID_HANDLE, 0, 0);
  const char sysex[] = {char(0xF0), 1, char(0xF7)};
  port.SendLongMsg(sysex, sizeof sysex);
  ASSERT_TRUE(sim_wait_idle(10000));
  EXPECT_TRUE(test::WaitUntil([&] { return port.QueuedHeaders() == 0; }));
  EXPECT_EQ(sim_prepared_headers(), 0u);
  sim_clear_faults();
  port.Close();
}

TEST_F(PortFaults, AHeaderTheSystemWontUnprepareIsOfferedAgain) {
  CMIDIOutDevice port;
  port.Open(m_surface.output());
  sim_fail("midiOutUnprepareHeader", MMSYSERR_INVALHANDLE, 0, 1);
  const char sysex[] = {char(0xF0), 1, char(0xF7)};
  port.SendLongMsg(sysex, sizeof sysex);
  ASSERT_TRUE(sim_wait_idle(10000));
  EXPECT_TRUE(test::WaitUntil([] { return sim_prepared_headers() == 0; }));
  EXPECT_GE(sim_call_count("midiOutUnprepareHeader"), 2u);
  port.Close();
  EXPECT_EQ(sim_prepared_headers(), 0u);
}

TEST_F(PortFaults, CloseOffersARefusedHeaderOnceMore) {
  CMIDIOutDevice port;
  port.Open(m_surface.output());
  sim_hold_completions(1);
  const char sysex[] = {char(0xF0), 1, char(0xF7)};
  port.SendLongMsg(sysex, sizeof sysex);
  // Whoever releases the header first, the worker woken by its completion
  // or Close right behind it, is refused once.
  sim_fail("midiOutUnprepareHeader", MIDIERR_STILLPLAYING, 0, 1);
  sim_release_completions(m_surface.output(), 1, 0);
  port.Close();
  EXPECT_EQ(sim_prepared_headers(), 0u);
  EXPECT_EQ(sim_open_devices(), 0u);
}

TEST_F(PortFaults, ACloseRefusedOnceIsTriedAgain) {
  CMIDIOutDevice port;
  port.Open(m_surface.output());
  sim_fail("midiOutClose", MIDIERR_STILLPLAYING, 0, 1);
  port.Close();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(sim_open_devices(), 0u);
  EXPECT_EQ(sim_call_count("midiOutClose"), 2u);
}

TEST_F(PortFaults, ADeviceThatNeverClosesCountsAsClosed) {
  // Done headers are given back before the device is asked to close, so a
  // device that then stays open keeps none of them.
  CMIDIOutDevice port;
  port.Open(m_surface.output());
  const char sysex[] = {char(0xF0), 1, char(0xF7)};
  port.SendLongMsg(sysex, sizeof sysex);
  ASSERT_TRUE(sim_wait_idle(10000));
  sim_fail("midiOutClose", MMSYSERR_INVALHANDLE, 0, 0);
  port.Close();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(sim_prepared_headers(), 0u);
  sim_clear_faults();
}

TEST_F(PortFaults, ADoneNotificationAfterARefusedCloseFindsItsMemoryKept) {
  // The device will neither reset nor close, so its handle outlives the
  // port; a message it still holds completes afterwards and calls back.
  // AddressSanitizer judges that the callback touches nothing freed.
  auto* port = new CMIDIOutDevice;
  port->Open(m_surface.output());
  sim_hold_completions(1);
  const char sysex[] = {char(0xF0), 1, char(0xF7)};
  port->SendLongMsg(sysex, sizeof sysex);
  sim_fail("midiOutReset", MMSYSERR_INVALHANDLE, 0, 0);
  sim_fail("midiOutClose", MMSYSERR_INVALHANDLE, 0, 0);
  delete port;
  sim_clear_faults();
  const auto lines = m_surface.DebugLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "Quillmote Midi output port did not finish closing; its memory is kept\n"),
            lines.end());
  EXPECT_EQ(sim_release_completions(m_surface.output(), 1, 0), 1u);
  EXPECT_EQ(sim_wait_idle(10000), 1);
}

}  // namespace
