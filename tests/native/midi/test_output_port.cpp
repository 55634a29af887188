// The output port against the simulated MIDI system: states, every failure
// the system can report, and the lifetime of long-message headers.
#include <cstring>
#include <string>
#include <thread>

#include "midi/messages.h"
#include "midi/out_device.h"
#include "sim_surface.h"
#include <gtest/gtest.h>

namespace {

using midi::CMIDIOutDevice;
using test::Bytes;
using test::SimSurface;

class OutputPort : public ::testing::Test {
 protected:
  SimSurface m_surface;
};

TEST_F(OutputPort, DropsMessagesWhileClosed) {
  CMIDIOutDevice port;
  EXPECT_FALSE(port.IsOpen());
  port.SendShortMsg(0x7F5690);
  const char bytes[] = {1, 2, 3};
  port.SendLongMsg(bytes, 3);
  port.Close();
  EXPECT_TRUE(m_surface.Received().empty());
  EXPECT_EQ(sim_call_count("midiOutShortMsg"), 0u);
}

TEST_F(OutputPort, SendsShortAndLongMessagesInOrder) {
  CMIDIOutDevice port;
  port.Open(m_surface.output());
  EXPECT_TRUE(port.IsOpen());
  port.SendShortMsg(0x7F5690);
  const char sysex[] = {char(0xF0), 1, 2, char(0xF7)};
  port.SendLongMsg(sysex, sizeof sysex);
  port.SendShortMsg(0x005690);
  const auto received = m_surface.Received();
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[0], (Bytes{0x90, 0x56, 0x7F}));
  EXPECT_EQ(received[1], (Bytes{0xF0, 1, 2, 0xF7}));
  EXPECT_EQ(received[2], (Bytes{0x90, 0x56, 0x00}));
  port.Close();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(sim_open_devices(), 0u);
  EXPECT_EQ(sim_prepared_headers(), 0u);
}

TEST_F(OutputPort, KeepsTheBytesUntilTheSystemHasReadThem) {
  // The system reads a long message's bytes only at completion; the message
  // object is long gone by then.
  sim_set_completion_delay(20);
  CMIDIOutDevice port;
  port.Open(m_surface.output());
  {
    std::string text(40, 'x');
    midi::CLongMsg message(text.data(), static_cast<DWORD>(text.size()));
    message.SendTo(port);
    text.assign(40, 'y');
  }
  const auto received = m_surface.Received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0], Bytes(40, 'x'));
  port.Close();
}

TEST_F(OutputPort, ReopeningClosesFirst) {
  const unsigned second = sim_add_output("Other");
  CMIDIOutDevice port;
  port.Open(m_surface.output());
  port.Open(second);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(sim_open_devices(), 1u);
  port.SendShortMsg(0x90);
  port.Close();
  EXPECT_EQ(sim_sent_count(second), 1u);
}

TEST_F(OutputPort, ReportsEverySystemFailureWithItsText) {
  struct Case {
    const char* function;
    unsigned result;
    const char* text;
  };
  const Case cases[] = {
      {"midiOutOpen", MMSYSERR_ALLOCATED, "The specified resource is already allocated."},
      {"midiOutShortMsg", MIDIERR_NOTREADY, nullptr},
      {"midiOutPrepareHeader", MMSYSERR_NOMEM, nullptr},
      {"midiOutLongMsg", MIDIERR_NOTREADY, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    sim_reset();
    const unsigned device = sim_add_output("Quillmote Port");
    CMIDIOutDevice port;
    sim_fail(c.function, c.result, 0, 1);
    char expected[128] = {};
    midiOutGetErrorTextA(c.result, expected, sizeof expected);
    try {
      port.Open(device);
      port.SendShortMsg(0x90);
      const char bytes[] = {char(0xF0), char(0xF7)};
      port.SendLongMsg(bytes, 2);
      FAIL() << "nothing thrown";
    } catch (const midi::CMIDIOutException& e) {
      EXPECT_STREQ(e.what(), expected);
      if (c.text) {
        EXPECT_STREQ(e.what(), c.text);
      }
      EXPECT_EQ(e.Result(), c.result);
    }
    // The port stays usable after a refused send, and is closed after a
    // refused open; no header is left prepared either way.
    EXPECT_EQ(port.IsOpen(), std::string(c.function) != "midiOutOpen");
    EXPECT_EQ(sim_prepared_headers(), 0u);
    port.Close();
    EXPECT_EQ(sim_open_devices(), 0u);
  }
}

TEST_F(OutputPort, RefusedDeviceIdsAndCaps) {
  CMIDIOutDevice port;
  EXPECT_THROW(port.Open(99), midi::CMIDIOutException);
  EXPECT_FALSE(port.IsOpen());
  MIDIOUTCAPSA caps{};
  EXPECT_THROW(CMIDIOutDevice::GetDevCaps(99, caps), midi::CMIDIOutException);
  CMIDIOutDevice::GetDevCaps(m_surface.output(), caps);
  EXPECT_STREQ(caps.szPname, "Quillmote Port");
}

TEST_F(OutputPort, UnknownResultCodesStillGetAText) {
  midi::CMIDIOutException error(4321);
  EXPECT_STREQ(error.what(), "Unknown MIDI output error (code 4321).");
  midi::CMIDIInException input(4321);
  EXPECT_STREQ(input.what(), "Unknown MIDI input error (code 4321).");
}

TEST_F(OutputPort, ThreadFailuresAtOpenAreCleanAndSaySo) {
  struct Case {
    const char* function;
    const char* text;
  };
  const Case cases[] = {
      {"CreateEventA", "Unable to create a signalling event for CMIDIOutDevice object."},
      {"CreateThread", "Unable to start the worker thread of a CMIDIOutDevice object."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    CMIDIOutDevice port;
    sim_fail(c.function, 8, 0, 1);
    try {
      port.Open(m_surface.output());
      ADD_FAILURE() << "opened without its thread";
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), c.text);
    }
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(sim_open_devices(), 0u);
    port.Open(m_surface.output());  // and it works once the fault is gone
    EXPECT_TRUE(port.IsOpen());
  }
}

TEST_F(OutputPort, NoCodeOfThePortRunsOnTheSystemsThreads) {
  // The system posts its notifications to the port's own thread; a done
  // message that is lost loses no header, since the thread finds headers by
  // the flag the system sets.
  sim_set_thread_queue_limit(0);
  CMIDIOutDevice port;
  port.Open(m_surface.output());
  const char bytes[] = {char(0xF0), 0, char(0xF7)};
  for (int i = 0; i < 10; ++i) port.SendLongMsg(bytes, sizeof bytes);
  EXPECT_TRUE(test::WaitUntil([&] { return port.QueuedHeaders() == 0; }))
      << port.QueuedHeaders() << " headers still queued";
  EXPECT_GE(sim_lost_thread_messages(), 10u);
  EXPECT_EQ(sim_stray_callbacks(), 0u);
  port.Close();
  EXPECT_EQ(sim_prepared_headers(), 0u);
}

TEST_F(OutputPort, ReleasesEveryDoneHeaderWhateverTheOrderOfCompletion) {
  sim_hold_completions(1);
  CMIDIOutDevice port;
  port.Open(m_surface.output());
  const char bytes[] = {char(0xF0), 0, char(0xF7)};
  // Messages nothing can leave out: one goes to the system, a full list
  // waits, and every one beyond it pushes the oldest waiting one on at once.
  constexpr unsigned kInFlight = 50;
  const unsigned sends = kInFlight + midi::CWaitingMessages::kCapacity;
  for (unsigned i = 0; i < sends; ++i) port.SendLongMsg(bytes, sizeof bytes);
  EXPECT_EQ(sim_prepared_headers(), kInFlight);
  EXPECT_EQ(port.WaitingMessages(), midi::CWaitingMessages::kCapacity);
  // Newest first, in one burst: the thread finds them all by their flags,
  // and the next waiting message goes out.
  EXPECT_EQ(sim_release_completions(m_surface.output(), kInFlight, 1), kInFlight);
  // The port's thread may take them back in more than one round.
  EXPECT_TRUE(test::WaitUntil([&] {
    return port.QueuedHeaders() == 1 && sim_prepared_headers() == 1 &&
           port.WaitingMessages() == midi::CWaitingMessages::kCapacity - 1;
  })) << port.QueuedHeaders()
      << " headers still queued, " << sim_prepared_headers() << " prepared, "
      << port.WaitingMessages() << " waiting";
  sim_hold_completions(0);
  ASSERT_TRUE(sim_wait_idle(10000));
  EXPECT_EQ(port.WaitingMessages(), 0u);
  EXPECT_EQ(m_surface.Received().size(), sends);
  port.Close();
  EXPECT_EQ(sim_prepared_headers(), 0u);
}

TEST_F(OutputPort, ClosingWaitsForMessagesInFlight) {
  sim_set_completion_delay(5);
  CMIDIOutDevice port;
  port.Open(m_surface.output());
  const char bytes[] = {char(0xF0), 1, char(0xF7)};
  for (int i = 0; i < 20; ++i) port.SendLongMsg(bytes, sizeof bytes);
  port.Close();
  // Every message reached the surface; nothing was taken back by a reset.
  EXPECT_EQ(sim_sent_count(m_surface.output()), 20u);
  EXPECT_EQ(sim_call_count("midiOutReset"), 0u);
  EXPECT_EQ(sim_prepared_headers(), 0u);
  EXPECT_EQ(sim_open_devices(), 0u);
}

TEST_F(OutputPort, ClosingResetsADeviceThatNeverFinishes) {
  sim_hold_completions(1);
  CMIDIOutDevice port;
  port.Open(m_surface.output());
  const char bytes[] = {char(0xF0), 1, char(0xF7)};
  for (int i = 0; i < 3; ++i) port.SendLongMsg(bytes, sizeof bytes);
  port.Close();
  EXPECT_EQ(sim_call_count("midiOutReset"), 1u);
  EXPECT_EQ(sim_prepared_headers(), 0u);
  EXPECT_EQ(sim_open_devices(), 0u);
  sim_hold_completions(0);
}

TEST_F(OutputPort, TwoSendersShareThePort) {
  CMIDIOutDevice port;
  port.Open(m_surface.output());
  const char bytes[] = {char(0xF0), 2, char(0xF7)};
  auto send = [&] {
    for (int i = 0; i < 200; ++i) {
      port.SendLongMsg(bytes, sizeof bytes);
      port.SendShortMsg(0x90);
    }
  };
  std::thread other(send);
  send();
  other.join();
  port.Close();
  EXPECT_EQ(sim_sent_count(m_surface.output()), 800u);
  EXPECT_EQ(sim_prepared_headers(), 0u);
}

}  // namespace
