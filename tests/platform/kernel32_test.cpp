// kernel32 over the standard library: what the ports' workers and queues use.
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "simctl.h"
#include <gtest/gtest.h>

namespace {

constexpr DWORD kDeadlockMs = 10000;  // only a guard against a hang

class Kernel32Test : public ::testing::Test {
 protected:
  void SetUp() override { sim_reset(); }
  void TearDown() override { sim_reset(); }
};

TEST_F(Kernel32Test, AutoResetEventReleasesOneWaitPerSignal) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, event);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  ASSERT_TRUE(SetEvent(event));
  ASSERT_TRUE(SetEvent(event));  // signals don't add up
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 1));
  SetEvent(event);
  ResetEvent(event);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(Kernel32Test, ManualResetEventStaysSignalledUntilReset) {
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, "ignored name");
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, INFINITE));
  ResetEvent(event);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  CloseHandle(event);
}

TEST_F(Kernel32Test, SignalFromAnotherThreadEndsAnEndlessWait) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::thread setter([event] { SetEvent(event); });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, INFINITE));
  setter.join();
  CloseHandle(event);
}

TEST_F(Kernel32Test, ClosedOrUnknownHandlesFail) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  CloseHandle(event);
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(event, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_FALSE(SetEvent(event));
  EXPECT_FALSE(CloseHandle(event));
}

DWORD WINAPI ReturnSeven(LPVOID) { return 7; }

TEST_F(Kernel32Test, ThreadHandleStaysWaitableAfterTheThreadEnded) {
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, &ReturnSeven, nullptr, 0, &id);
  ASSERT_NE(nullptr, thread);
  EXPECT_NE(0u, id);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kDeadlockMs));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0)) << "still signalled";
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(7u, code);
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(thread, 0));
}

struct Gate {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD id_seen = 0;
  ~Gate() {
    CloseHandle(go);
    CloseHandle(done);
  }
};

DWORD WINAPI WaitForGate(LPVOID param) {
  auto* gate = static_cast<Gate*>(param);
  gate->id_seen = GetCurrentThreadId();
  WaitForSingleObject(gate->go, INFINITE);
  SetEvent(gate->done);
  return 0;
}

TEST_F(Kernel32Test, ClosingTheHandleOfARunningThreadLetsItRunOn) {
  Gate gate;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, &WaitForGate, &gate, 0, &id);
  ASSERT_TRUE(CloseHandle(thread));
  SetEvent(gate.go);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(gate.done, kDeadlockMs));
  EXPECT_EQ(id, gate.id_seen);
  EXPECT_NE(GetCurrentThreadId(), id);
}

TEST_F(Kernel32Test, SuspendedThreadStartsOnResume) {
  Gate gate;
  SetEvent(gate.go);
  HANDLE thread = CreateThread(nullptr, 0, &WaitForGate, &gate, CREATE_SUSPENDED, nullptr);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(gate.done, 0));
  EXPECT_EQ(1u, ResumeThread(thread));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kDeadlockMs));
  CloseHandle(thread);
}

TEST_F(Kernel32Test, AThreadIsWatchedFromItsCreationNotFromItsFirstRun) {
  // A thread the scheduler has not got to yet has not woken on its own; and
  // what the system keeps for it is made by its creator, so that no count of
  // the process's memory depends on when the new thread first runs.
  Gate gate;
  SetEvent(gate.go);
  sim_mark_thread_wakes();
  HANDLE thread = CreateThread(nullptr, 0, &WaitForGate, &gate, CREATE_SUSPENDED, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(sim_threads_woke_on_their_own(), 0) << "a thread that never ran counted as awake";
  ResumeThread(thread);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kDeadlockMs));
  CloseHandle(thread);
  EXPECT_EQ(sim_threads_woke_on_their_own(), 1) << "an ended thread is still watched";
}

TEST_F(Kernel32Test, InjectedFaultsMakeHandleFunctionsReturnNullWithTheError) {
  sim_fail("CreateEventA", ERROR_NOT_ENOUGH_MEMORY, 1, 1);
  HANDLE first = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_NE(nullptr, first);
  SetLastError(0);
  EXPECT_EQ(nullptr, CreateEventA(nullptr, FALSE, FALSE, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  HANDLE third = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_NE(nullptr, third);
  EXPECT_EQ(3u, sim_call_count("CreateEventA"));

  sim_fail("CreateThread", ERROR_ACCESS_DENIED, 0, 0);
  EXPECT_EQ(nullptr, CreateThread(nullptr, 0, &ReturnSeven, nullptr, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  sim_fail("WaitForSingleObject", WAIT_FAILED, 0, 1);
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(first, 0));
  sim_fail("SetEvent", ERROR_INVALID_HANDLE, 0, 1);
  EXPECT_FALSE(SetEvent(first));
  EXPECT_TRUE(SetEvent(first));
  CloseHandle(first);
  CloseHandle(third);
}

TEST_F(Kernel32Test, LastErrorAndThreadIdBelongToEachThread) {
  SetLastError(5);
  // Taken before another thread asks for its id: ids are handed out in
  // turn, so one given again on each call would differ after that.
  const DWORD mine = GetCurrentThreadId();
  DWORD other_error = 1;
  DWORD other_id = 0;
  DWORD other_again = 0;
  std::thread([&] {
    other_error = GetLastError();
    other_id = GetCurrentThreadId();
    SetLastError(9);
    other_again = GetCurrentThreadId();
  }).join();
  EXPECT_EQ(0u, other_error);
  EXPECT_EQ(5u, GetLastError());
  EXPECT_NE(0u, mine);
  EXPECT_NE(0u, other_id);
  EXPECT_EQ(0u, mine % 4);  // nonzero multiples of four, as the system's
  EXPECT_EQ(0u, other_id % 4);
  EXPECT_NE(other_id, mine);
  EXPECT_EQ(other_id, other_again);
  EXPECT_EQ(mine, GetCurrentThreadId());
}

TEST_F(Kernel32Test, CriticalSectionIsRecursiveAndExcludesOtherThreads) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  auto other_can_enter = [&] {
    BOOL entered = FALSE;
    std::thread([&] {
      entered = TryEnterCriticalSection(&section);
      if (entered) LeaveCriticalSection(&section);
    }).join();
    return entered != FALSE;
  };
  EXPECT_FALSE(other_can_enter());
  LeaveCriticalSection(&section);
  EXPECT_FALSE(other_can_enter()) << "entered twice, left once";
  LeaveCriticalSection(&section);
  EXPECT_TRUE(other_can_enter());
  DeleteCriticalSection(&section);
  EXPECT_EQ(2u, sim_call_count("EnterCriticalSection"));
}

TEST_F(Kernel32Test, DebuggerKeepsEachCallAsOneLine) {
  OutputDebugStringA("Couldn't find Quillmote Midi port\n");
  OutputDebugStringA("second");
  ASSERT_EQ(2u, sim_debug_count());
  char line[64];
  EXPECT_EQ(34u, sim_debug_line(0, line, sizeof line));
  EXPECT_STREQ("Couldn't find Quillmote Midi port\n", line);
  char cut[4];
  EXPECT_EQ(6u, sim_debug_line(1, cut, sizeof cut));
  EXPECT_STREQ("sec", cut);
  EXPECT_EQ(0u, sim_debug_line(2, line, sizeof line));
  sim_debug_clear();
  EXPECT_EQ(0u, sim_debug_count());
}

}  // namespace
