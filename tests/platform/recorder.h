// Records what the simulated MIDI system calls back, and on which thread.
#ifndef QUILLMOTE_TESTS_PLATFORM_RECORDER_H
#define QUILLMOTE_TESTS_PLATFORM_RECORDER_H

#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "simctl.h"

namespace platform_test {

// Only a guard against a hang: no test depends on how long anything takes.
constexpr std::chrono::seconds kDeadlock{10};

struct Notice {
  UINT message;
  DWORD_PTR param1;
  DWORD_PTR param2;
  std::thread::id thread;
  bool on_system_thread;
  DWORD header_flags;  // of the header in param1, for MOM_DONE and MIM_LONGDATA
};

inline DWORD Flags(const MIDIHDR& header) {
  return std::atomic_ref<DWORD>(const_cast<DWORD&>(header.dwFlags)).load(std::memory_order_acquire);
}

// Holds a callback inside the system until the test lets it go: what the
// test does meanwhile happens while that callback is still in progress.
class Gate {
 public:
  void Open() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  // In the callback: says it has arrived, then waits (bounded) to be let go.
  void Pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, kDeadlock, [&] { return open_; });
  }
  bool WaitArrived() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kDeadlock, [&] { return arrived_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  bool arrived_ = false;
};

class Recorder {
 public:
  static void CALLBACK OutProc(HMIDIOUT, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                               DWORD_PTR param2) {
    reinterpret_cast<Recorder*>(instance)->Add(message, param1, param2);
  }
  static void CALLBACK InProc(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                              DWORD_PTR param2) {
    reinterpret_cast<Recorder*>(instance)->Add(message, param1, param2);
  }

  DWORD_PTR Instance() { return reinterpret_cast<DWORD_PTR>(this); }

  // Runs inside every callback, after the notice is recorded.
  void SetHook(std::function<void(const Notice&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
  }

  std::vector<Notice> Notices() {
    std::lock_guard<std::mutex> lock(mutex_);
    return notices_;
  }

  std::vector<UINT> Messages() {
    std::vector<UINT> messages;
    for (const Notice& notice : Notices()) messages.push_back(notice.message);
    return messages;
  }

  std::size_t Count(UINT message) {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountLocked(message);
  }

  bool WaitFor(UINT message, std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kDeadlock, [&] { return CountLocked(message) >= count; });
  }

 private:
  void Add(UINT message, DWORD_PTR param1, DWORD_PTR param2) {
    Notice notice{message, param1, param2, std::this_thread::get_id(), sim_on_system_thread() != 0,
                  0};
    if ((message == MOM_DONE || message == MIM_LONGDATA) && param1 != 0) {
      notice.header_flags = Flags(*reinterpret_cast<const MIDIHDR*>(param1));
    }
    std::function<void(const Notice&)> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      notices_.push_back(notice);
      hook = hook_;
    }
    changed_.notify_all();
    if (hook) hook(notice);
  }

  std::size_t CountLocked(UINT message) const {
    std::size_t n = 0;
    for (const Notice& notice : notices_) n += notice.message == message ? 1 : 0;
    return n;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Notice> notices_;
  std::function<void(const Notice&)> hook_;
};

}  // namespace platform_test

#endif
