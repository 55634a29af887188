// A port's own thread before its handle is open: an open the system refuses
// lets the thread go at once, and the port that started it may be destroyed
// straight away, so the thread must not have been handing it anything.
#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <thread>

#include "midi/port_thread.h"
#include "sim_surface.h"
#include <gtest/gtest.h>

namespace {

using midi::CPortThread;

class CountingSink : public midi::CPortMessageSink {
 public:
  void OnPortMessage(UINT, LPARAM param, DWORD) override {
    if (!handleSet.load()) callsBeforeHandle.fetch_add(1);
    lastParam.store(param);
  }
  void OnPortWake() override {
    if (!handleSet.load()) callsBeforeHandle.fetch_add(1);
    wakes.fetch_add(1);
  }

  std::atomic<bool> handleSet{false};
  std::atomic<int> callsBeforeHandle{0};
  std::atomic<int> wakes{0};
  std::atomic<LPARAM> lastParam{0};
};

constexpr UINT_PTR kHandle = 0x5150;

TEST(PortThread, HandsThePortNothingUntilItsHandleIsSet) {
  // The system's own callbacks go nowhere here; only the thread is tested.
  test::SimSurface surface;
  CountingSink sink;
  CPortThread::StartFailure failure;
  CPortThread* thread = CPortThread::Start(&sink, MM_MOM_CLOSE, failure);
  ASSERT_NE(thread, nullptr);
  // A message for no handle yet, and two of the thread's own wakes.
  ASSERT_TRUE(PostThreadMessageA(thread->ThreadId(), MM_MOM_DONE, 0, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * midi::kWorkerWakeMilliseconds));
  sink.handleSet = true;
  thread->SetHandle(kHandle);
  ASSERT_TRUE(PostThreadMessageA(thread->ThreadId(), MM_MOM_DONE, kHandle, 2));
  EXPECT_TRUE(test::WaitUntil([&] { return sink.lastParam.load() == 2 && sink.wakes.load() > 0; }))
      << "the thread never handed the port its message";
  // Its close message lets the thread end soon after the port lets go.
  ASSERT_TRUE(PostThreadMessageA(thread->ThreadId(), MM_MOM_CLOSE, kHandle, 0));
  EXPECT_TRUE(test::WaitUntil([&] { return thread->CloseSeen(); }));
  EXPECT_TRUE(thread->Detach(1000));
  thread->Release();
  EXPECT_EQ(sink.callsBeforeHandle.load(), 0) << "the port was called before its handle was open";
}

}  // namespace
