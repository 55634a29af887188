// The framework's thread start, which the ports' own threads run on.
#include <atomic>

#include "framework/thread.h"
#include "sim_surface.h"
#include <gtest/gtest.h>

namespace {

constexpr unsigned kWaitFailed = 0xFFFFFFFF;

TEST(WorkerThread, JoinWaitsForTheRoutineWhenTheSystemCantWait) {
  // The routine ends only once Join's wait for it has failed, so Join has
  // to find out by other means that it ended.
  static std::atomic<unsigned> waitsBefore{0};
  static std::atomic<bool> joinWaited{false};
  static std::atomic<bool> finished{false};
  joinWaited = false;
  finished = false;
  waitsBefore = sim_call_count("WaitForSingleObject");
  sim_fail("WaitForSingleObject", kWaitFailed, 0, 0);
  auto thread = AfxBeginThread(
      [](LPVOID) -> UINT {
        joinWaited =
            test::WaitUntil([] { return sim_call_count("WaitForSingleObject") > waitsBefore; });
        finished = true;
        return 0;
      },
      nullptr);
  ASSERT_TRUE(thread);
  EXPECT_TRUE(thread->Join(10000));
  sim_clear_faults();
  EXPECT_TRUE(joinWaited.load()) << "Join never asked the system to wait";
  EXPECT_TRUE(finished.load());
}

TEST(WorkerThread, TheOwnerMayLetARunningThreadGoAndJoinIsBounded) {
  // A thread that ends in its own time (the ports' threads leave the module
  // through FreeLibraryAndExitThread) never touches the object its owner
  // holds: the owner may wait a bounded time, or drop it, while it runs.
  static std::atomic<bool> release{false};
  static std::atomic<bool> ended{false};
  release = false;
  ended = false;
  auto thread = AfxBeginThread(
      [](LPVOID) -> UINT {
        test::WaitUntil([] { return release.load(); });
        ended = true;
        return 7;
      },
      nullptr);
  ASSERT_TRUE(thread);
  const unsigned before = sim_thread_timed_waits();
  EXPECT_FALSE(thread->Join(20));
  EXPECT_EQ(sim_thread_timed_waits() - before, 20u);
  thread.reset();
  release = true;
  EXPECT_TRUE(test::WaitUntil([] { return ended.load(); }));
  EXPECT_TRUE(test::WaitUntil([] { return sim_live_threads() == 0; }));
}

}  // namespace
