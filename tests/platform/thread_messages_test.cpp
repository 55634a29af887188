// Thread message queues: when a thread has one, what a post puts in it, how
// messages come out, and the waits that end when one arrives.
#include <windows.h>

#include <chrono>
#include <thread>
#include <vector>

#include "simctl.h"
#include <gtest/gtest.h>

namespace {

constexpr DWORD kDeadlockMs = 10000;  // only a guard against a hang

class ThreadMessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_reset();
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // this thread's queue
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  void TearDown() override { sim_reset(); }

  static std::vector<UINT> Drain() {
    std::vector<UINT> messages;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) messages.push_back(msg.message);
    return messages;
  }
};

// A thread of CreateThread that makes its queue when told to, takes one
// message and ends.
struct Receiver {
  HANDLE make_queue = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE has_queue = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  MSG got{};
  BOOL result = -2;
  ~Receiver() {
    CloseHandle(make_queue);
    CloseHandle(has_queue);
  }
  static DWORD WINAPI Run(LPVOID parameter) {
    auto* self = static_cast<Receiver*>(parameter);
    WaitForSingleObject(self->make_queue, INFINITE);
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    SetEvent(self->has_queue);
    self->result = GetMessageA(&self->got, nullptr, 0, 0);
    return 0;
  }
};

TEST_F(ThreadMessagesTest, APostNeedsTheThreadsQueueWhichEndsWithTheThread) {
  Receiver receiver;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, &Receiver::Run, &receiver, 0, &id);
  ASSERT_NE(nullptr, thread);
  SetLastError(0);
  EXPECT_FALSE(PostThreadMessageA(id, WM_APP, 1, 2)) << "no queue before the thread asks";
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_THREAD_ID), GetLastError());

  SetEvent(receiver.make_queue);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(receiver.has_queue, kDeadlockMs));
  ASSERT_TRUE(PostThreadMessageA(id, WM_APP + 3, 7, -8));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kDeadlockMs));
  EXPECT_EQ(1, receiver.result);
  EXPECT_EQ(static_cast<UINT>(WM_APP + 3), receiver.got.message);
  EXPECT_EQ(7u, receiver.got.wParam);
  EXPECT_EQ(-8, receiver.got.lParam);
  EXPECT_EQ(nullptr, receiver.got.hwnd);

  EXPECT_FALSE(PostThreadMessageA(id, WM_APP, 0, 0)) << "the thread has ended";
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_THREAD_ID), GetLastError());
  CloseHandle(thread);

  // A thread CreateThread did not start loses its queue as it ends too.
  DWORD other = 0;
  std::thread([&] {
    other = GetCurrentThreadId();
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    EXPECT_TRUE(PostThreadMessageA(other, WM_USER, 0, 0));
  }).join();
  EXPECT_FALSE(PostThreadMessageA(other, WM_USER, 0, 0));
  EXPECT_FALSE(PostThreadMessageA(0, WM_USER, 0, 0));
}

TEST_F(ThreadMessagesTest, MessagesComeOutInOrderThroughFiltersAndWmQuitPassesEveryFilter) {
  const DWORD me = GetCurrentThreadId();
  const DWORD before = GetTickCount();
  ASSERT_TRUE(PostThreadMessageA(me, WM_USER + 1, 11, 0));
  ASSERT_TRUE(PostThreadMessageA(me, WM_APP, 12, 0));
  ASSERT_TRUE(PostThreadMessageA(me, WM_USER + 2, 13, 0));
  const DWORD after = GetTickCount();

  MSG msg{};
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(static_cast<UINT>(WM_USER + 1), msg.message) << "the oldest first";
  EXPECT_GE(msg.time, before);
  EXPECT_LE(msg.time, after);
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_APP, WM_APP + 10, PM_REMOVE));
  EXPECT_EQ(12u, msg.wParam) << "the filter passes over older ones";
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_APP, WM_APP + 10, PM_REMOVE));

  ASSERT_TRUE(PostThreadMessageA(me, WM_QUIT, 5, 0));
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_APP, WM_APP, PM_REMOVE));
  EXPECT_EQ(static_cast<UINT>(WM_QUIT), msg.message);
  ASSERT_TRUE(PostThreadMessageA(me, WM_QUIT, 6, 0));
  // A host's own loop: what it takes it hands on; WM_QUIT ends it.
  std::vector<WPARAM> dispatched;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    EXPECT_EQ(0, DispatchMessageA(&msg)) << "a thread message has no window to go to";
    dispatched.push_back(msg.wParam);
  }
  EXPECT_EQ((std::vector<WPARAM>{11, 13}), dispatched);
  EXPECT_EQ(6u, msg.wParam);

  EXPECT_FALSE(PeekMessageA(&msg, reinterpret_cast<HWND>(0x1234), 0, 0, PM_REMOVE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
  EXPECT_EQ(-1, GetMessageA(&msg, reinterpret_cast<HWND>(0x1234), 0, 0));
  EXPECT_EQ(-1, GetMessageA(nullptr, nullptr, 0, 0));
}

TEST_F(ThreadMessagesTest, AFullQueueRefusesPostsUntilOneIsTaken) {
  const DWORD me = GetCurrentThreadId();
  sim_set_thread_queue_limit(2);
  ASSERT_TRUE(PostThreadMessageA(me, WM_APP, 1, 0));
  ASSERT_TRUE(PostThreadMessageA(me, WM_APP, 2, 0));
  EXPECT_FALSE(PostThreadMessageA(me, WM_APP, 3, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA), GetLastError());
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_TRUE(PostThreadMessageA(me, WM_APP, 4, 0));
  sim_reset();  // the system's limit again
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(PostThreadMessageA(me, WM_APP, 5, 0));
  EXPECT_EQ(12u, Drain().size()) << "sim_reset leaves the queue's messages alone";
}

TEST_F(ThreadMessagesTest, InjectedFaultsRefuseAPostAndAreCounted) {
  const DWORD me = GetCurrentThreadId();
  sim_fail("PostThreadMessageA", ERROR_ACCESS_DENIED, 1, 1);
  EXPECT_TRUE(PostThreadMessageA(me, WM_APP, 1, 0));
  EXPECT_FALSE(PostThreadMessageA(me, WM_APP, 2, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(PostThreadMessageA(me, WM_APP, 3, 0));
  sim_fail("MsgWaitForMultipleObjects", WAIT_FAILED, 0, 1);
  EXPECT_EQ(WAIT_FAILED, MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT));
  EXPECT_EQ(2u, Drain().size());
  EXPECT_EQ(3u, sim_call_count("PostThreadMessageA"));
  EXPECT_EQ(1u, sim_call_count("MsgWaitForMultipleObjects"));
}

TEST_F(ThreadMessagesTest, MsgWaitEndsForANewMessageOnlyAndCountsItsTimeouts) {
  const DWORD me = GetCurrentThreadId();
  const unsigned waited = sim_thread_timed_waits();
  EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(0, nullptr, FALSE, 3, QS_ALLINPUT));
  EXPECT_EQ(waited + 3, sim_thread_timed_waits());

  ASSERT_TRUE(PostThreadMessageA(me, WM_APP, 0, 0));
  EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_POSTMESSAGE));
  EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLPOSTMESSAGE))
      << "still new: nobody looked at the queue";
  EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_KEY))
      << "the mask asks for no posted message";

  // Looked at and left in the queue, it is no longer new, as on Windows.
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT));
  ASSERT_TRUE(PostThreadMessageA(me, WM_APP, 0, 0));
  EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT));
  EXPECT_EQ(2u, Drain().size());
  EXPECT_EQ(waited + 4, sim_thread_timed_waits());
}

TEST_F(ThreadMessagesTest, MsgWaitWithoutATimeLimitWakesForAPostFromAnotherThread) {
  HANDLE has_queue = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD id = 0;
  DWORD result = 0;
  unsigned timed = 1;
  std::thread waiter([&] {
    id = GetCurrentThreadId();
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    SetEvent(has_queue);
    result = MsgWaitForMultipleObjects(0, nullptr, FALSE, INFINITE, QS_ALLPOSTMESSAGE);
    timed = sim_thread_timed_waits();
  });
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(has_queue, kDeadlockMs));
  EXPECT_TRUE(PostThreadMessageA(id, WM_APP, 0, 0));
  waiter.join();
  EXPECT_EQ(WAIT_OBJECT_0, result);
  EXPECT_EQ(0u, timed);
  CloseHandle(has_queue);
}

TEST_F(ThreadMessagesTest, MsgWaitForAnObjectTakesItsSignalAndAnObjectWinsOverAMessage) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::thread setter([event] { SetEvent(event); });
  EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(1, &event, FALSE, kDeadlockMs, QS_ALLINPUT));
  setter.join();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0)) << "the auto-reset signal was taken";

  ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_APP, 0, 0));
  SetEvent(event);
  EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_ALLINPUT));
  EXPECT_EQ(WAIT_OBJECT_0 + 1, MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_ALLINPUT));
  Drain();

  // A thread's handle is signalled when it ends.
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(
      nullptr, 0, [](LPVOID go) -> DWORD { return WaitForSingleObject(go, INFINITE); }, go, 0,
      nullptr);
  EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(1, &thread, FALSE, 0, QS_ALLINPUT));
  SetEvent(go);
  EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(1, &thread, FALSE, kDeadlockMs, QS_ALLINPUT));

  CloseHandle(go);
  EXPECT_EQ(WAIT_FAILED, MsgWaitForMultipleObjects(1, &go, FALSE, 0, QS_ALLINPUT));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(WAIT_FAILED, MsgWaitForMultipleObjects(1, &thread, TRUE, 0, QS_ALLINPUT));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), GetLastError());
  CloseHandle(thread);
  CloseHandle(event);
}

// A worker that looks at its queue now and then: MsgWait that times out.
DWORD WINAPI PollQueue(LPVOID stop) {
  while (MsgWaitForMultipleObjects(1, static_cast<HANDLE*>(stop), FALSE, 1, QS_ALLINPUT) ==
         WAIT_TIMEOUT) {
  }
  return 0;
}

TEST_F(ThreadMessagesTest, AWorkerWaitingForMessagesWakesOnItsOwnAndIsCountedTillItEnds) {
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, &PollQueue, &stop, 0, nullptr);
  EXPECT_EQ(1u, sim_live_threads());
  sim_mark_thread_wakes();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlockMs);
  while (!sim_threads_woke_on_their_own() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(1, sim_threads_woke_on_their_own());
  SetEvent(stop);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kDeadlockMs));
  EXPECT_EQ(0u, sim_live_threads());
  CloseHandle(thread);
  CloseHandle(stop);
}

}  // namespace
