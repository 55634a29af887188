// The input port against the simulated MIDI system: its states, delivery to
// the receiver and every failure the system can report.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "midi/in_device.h"
#include "sim_surface.h"
#include <gtest/gtest.h>

namespace {

using midi::CMIDIInDevice;
using test::SimSurface;

// Each call as a line: "short 7f5e90", "long F0 01 F7"; the time stamps and
// the threads the calls came on beside them.
class RecordingReceiver : public midi::CMIDIReceiver {
 public:
  void OnLongMsg(const char* bytes, DWORD length, DWORD ts) override {
    Record("long " + test::Hex(test::Bytes(bytes, bytes + length)), ts);
  }
  void OnShortMsg(DWORD packed, DWORD ts) override {
    Record("short " + HexWord(packed), ts);
    if (m_throw) throw std::runtime_error("receiver failure");
  }
  void OnLongError(const char* bytes, DWORD length, DWORD ts) override {
    Record("long error " + test::Hex(test::Bytes(bytes, bytes + length)), ts);
  }
  void OnShortError(DWORD packed, DWORD ts) override {
    Record("short error " + HexWord(packed), ts);
  }

  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
  }
  std::vector<DWORD> Stamps() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stamps;
  }
  // Every call came on one thread, the port's own: neither a thread of the
  // system's nor the test's.
  bool AllOnThePortsThread() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (DWORD thread : m_threads) {
      if (thread != m_threads.front() || thread == GetCurrentThreadId()) return false;
    }
    return !m_onSystemThread;
  }

  bool m_throw = false;

 private:
  static std::string HexWord(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value));
    return text;
  }
  void Record(const std::string& what, DWORD ts) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(what);
    m_stamps.push_back(ts);
    m_threads.push_back(GetCurrentThreadId());
    if (sim_on_system_thread() != 0) m_onSystemThread = true;
  }

  mutable std::mutex m_mutex;
  std::vector<std::string> m_lines;
  std::vector<DWORD> m_stamps;
  std::vector<DWORD> m_threads;
  bool m_onSystemThread = false;
};

using Lines = std::vector<std::string>;

std::string SystemText(MMRESULT result) {
  char text[128] = {};
  midiInGetErrorTextA(result, text, sizeof text);
  return text;
}

enum class State { kClosed, kOpened, kStarted };

State StateOf(const CMIDIInDevice& port) {
  if (port.IsStarted()) return State::kStarted;
  return port.IsOpen() ? State::kOpened : State::kClosed;
}

void Bring(CMIDIInDevice& port, unsigned device, State state) {
  if (state != State::kClosed) port.Open(device);
  if (state == State::kStarted) port.Start();
}

TEST(InputPort, FollowsItsStateTable) {
  SimSurface surface;
  CMIDIInDevice port;
  struct Step {
    const char* name;
    void (*operation)(CMIDIInDevice&, unsigned);
    State after;
    unsigned opens, starts, resets, closes, threads;  // system calls so far
  };
  const auto open = [](CMIDIInDevice& p, unsigned id) { p.Open(id); };
  const auto start = [](CMIDIInDevice& p, unsigned) { p.Start(); };
  const auto stop = [](CMIDIInDevice& p, unsigned) { p.Stop(); };
  const auto close = [](CMIDIInDevice& p, unsigned) { p.Close(); };
  const Step steps[] = {
      {"close while closed", close, State::kClosed, 0, 0, 0, 0, 0},
      {"start while closed", start, State::kClosed, 0, 0, 0, 0, 0},
      {"stop while closed", stop, State::kClosed, 0, 0, 0, 0, 0},
      // The port's thread comes with the open: the system posts to it from
      // the open call on.
      {"open", open, State::kOpened, 1, 0, 0, 0, 1},
      {"stop while opened", stop, State::kOpened, 1, 0, 0, 0, 1},
      {"start", start, State::kStarted, 1, 1, 0, 0, 1},
      {"start while started", start, State::kStarted, 1, 1, 0, 0, 1},
      {"stop", stop, State::kOpened, 1, 1, 1, 0, 1},
      {"start again", start, State::kStarted, 1, 2, 1, 0, 1},
      {"close while started", close, State::kClosed, 1, 2, 2, 1, 1},
      {"open again", open, State::kOpened, 2, 2, 2, 1, 2},
      {"start, then reopen",
       [](CMIDIInDevice& p, unsigned id) {
         p.Start();
         p.Open(id);
       },
       State::kOpened, 3, 3, 3, 2, 3},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    step.operation(port, surface.input());
    EXPECT_EQ(StateOf(port), step.after);
    EXPECT_EQ(sim_call_count("midiInOpen"), step.opens);
    EXPECT_EQ(sim_call_count("midiInStart"), step.starts);
    EXPECT_EQ(sim_call_count("midiInReset"), step.resets);
    EXPECT_EQ(sim_call_count("midiInClose"), step.closes);
    EXPECT_EQ(sim_call_count("CreateThread"), step.threads);
    EXPECT_EQ(sim_open_devices(), step.after == State::kClosed ? 0u : 1u);
  }
}

TEST(InputPort, DeliversByStateAndReceiver) {
  struct Case {
    const char* name;
    State state;
    bool receiver;
    Lines expected;
  };
  const Case cases[] = {
      {"started",
       State::kStarted,
       true,
       {"short 7f5e90", "short error f4", "long F0 01 F7", "long error F0 01"}},
      // Short messages pass in any state; returned buffers only while started.
      {"opened", State::kOpened, true, {"short 7f5e90", "short error f4"}},
      {"no receiver", State::kStarted, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimSurface surface;
    RecordingReceiver receiver;
    CMIDIInDevice port;
    if (c.receiver) port.SetReceiver(&receiver);
    Bring(port, surface.input(), c.state);
    char data[] = "\xF0\x01\xF7";
    MIDIHDR header{};
    header.lpData = data;
    header.dwBufferLength = header.dwBytesRecorded = 3;
    header.dwFlags = MHDR_DONE;
    const auto deliver = [&](unsigned message, size_t param1, size_t ts) {
      ASSERT_EQ(sim_deliver_input(surface.input(), message, param1, ts), 1);
    };
    deliver(MIM_DATA, 0x7F5E90, 5);
    deliver(MIM_ERROR, 0xF4, 6);
    deliver(MIM_LONGDATA, reinterpret_cast<size_t>(&header), 7);
    header.dwBytesRecorded = 2;
    deliver(MIM_LONGERROR, reinterpret_cast<size_t>(&header), 8);
    for (unsigned other : {MIM_OPEN, MIM_CLOSE, MIM_MOREDATA, MOM_DONE}) deliver(other, 1, 2);
    EXPECT_EQ(receiver.Lines(), c.expected);
    EXPECT_TRUE(receiver.AllOnThePortsThread());
  }
}

TEST(InputPort, TimeStampsCountFromStart) {
  // The system's own stamp does not travel with a thread message: the port
  // gives the time the message was posted, counted from Start.
  SimSurface surface;
  RecordingReceiver receiver;
  CMIDIInDevice port;
  port.SetReceiver(&receiver);
  port.Open(surface.input());
  const DWORD beforeStart = GetTickCount();
  port.Start();
  Sleep(5);
  ASSERT_EQ(sim_send_input(surface.input(), 0x7F5E90, 12345, 1), 1);
  ASSERT_EQ(sim_send_input(surface.input(), 0x005E90, 12345, 1), 1);
  const DWORD elapsed = GetTickCount() - beforeStart;
  const std::vector<DWORD> stamps = receiver.Stamps();
  ASSERT_EQ(stamps.size(), 2u);
  EXPECT_LE(stamps[0], stamps[1]);
  EXPECT_LE(stamps[1], elapsed);
}

TEST(InputPort, PassesSurfaceInputOnAndSwapsReceivers) {
  SimSurface surface;
  RecordingReceiver first, second;
  CMIDIInDevice port;
  Bring(port, surface.input(), State::kStarted);
  EXPECT_EQ(port.SetReceiver(&first), nullptr);
  ASSERT_EQ(sim_send_input(surface.input(), 0x413CB0, 1, 1), 1);
  EXPECT_EQ(port.SetReceiver(&second), &first);
  ASSERT_EQ(sim_send_input(surface.input(), 0x7F5E90, 2, 1), 1);
  EXPECT_EQ(port.SetReceiver(nullptr), &second);
  ASSERT_EQ(sim_send_input(surface.input(), 0x7F5E90, 3, 1), 1);
  EXPECT_EQ(first.Lines(), Lines{"short 413cb0"});
  EXPECT_EQ(second.Lines(), Lines{"short 7f5e90"});
  EXPECT_TRUE(first.AllOnThePortsThread());
}

TEST(InputPort, InputGoesOnAfterAReceiverThrows) {
  SimSurface surface;
  RecordingReceiver receiver;
  receiver.m_throw = true;
  CMIDIInDevice port;
  port.SetReceiver(&receiver);
  Bring(port, surface.input(), State::kStarted);
  ASSERT_EQ(sim_send_input(surface.input(), 0x01, 0, 1), 1);
  ASSERT_EQ(sim_send_input(surface.input(), 0x02, 0, 1), 1);
  EXPECT_EQ(receiver.Lines(), (Lines{"short 1", "short 2"}));
}

TEST(InputPort, ReportsEveryFailureAndKeepsItsState) {
  struct Case {
    const char* name;
    const char* function;
    unsigned result;
    State before;
    void (*operation)(CMIDIInDevice&, unsigned);
    std::string text;
    State after;
  };
  const auto open = [](CMIDIInDevice& p, unsigned id) { p.Open(id); };
  const auto start = [](CMIDIInDevice& p, unsigned) { p.Start(); };
  const auto close = [](CMIDIInDevice& p, unsigned) { p.Close(); };
  const Case cases[] = {
      {"open refused", "midiInOpen", MMSYSERR_ALLOCATED, State::kClosed, open,
       SystemText(MMSYSERR_ALLOCATED), State::kClosed},
      {"start refused", "midiInStart", MMSYSERR_NOMEM, State::kOpened, start,
       SystemText(MMSYSERR_NOMEM), State::kOpened},
      {"no thread", "CreateThread", ERROR_NOT_ENOUGH_MEMORY, State::kClosed, open,
       "Unable to start the worker thread of a CMIDIInDevice object.", State::kClosed},
      {"no event for the thread", "CreateEventA", ERROR_NOT_ENOUGH_MEMORY, State::kClosed, open,
       "Unable to create a signalling event for CMIDIInDevice object.", State::kClosed},
      {"close refused", "midiInClose", MIDIERR_STILLPLAYING, State::kOpened, close,
       SystemText(MIDIERR_STILLPLAYING), State::kOpened},
      {"close refused after the stop", "midiInClose", MMSYSERR_INVALHANDLE, State::kStarted, close,
       SystemText(MMSYSERR_INVALHANDLE), State::kOpened},
      {"reopen refused in its close", "midiInClose", MMSYSERR_ERROR, State::kOpened, open,
       SystemText(MMSYSERR_ERROR), State::kOpened},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimSurface surface;
    CMIDIInDevice port;
    Bring(port, surface.input(), c.before);
    const unsigned starts = sim_call_count("midiInStart");
    sim_fail(c.function, c.result, 0, 1);
    try {
      c.operation(port, surface.input());
      ADD_FAILURE() << "no exception";
    } catch (const std::exception& e) {
      EXPECT_EQ(e.what(), c.text);
    }
    EXPECT_EQ(StateOf(port), c.after);
    EXPECT_EQ(sim_send_input(surface.input(), 0x7F5E90, 0, 1), 0) << "input is off";
    // Without its thread the system is not asked to open at all.
    const bool threadFailed = c.operation == open && std::string(c.function) != "midiInOpen" &&
                              std::string(c.function) != "midiInClose";
    if (threadFailed) {
      EXPECT_EQ(sim_call_count("midiInOpen"), 0u);
    }
    EXPECT_EQ(sim_call_count("midiInStart") - starts,
              std::string(c.function) == "midiInStart" ? 1u : 0u);
    // The fault was a single one: the port works again.
    port.Close();
    Bring(port, surface.input(), State::kStarted);
    EXPECT_EQ(sim_send_input(surface.input(), 0x7F5E90, 0, 1), 1);
  }
}

TEST(InputPort, DestructionStopsClosesAndSwallowsARefusal) {
  SimSurface surface;
  for (bool refuse : {false, true}) {
    SCOPED_TRACE(refuse ? "close refused once" : "close accepted");
    const unsigned closes = sim_call_count("midiInClose");
    {
      CMIDIInDevice port;
      Bring(port, surface.input(), State::kStarted);
      if (refuse) sim_fail("midiInClose", MIDIERR_STILLPLAYING, 0, 1);
    }
    // After a refusal the destructor tries once more.
    EXPECT_EQ(sim_call_count("midiInClose") - closes, refuse ? 2u : 1u);
    EXPECT_EQ(sim_open_devices(), 0u);
  }
}

}  // namespace
