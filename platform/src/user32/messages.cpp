// user32's thread messages: a queue for each thread that asked for one,
// PostThreadMessageA into it, PeekMessageA and GetMessageA out of it, and
// MsgWaitForMultipleObjects for a message or a kernel object at once.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "kernel32/kernel32_parts.h"
#include "native.h"
#include "sim_state.h"
#include "simctl.h"

namespace {

using qmsim::Guarded;
using qmsim::kernel32::Fail;

// The system's limit on posted messages in one queue.
constexpr std::size_t kDefaultQueueLimit = 10000;

class Queue final : public qmsim::native::Waker {
 public:
  // An object waited for beside the queue changed.
  void Wake() override {
    std::lock_guard<std::mutex> lock(mutex);
    woken = true;
    changed.notify_all();
  }

  // A posted message and its place in the order of posting.
  struct Entry {
    MSG msg;
    std::uint64_t sequence;
  };

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Entry> messages;
  std::uint64_t posted = 0;
  // The last message taken, and the last taken before the thread came back
  // to its queue: by then it had done whatever it did with it.
  std::uint64_t taken = 0;
  std::uint64_t handled = 0;
  // A message was posted since the thread last looked at its queue: what
  // wakes MsgWaitForMultipleObjects.
  bool fresh = false;
  bool woken = false;
  bool dropped = false;  // the thread ended
};

struct Queues {
  std::mutex mutex;
  std::map<DWORD, std::shared_ptr<Queue>> by_thread;
  std::size_t limit = kDefaultQueueLimit;
};

// Never destroyed: threads may still post while the process exits.
Queues& TheQueues() {
  static Queues* queues = new Queues;
  return *queues;
}

// A thread that CreateThread did not start drops its queue when it ends;
// CreateThread's own threads drop it before they are signalled.
struct QueueOwner {
  DWORD id = 0;
  ~QueueOwner() {
    if (id != 0) Guarded([this] { qmsim::native::DropMessageQueue(id); });
  }
};

thread_local QueueOwner t_owner;

// The calling thread's queue, made on its first call.
std::shared_ptr<Queue> OwnQueue() {
  const DWORD id = qmsim::native::CurrentThreadId();
  Queues& queues = TheQueues();
  std::lock_guard<std::mutex> lock(queues.mutex);
  std::shared_ptr<Queue>& queue = queues.by_thread[id];
  if (!queue) {
    queue = std::make_shared<Queue>();
    t_owner.id = id;
  }
  return queue;
}

// ERROR_SUCCESS, or why the post was refused.
DWORD Post(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam) {
  std::shared_ptr<Queue> queue;
  std::size_t limit = 0;
  {
    Queues& queues = TheQueues();
    std::lock_guard<std::mutex> lock(queues.mutex);
    auto it = queues.by_thread.find(thread_id);
    if (it == queues.by_thread.end()) return ERROR_INVALID_THREAD_ID;
    queue = it->second;
    limit = queues.limit;
  }
  MSG msg{};
  msg.message = message;
  msg.wParam = wparam;
  msg.lParam = lparam;
  msg.time = qmsim::native::TickCount();
  std::lock_guard<std::mutex> lock(queue->mutex);
  if (queue->dropped) return ERROR_INVALID_THREAD_ID;
  if (queue->messages.size() >= limit) return ERROR_NOT_ENOUGH_QUOTA;
  queue->messages.push_back(Queue::Entry{msg, ++queue->posted});
  queue->fresh = true;
  queue->changed.notify_all();
  return ERROR_SUCCESS;
}

bool Matches(const MSG& msg, UINT first, UINT last) {
  if (msg.message == WM_QUIT || (first == 0 && last == 0)) return true;
  return msg.message >= first && msg.message <= last;
}

// Under the queue's lock: the first message the filter takes, or end().
std::deque<Queue::Entry>::iterator FindMessage(Queue& queue, UINT first, UINT last) {
  auto it = queue.messages.begin();
  while (it != queue.messages.end() && !Matches(it->msg, first, last)) ++it;
  return it;
}

// Under the queue's lock: the thread looks at its queue again.
void LooksAgain(Queue& queue) {
  if (queue.handled == queue.taken) return;
  queue.handled = queue.taken;
  queue.changed.notify_all();
}

// Under the queue's lock: the entry leaves the queue.
MSG Take(Queue& queue, std::deque<Queue::Entry>::iterator it) {
  const MSG msg = it->msg;
  if (it->sequence > queue.taken) queue.taken = it->sequence;
  queue.messages.erase(it);
  return msg;
}

// Only thread messages exist: a window has none, and naming one is an error.
bool ThreadMessagesOnly(HWND hwnd) {
  return hwnd == nullptr || hwnd == reinterpret_cast<HWND>(static_cast<INT_PTR>(-1));
}

bool WakesForPosts(DWORD mask) { return (mask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) != 0; }

}  // namespace

void qmsim::native::DropMessageQueue(DWORD thread_id) {
  std::shared_ptr<Queue> queue;
  {
    Queues& queues = TheQueues();
    std::lock_guard<std::mutex> lock(queues.mutex);
    auto it = queues.by_thread.find(thread_id);
    if (it == queues.by_thread.end()) return;
    queue = std::move(it->second);
    queues.by_thread.erase(it);
  }
  std::lock_guard<std::mutex> lock(queue->mutex);
  queue->dropped = true;
  queue->messages.clear();
}

std::uint32_t qmsim::CallingThreadId() { return qmsim::native::CurrentThreadId(); }

bool qmsim::WaitThreadNoticesHandled(std::uint32_t thread_id, unsigned bound) {
  std::shared_ptr<Queue> queue;
  {
    Queues& queues = TheQueues();
    std::lock_guard<std::mutex> lock(queues.mutex);
    auto it = queues.by_thread.find(thread_id);
    if (it == queues.by_thread.end()) return true;
    queue = it->second;
  }
  std::unique_lock<std::mutex> lock(queue->mutex);
  const std::uint64_t last = queue->posted;
  return queue->changed.wait_for(lock, std::chrono::milliseconds(bound),
                                 [&] { return queue->dropped || queue->handled >= last; });
}

bool qmsim::PostThreadNotice(std::uint32_t thread_id, unsigned message, std::uintptr_t wparam,
                             std::intptr_t lparam) {
  return Post(thread_id, message, wparam, lparam) == ERROR_SUCCESS;
}

void qmsim::ResetPlatformSettings() {
  Queues& queues = TheQueues();
  std::lock_guard<std::mutex> lock(queues.mutex);
  queues.limit = kDefaultQueueLimit;
}

extern "C" {

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  return Guarded<BOOL>(FALSE, [&] {
    if (auto fault = qmsim::EnterCall("PostThreadMessageA")) return Fail(*fault);
    const DWORD error = Post(idThread, Msg, wParam, lParam);
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
  });
}

BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg) {
  return Guarded<BOOL>(FALSE, [&] {
    if (auto fault = qmsim::EnterCall("PeekMessageA")) return Fail(*fault);
    if (lpMsg == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (!ThreadMessagesOnly(hWnd)) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    std::shared_ptr<Queue> queue = OwnQueue();
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->fresh = false;
    LooksAgain(*queue);
    auto it = FindMessage(*queue, wMsgFilterMin, wMsgFilterMax);
    if (it == queue->messages.end()) return FALSE;
    *lpMsg = (wRemoveMsg & PM_REMOVE) != 0 ? Take(*queue, it) : it->msg;
    return TRUE;
  });
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  return Guarded<BOOL>(-1, [&]() -> BOOL {
    if (auto fault = qmsim::EnterCall("GetMessageA")) {
      Fail(*fault);
      return -1;
    }
    if (lpMsg == nullptr) {
      Fail(ERROR_INVALID_PARAMETER);
      return -1;
    }
    if (!ThreadMessagesOnly(hWnd)) {
      Fail(ERROR_INVALID_WINDOW_HANDLE);
      return -1;
    }
    std::shared_ptr<Queue> queue = OwnQueue();
    qmsim::native::WaitBegins(INFINITE);
    {
      std::unique_lock<std::mutex> lock(queue->mutex);
      LooksAgain(*queue);
      std::deque<Queue::Entry>::iterator it;
      queue->changed.wait(lock, [&] {
        it = FindMessage(*queue, wMsgFilterMin, wMsgFilterMax);
        return it != queue->messages.end();
      });
      *lpMsg = Take(*queue, it);
      queue->fresh = false;
    }
    qmsim::native::WaitEnded(WAIT_OBJECT_0, INFINITE);
    return lpMsg->message == WM_QUIT ? 0 : 1;
  });
}

LRESULT WINAPI DispatchMessageA(const MSG*) {
  Guarded([] { qmsim::EnterCall("DispatchMessageA"); });
  return 0;
}

BOOL WINAPI TranslateMessage(const MSG*) {
  Guarded([] { qmsim::EnterCall("TranslateMessage"); });
  return FALSE;
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                       DWORD dwMilliseconds, DWORD dwWakeMask) {
  return Guarded<DWORD>(WAIT_FAILED, [&]() -> DWORD {
    if (auto fault = qmsim::EnterCall("MsgWaitForMultipleObjects")) return *fault;
    if (nCount >= MAXIMUM_WAIT_OBJECTS || (nCount != 0 && pHandles == nullptr)) {
      Fail(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
    if (fWaitAll && nCount != 0) {
      Fail(ERROR_NOT_SUPPORTED);
      return WAIT_FAILED;
    }
    std::shared_ptr<Queue> queue = OwnQueue();
    qmsim::native::ObjectWait objects(*queue, nCount, pHandles);
    if (!objects.valid()) {
      Fail(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    const bool posts = WakesForPosts(dwWakeMask);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
    qmsim::native::WaitBegins(dwMilliseconds);
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(queue->mutex);
        queue->woken = false;
        LooksAgain(*queue);
      }
      // An object's change after this look wakes the queue again.
      const int index = objects.TryAcquire();
      if (index >= 0) {
        result = WAIT_OBJECT_0 + static_cast<DWORD>(index);
        break;
      }
      std::unique_lock<std::mutex> lock(queue->mutex);
      auto ready = [&] { return queue->woken || (posts && queue->fresh); };
      if (dwMilliseconds == INFINITE) {
        queue->changed.wait(lock, ready);
      } else if (!queue->changed.wait_until(lock, deadline, ready)) {
        break;
      }
      if (posts && queue->fresh) {
        result = WAIT_OBJECT_0 + nCount;
        break;
      }
    }
    qmsim::native::WaitEnded(result, dwMilliseconds);
    return result;
  });
}

void sim_set_thread_queue_limit(unsigned limit) {
  Guarded([&] {
    Queues& queues = TheQueues();
    std::lock_guard<std::mutex> lock(queues.mutex);
    queues.limit = limit;
  });
}

}  // extern "C"
