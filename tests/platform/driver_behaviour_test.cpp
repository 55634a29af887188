// Behaviours of real MIDI systems that the simulation can show: a driver
// that still delivers input after its inline close notification, and a
// system whose stop, reset and close wait for a callback in progress.
#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "recorder.h"
#include "simctl.h"
#include <gtest/gtest.h>

namespace {

using platform_test::Gate;
using platform_test::Notice;
using platform_test::Recorder;

constexpr DWORD kDeadlockMs = 10000;  // only a guard against a hang

class DrainAfterCloseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_reset();
    device_ = sim_add_input("Quillmote Port");
    ASSERT_EQ(MMSYSERR_NOERROR, midiInOpen(&in_, device_, (DWORD_PTR)&Recorder::InProc,
                                           recorder_.Instance(), CALLBACK_FUNCTION));
    ASSERT_EQ(MMSYSERR_NOERROR, midiInStart(in_));
    recorder_.SetHook([this](const Notice& notice) {
      if (notice.message == MIM_DATA && notice.param1 == kFirst) gate_.Pass();
    });
  }
  void TearDown() override {
    gate_.Open();
    sim_reset();
  }

  // The system thread is held in the first input's callback while the
  // second waits behind it, received and not yet delivered; then the port
  // is closed.
  void CloseWithInputReceived(int flags) {
    sim_set_late_callbacks(0, flags);
    ASSERT_EQ(1, sim_send_input(device_, kFirst, 1, 0));
    ASSERT_TRUE(gate_.WaitArrived());
    ASSERT_EQ(1, sim_send_input(device_, kSecond, 2, 0));
    ASSERT_EQ(MMSYSERR_NOERROR, midiInClose(in_));
  }

  static constexpr DWORD_PTR kFirst = 0x7F5E90;
  static constexpr DWORD_PTR kSecond = 0x7F5F90;
  unsigned device_ = 0;
  HMIDIIN in_ = nullptr;
  Recorder recorder_;
  Gate gate_;
};

TEST_F(DrainAfterCloseTest, InputReceivedBeforeTheCloseArrivesAfterItsNotification) {
  CloseWithInputReceived(SIM_LATE_DRAIN_AFTER_CLOSE);
  // The notification came inside the close, on this thread, at once.
  auto notices = recorder_.Notices();
  ASSERT_EQ(3u, notices.size());
  EXPECT_EQ(MIM_CLOSE, notices[2].message);
  EXPECT_FALSE(notices[2].on_system_thread);
  gate_.Open();
  ASSERT_TRUE(recorder_.WaitFor(MIM_DATA, 2));
  ASSERT_EQ(1, sim_wait_callbacks_done(kDeadlockMs));
  notices = recorder_.Notices();
  EXPECT_EQ((std::vector<UINT>{MIM_OPEN, MIM_DATA, MIM_CLOSE, MIM_DATA}), recorder_.Messages());
  EXPECT_EQ(kSecond, notices[3].param1);
  EXPECT_TRUE(notices[3].on_system_thread);
}

TEST_F(DrainAfterCloseTest, AnInlineCloseAloneDropsWhatWasNotBegun) {
  CloseWithInputReceived(SIM_LATE_CLOSE_INLINE);
  gate_.Open();
  ASSERT_EQ(1, sim_wait_callbacks_done(kDeadlockMs));
  EXPECT_EQ((std::vector<UINT>{MIM_OPEN, MIM_DATA, MIM_CLOSE}), recorder_.Messages());
}

TEST_F(DrainAfterCloseTest, WithoutACloseNotificationTheInputStillDrains) {
  CloseWithInputReceived(SIM_LATE_DRAIN_AFTER_CLOSE | SIM_LATE_NO_CLOSE);
  gate_.Open();
  ASSERT_TRUE(recorder_.WaitFor(MIM_DATA, 2));
  ASSERT_EQ(1, sim_wait_callbacks_done(kDeadlockMs));
  EXPECT_EQ((std::vector<UINT>{MIM_OPEN, MIM_DATA, MIM_DATA}), recorder_.Messages());
}

TEST_F(DrainAfterCloseTest, InputWaitingInTheRingComesWhenTheClockReachesItAfterTheClose) {
  sim_set_manual_clock(1);
  sim_set_input_delay(2);
  sim_set_late_callbacks(0, SIM_LATE_DRAIN_AFTER_CLOSE);
  ASSERT_EQ(1, sim_send_input(device_, kSecond, 1, 0));
  ASSERT_EQ(1, sim_advance_clock(1999));
  EXPECT_EQ((std::vector<UINT>{MIM_OPEN}), recorder_.Messages()) << "delivered before its time";
  ASSERT_EQ(MMSYSERR_NOERROR, midiInClose(in_));
  EXPECT_EQ(0u, sim_callbacks_after_close());
  // The closed handle's thread still looks at the clock.
  ASSERT_EQ(1, sim_advance_clock(1));
  ASSERT_EQ(1, sim_wait_callbacks_done(kDeadlockMs));
  EXPECT_EQ((std::vector<UINT>{MIM_OPEN, MIM_CLOSE, MIM_DATA}), recorder_.Messages());
  EXPECT_EQ(1u, sim_callbacks_after_close());
}

// One of the calls that wait for a callback in progress, on a handle whose
// callback is held by the next notification to come.
struct WaitingCall {
  std::string name;
  bool output;
  std::function<MMRESULT(HMIDIIN, HMIDIOUT)> call;
};

void PrintTo(const WaitingCall& call, std::ostream* out) { *out << call.name; }

std::vector<WaitingCall> WaitingCalls() {
  return {
      {"midiInStop", false, [](HMIDIIN in, HMIDIOUT) { return midiInStop(in); }},
      {"midiInReset", false, [](HMIDIIN in, HMIDIOUT) { return midiInReset(in); }},
      {"midiInClose", false, [](HMIDIIN in, HMIDIOUT) { return midiInClose(in); }},
      {"midiOutReset", true, [](HMIDIIN, HMIDIOUT out) { return midiOutReset(out); }},
      {"midiOutClose", true, [](HMIDIIN, HMIDIOUT out) { return midiOutClose(out); }},
  };
}

class CloseWaitsTest : public ::testing::TestWithParam<WaitingCall> {
 protected:
  void SetUp() override {
    sim_reset();
    sim_add_input("Quillmote Port");
    sim_add_output("Quillmote Port");
    released_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    SetEvent(released_);
    sim_reset();
    CloseHandle(released_);
  }

  // Opens the handle the call is for, and has its system thread enter a
  // callback that waits for `released_`.
  void HoldACallback(const WaitingCall& which) {
    recorder_.SetHook([this](const Notice& notice) {
      if (notice.message != MIM_DATA && notice.message != MOM_DONE) return;
      arrived_.Pass();  // says it has arrived; the gate itself stays open
      held_result_ = WaitForSingleObject(released_, kDeadlockMs);
    });
    arrived_.Open();
    if (which.output) {
      ASSERT_EQ(MMSYSERR_NOERROR, midiOutOpen(&out_, 0, (DWORD_PTR)&Recorder::OutProc,
                                              recorder_.Instance(), CALLBACK_FUNCTION));
      header_.lpData = bytes_;
      header_.dwBufferLength = sizeof bytes_;
      ASSERT_EQ(MMSYSERR_NOERROR, midiOutPrepareHeader(out_, &header_, sizeof header_));
      ASSERT_EQ(MMSYSERR_NOERROR, midiOutLongMsg(out_, &header_, sizeof header_));
    } else {
      ASSERT_EQ(MMSYSERR_NOERROR, midiInOpen(&in_, 0, (DWORD_PTR)&Recorder::InProc,
                                             recorder_.Instance(), CALLBACK_FUNCTION));
      ASSERT_EQ(MMSYSERR_NOERROR, midiInStart(in_));
      ASSERT_EQ(1, sim_send_input(0, 0x7F5E90, 0, 0));
    }
    ASSERT_TRUE(arrived_.WaitArrived());
  }

  HANDLE released_ = nullptr;
  std::atomic<DWORD> held_result_{WAIT_FAILED};
  Recorder recorder_;
  Gate arrived_;
  HMIDIIN in_ = nullptr;
  HMIDIOUT out_ = nullptr;
  char bytes_[3] = {'\xF0', 0, '\xF7'};
  MIDIHDR header_{};
};

TEST_P(CloseWaitsTest, TheCallWaitsForTheCallbackInProgressAndCanDeadlockOnIt) {
  const WaitingCall& which = GetParam();
  // Late timing: without the switch none of these calls would wait.
  sim_set_late_callbacks(0, 0);
  sim_set_close_waits_for_callbacks(1);
  HoldACallback(which);

  // The callback waits for what this thread would do after the call: the
  // call, made on another thread, does not return.
  std::atomic<bool> returned{false};
  std::atomic<MMRESULT> result{MMSYSERR_ERROR};
  std::thread caller([&] {
    result = which.call(in_, out_);
    returned = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlockMs);
  while (sim_waiting_for_callbacks() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(1u, sim_waiting_for_callbacks()) << which.name << " did not wait";
  EXPECT_FALSE(returned.load());

  SetEvent(released_);
  caller.join();
  EXPECT_EQ(MMSYSERR_NOERROR, result.load());
  EXPECT_EQ(WAIT_OBJECT_0, held_result_.load()) << "the callback was let go, not timed out";
  EXPECT_EQ(0u, sim_waiting_for_callbacks());
  ASSERT_EQ(1, sim_wait_callbacks_done(kDeadlockMs));
}

TEST_P(CloseWaitsTest, WithoutTheSwitchALateCallDoesNotWait) {
  const WaitingCall& which = GetParam();
  sim_set_late_callbacks(0, 0);
  HoldACallback(which);
  EXPECT_EQ(MMSYSERR_NOERROR, which.call(in_, out_));
  EXPECT_EQ(WAIT_FAILED, held_result_.load()) << "the callback is still held";
  SetEvent(released_);
  ASSERT_EQ(1, sim_wait_callbacks_done(kDeadlockMs));
}

INSTANTIATE_TEST_SUITE_P(EveryCall, CloseWaitsTest, ::testing::ValuesIn(WaitingCalls()),
                         [](const auto& info) { return info.param.name; });

TEST(CloseWaitsThreadTest, WithThreadMessagesTheCallsWaitForNothingOfTheApplication) {
  sim_reset();
  const unsigned device = sim_add_input("Quillmote Port");
  sim_set_close_waits_for_callbacks(1);
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
  // This thread is the one the messages go to, and it takes none of them
  // until the calls have returned: with callbacks that would be a deadlock.
  HMIDIIN in = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, midiInOpen(&in, device, GetCurrentThreadId(), 0, CALLBACK_THREAD));
  ASSERT_EQ(MMSYSERR_NOERROR, midiInStart(in));
  ASSERT_EQ(1, sim_send_input(device, 0x7F5E90, 0, 1));
  ASSERT_EQ(MMSYSERR_NOERROR, midiInStop(in));
  ASSERT_EQ(MMSYSERR_NOERROR, midiInReset(in));
  ASSERT_EQ(MMSYSERR_NOERROR, midiInClose(in));
  std::vector<UINT> messages;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) messages.push_back(msg.message);
  EXPECT_EQ((std::vector<UINT>{MM_MIM_OPEN, MM_MIM_DATA, MM_MIM_CLOSE}), messages);
  EXPECT_EQ(0u, sim_waiting_for_callbacks());
  sim_reset();
}

}  // namespace
