// The worker threads that the ports run on.
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
  thread->Join();
  sim_clear_faults();
  EXPECT_TRUE(joinWaited.load()) << "Join never asked the system to wait";
  EXPECT_TRUE(finished.load());
}

}  // namespace
