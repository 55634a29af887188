// What the Linux build's kernel32 and user32 share beyond the exported
// functions: the calling thread's id and time, waits that a message queue
// can end as well as a kernel object, a thread's end, and modules. None of
// these count a call: they are the system's own doings.
#ifndef QUILLMOTE_PLATFORM_NATIVE_H
#define QUILLMOTE_PLATFORM_NATIVE_H

#include <windows.h>

#include <memory>
#include <vector>

namespace qmsim::native {

// GetCurrentThreadId and GetTickCount.
DWORD CurrentThreadId();
DWORD TickCount();

// The calling thread's wait begins and ends: what sim_thread_timed_waits
// and sim_threads_woke_on_their_own see of it.
void WaitBegins(DWORD milliseconds);
void WaitEnded(DWORD result, DWORD milliseconds);

// What a wait beside a kernel object also wakes for: called, under the
// object's lock, whenever the object changes. Must not call back into the
// object.
class Waker {
 public:
  virtual void Wake() = 0;

 protected:
  ~Waker() = default;
};

class Waitable;

// Kernel objects (events, threads) waited for by a thread that waits for
// something else too: each wakes `waker` while this lives.
class ObjectWait {
 public:
  ObjectWait(Waker& waker, DWORD count, const HANDLE* handles);
  ~ObjectWait();
  ObjectWait(const ObjectWait&) = delete;
  ObjectWait& operator=(const ObjectWait&) = delete;

  // False when a handle is not an object that can be waited for.
  bool valid() const { return valid_; }
  // The index of the first object signalled, with what a wait on it takes
  // (an auto-reset event's signal) taken; -1 when none is.
  int TryAcquire();

 private:
  Waker& waker_;
  std::vector<std::shared_ptr<Waitable>> objects_;
  bool valid_ = true;
};

// user32's part of a thread's end: its message queue goes away, and posts
// to it fail from now on. Called before the thread's object is signalled.
void DropMessageQueue(DWORD thread_id);

// Modules: the executable or a loaded library, named by its load address.
HMODULE ModuleOf(const void* address);
HMODULE Executable();
// Gives back one reference on a library (nothing for the executable).
BOOL FreeModule(HMODULE module);

}  // namespace qmsim::native

#endif
