// The inside of the simulated MIDI system, shared by its three parts: the
// machine and its ports' system threads (machine.cpp), the set-up and the
// surface's side that simctl.h reaches (surface.cpp), and the winmm functions
// (devices.cpp). Every structure here is guarded by the machine's mutex.
#ifndef QUILLMOTE_PLATFORM_WINMM_MACHINE_H
#define QUILLMOTE_PLATFORM_WINMM_MACHINE_H

#include <windows.h>

#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "midi_system.h"
#include "simctl.h"

namespace qmsim::midi {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;
// A time on the system's clock, in microseconds: the real clock since the
// machine began, or the manual clock (sim_set_manual_clock).
using Micros = uint64_t;

// The fields before dwOffset: the header of older Windows versions, which
// the system still accepts.
constexpr UINT kMinHeaderSize = offsetof(MIDIHDR, dwOffset);
// No maker or product is claimed for the simulated devices.
constexpr WORD kUnmappedId = 0xFFFF;

using OutCallback = void(CALLBACK*)(HMIDIOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
using InCallback = void(CALLBACK*)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

// dwFlags lives in the caller's header, and the caller's threads read it
// while the system writes it on its own thread: every access here is atomic.
inline DWORD LoadFlags(MIDIHDR* header) {
  return std::atomic_ref<DWORD>(header->dwFlags).load(std::memory_order_acquire);
}

inline void StoreFlags(MIDIHDR* header, DWORD flags) {
  std::atomic_ref<DWORD>(header->dwFlags).store(flags, std::memory_order_release);
}

inline void MarkDone(MIDIHDR* header) {
  StoreFlags(header, (LoadFlags(header) & ~static_cast<DWORD>(MHDR_INQUEUE)) | MHDR_DONE);
}

// One long message handed to an output device, until its MOM_DONE returned.
struct LongMessage {
  enum State {
    kQueued,  // waiting for its completion time on the system thread
    kHeld,    // waiting for sim_release_completions
    kDone,    // bytes read and done flag set; MOM_DONE not yet delivered
    kReset,   // marked done by midiOutReset without sending; MOM_DONE pending
  };
  MIDIHDR* header = nullptr;
  uint64_t sequence = 0;  // its place in the device's order of reception
  State state = kQueued;
  Micros due = 0;         // when its completion is due
  bool finished = false;  // MOM_DONE returned, or the machine was reset

  bool Pending() const { return state == kQueued || state == kHeld; }
};

// Lets a caller wait until its task has been carried out.
struct Waiter {
  bool finished = false;
  bool delivered = false;  // the callback ran (input data may be dropped)
  DWORD thread = 0;        // the caller's
};

struct Task {
  enum Kind {
    kNotify,     // the callback with message, param1, param2
    kComplete,   // a long message's completion, then MOM_DONE
    kListen,     // the output listener with bytes
    kInputData,  // MIM_DATA, only while the input is started
  };
  Kind kind = kNotify;
  UINT message = 0;
  DWORD_PTR param1 = 0;
  DWORD_PTR param2 = 0;
  std::shared_ptr<LongMessage> long_message;
  Micros due = 0;
  Bytes bytes;
  std::shared_ptr<Waiter> waiter;
  // Input the driver had already received when the handle was closed: it
  // still reaches the application though input has stopped
  // (SIM_LATE_DRAIN_AFTER_CLOSE).
  bool drained = false;
};

// How an open handle tells the application.
enum class Notify {
  kNone,      // CALLBACK_NULL
  kFunction,  // CALLBACK_FUNCTION: `callback` is the function
  kThread,    // CALLBACK_THREAD: `callback` is the thread id to post to
};

// An open handle and its system thread.
struct Port {
  Direction direction = Direction::kOutput;
  unsigned device = 0;
  uintptr_t handle = 0;
  Notify notify = Notify::kNone;
  DWORD_PTR callback = 0;
  DWORD_PTR instance = 0;
  std::thread thread;
  std::thread::id thread_id;

  // Everything below is guarded by the machine's mutex.
  std::condition_variable wake;
  std::deque<Task> tasks;
  bool closing = false;  // the thread ends once its tasks are done
  // The close call has given its notification (or returned) without
  // waiting for this thread: what the thread still delivers comes after.
  bool closed_early = false;
  bool discarded = false;  // removed by a machine reset: the device is gone
  bool busy = false;       // the thread is running a task outside the lock
  // ... and is inside the application's callback (or posting its message),
  // the how-manieth since the port opened.
  bool in_callback = false;
  uint64_t callbacks_begun = 0;

  // Output: long messages whose MOM_DONE has not returned yet, and those
  // among them that are held.
  std::vector<std::shared_ptr<LongMessage>> in_flight;
  std::deque<std::shared_ptr<LongMessage>> held;
  BYTE running_status = 0;

  // Input.
  bool started = false;
  std::deque<MIDIHDR*> buffers;
};

// A message in the output device's order of reception; a long message keeps
// its place from midiOutLongMsg until the system has read its bytes.
struct Slot {
  enum State { kPending, kReady, kDropped };
  uint64_t sequence = 0;
  State state = kPending;
  Bytes bytes;
  Micros wire_end = 0;  // its last byte is through the wire
};

// The surface's display as the display writes that left the wire made it.
struct Display {
  static constexpr std::size_t kCells = 40;
  // More changes than a long test run makes; later ones are not recorded.
  static constexpr std::size_t kMaxChanges = 1 << 18;
  struct Change {
    Micros time = 0;
    char cells[kCells];
  };
  char cells[kCells];
  std::size_t writes = 0;
  std::vector<Change> changes;
  Display() { std::memset(cells, ' ', sizeof cells); }
};

struct Device {
  std::string name;
  std::shared_ptr<Port> port;  // while open
  // Held by another program: every open is refused as allocated.
  bool taken = false;
  // Output only.
  std::vector<Bytes> received;
  std::deque<Slot> order;  // not yet received, oldest first
  uint64_t next_sequence = 0;
  Micros wire_free = 0;  // the wire carries what was handed over until then
  Display display;
};

struct Machine {
  std::mutex mutex;
  // Signalled whenever a task has been carried out or ports went away.
  std::condition_variable changed;
  std::deque<Device> devices[2];  // by Direction; a deque keeps references valid
  std::map<uintptr_t, std::shared_ptr<Port>> handles;
  // Closed handles whose threads still deliver (late mode): a move of the
  // clock must reach them too. Each thread takes its port out as it ends.
  std::vector<Port*> closed_early;
  // Handle values are never reused, so a stale handle can't hit a new port.
  uintptr_t next_handle = 0x1000;
  unsigned delay_ms = 0;
  // How long a surface message waits in the driver's ring before its
  // thread takes it (sim_set_input_delay).
  unsigned input_delay_ms = 0;
  bool hold = false;
  // The wire's bytes a second (0: no wire model), the kind of driver, and
  // the manual clock.
  unsigned wire_rate = 0;
  int driver = SIM_DRIVER_QUEUED;
  bool manual_clock = false;
  Micros manual_now = 0;
  Clock::time_point epoch = Clock::now();
  // Notifications posted to threads so far: lets a wait for idle see that
  // a receiving thread's handling sent nothing new.
  uint64_t thread_posts = 0;
  sim_output_listener listener = nullptr;
  void* listener_context = nullptr;
  std::map<const MIDIHDR*, unsigned> prepared[2];  // by Direction
  // Real-driver timing (sim_set_late_callbacks).
  bool late = false;
  unsigned lateness_ms = 0;
  int late_flags = 0;
  // Stop, reset and close wait for a callback in progress
  // (sim_set_close_waits_for_callbacks), and the calls now waiting so.
  bool close_waits = false;
  unsigned waiting_for_callbacks = 0;
  // System threads still running, the detached ones of closed handles among
  // them, and callbacks dropped because their code was gone.
  unsigned live_threads = 0;
  unsigned stray_callbacks = 0;
  // Notifications a handle's thread gave after the close had returned.
  unsigned callbacks_after_close = 0;
  // Thread messages the system refused to queue. Atomic: counted where the
  // post is made, outside the lock.
  std::atomic<unsigned> lost_thread_messages{0};
};

// Wakes every open handle's thread and those of closed handles still
// delivering, so that they look at the clock again. Under the lock.
void WakeAllPorts(Machine& m);

// What a task calls once the machine's lock is released.
struct Call {
  enum Kind { kNone, kCallback, kListener } kind = kNone;
  UINT message = 0;
  DWORD_PTR param1 = 0;
  DWORD_PTR param2 = 0;
  sim_output_listener listener = nullptr;
  void* context = nullptr;
  Bytes bytes;

  static Call Callback(UINT message, DWORD_PTR param1, DWORD_PTR param2) {
    Call call;
    call.kind = kCallback;
    call.message = message;
    call.param1 = param1;
    call.param2 = param2;
    return call;
  }
};

// Never destroyed: system threads of handles left open may outlive main.
Machine& TheMachine();
inline int Index(Direction direction) { return static_cast<int>(direction); }
std::shared_ptr<Port> FindPort(Machine& m, uintptr_t handle, Direction direction);
Device& DeviceOf(Machine& m, const Port& port);
bool OnThreadOf(const Port& port);
void Post(Port& port, Task task);
Task Notification(UINT message, DWORD_PTR param1 = 0, DWORD_PTR param2 = 0);
Task Completion(std::shared_ptr<LongMessage> message, Micros due);
Micros Now(const Machine& m);
// Puts `length` bytes handed over now on the device's wire, behind what it
// still carries; returns when their last byte is through (now without a
// wire model).
Micros Occupy(Machine& m, Device& device, std::size_t length);
// Waits, as Now() counts, until `time`: the real clock, or the manual one
// moved on to it.
void WaitForTime(Machine& m, std::unique_lock<std::mutex>& lock, Micros time);
// Moves every message at the head of the order whose bytes are known into
// the received list.
void Publish(Machine& m, Device& device, Port& port);
void Receive(Machine& m, Device& device, Port& port, Bytes bytes, Micros wire_end);
// Completes a long message at once: its bytes read, its done flag set, and
// its MOM_DONE delivered before the caller returns (posted from the calling
// thread to a CALLBACK_THREAD thread; a callback function gets it on the
// system thread).
void CompleteInline(Machine& m, Port& port, std::shared_ptr<LongMessage> message);
// Reads a long message's bytes into its place in the order and sets its
// done flag (its MOM_DONE is the caller's business).
void CompleteLongMessage(Machine& m, Port& port, LongMessage& message);
Slot* FindSlot(Device& device, uint64_t sequence);
// The wire bytes of a packed short message, as a driver would send them.
Bytes ShortBytes(Port& port, DWORD message);
// Calls the application's callback, posts its thread message, or calls the
// output listener, as `call` says.
void Invoke(Machine& m, const Port& port, const Call& call);
// With close_waits on, waits while the port's thread is inside a callback,
// unless called from that thread (which would wait for itself).
void WaitOutCallback(Machine& m, std::unique_lock<std::mutex>& lock, const Port& port);
// The system thread of one open handle.
void RunPort(std::shared_ptr<Port> port);
// A callback that closes its own handle cannot wait for its own thread.
void JoinOrDetach(Port& port);
// Drops everything a port still had to do; its waiters are let go.
void Discard(Port& port);
std::vector<std::shared_ptr<LongMessage>> ReleaseHeld(Port& port, std::size_t count,
                                                      bool newest_first);
// No output has a message whose completion is due (on the manual clock:
// due by now) or a callback to deliver.
bool OutputsIdle(Machine& m);
// Waits until the outputs are idle and every thread that output
// notifications were posted to has handled them, again and again until that
// handling sent nothing more; false when `timeout_ms` passed first.
bool SettleOutputs(Machine& m, std::unique_lock<std::mutex>& lock, unsigned timeout_ms);
// Waits for the task's waiter unless the caller is the port's own thread.
bool PostAndWait(Machine& m, std::unique_lock<std::mutex>& lock, Port& port, Task task, bool wait);
MMRESULT CheckHeader(const MIDIHDR* header, UINT size);
// The system's text for a result code, or null.
const char* TextOf(MMRESULT code);

}  // namespace qmsim::midi

#endif
