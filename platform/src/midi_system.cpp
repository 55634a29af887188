#include "midi_system.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim_state.h"

namespace qmsim::midi {

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

// The fields before dwOffset: the header of older Windows versions, which
// the system still accepts.
constexpr UINT kMinHeaderSize = offsetof(MIDIHDR, dwOffset);
// No maker or product is claimed for the simulated devices.
constexpr WORD kUnmappedId = 0xFFFF;

using OutCallback = void(CALLBACK*)(HMIDIOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
using InCallback = void(CALLBACK*)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

// dwFlags lives in the caller's header, and the caller's threads read it
// while the system writes it on its own thread: every access here is atomic.
DWORD LoadFlags(MIDIHDR* header) {
  return std::atomic_ref<DWORD>(header->dwFlags).load(std::memory_order_acquire);
}

void StoreFlags(MIDIHDR* header, DWORD flags) {
  std::atomic_ref<DWORD>(header->dwFlags).store(flags, std::memory_order_release);
}

void MarkDone(MIDIHDR* header) {
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
  bool finished = false;  // MOM_DONE returned, or the machine was reset

  bool Pending() const { return state == kQueued || state == kHeld; }
};

// Lets a caller wait until its task has been carried out.
struct Waiter {
  bool finished = false;
  bool delivered = false;  // the callback ran (input data may be dropped)
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
  Clock::time_point due;
  Bytes bytes;
  std::shared_ptr<Waiter> waiter;
};

// An open handle and its system thread.
struct Port {
  Direction direction = Direction::kOutput;
  unsigned device = 0;
  uintptr_t handle = 0;
  DWORD_PTR callback = 0;
  DWORD_PTR instance = 0;
  std::thread thread;
  std::thread::id thread_id;

  // Everything below is guarded by the machine's mutex.
  std::condition_variable wake;
  std::deque<Task> tasks;
  bool closing = false;    // the thread ends once its tasks are done
  bool discarded = false;  // removed by a machine reset: the device is gone
  bool busy = false;       // the thread is running a task outside the lock

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
};

struct Machine {
  std::mutex mutex;
  // Signalled whenever a task has been carried out or ports went away.
  std::condition_variable changed;
  std::deque<Device> devices[2];  // by Direction; a deque keeps references valid
  std::map<uintptr_t, std::shared_ptr<Port>> handles;
  // Handle values are never reused, so a stale handle can't hit a new port.
  uintptr_t next_handle = 0x1000;
  unsigned delay_ms = 0;
  bool hold = false;
  sim_output_listener listener = nullptr;
  void* listener_context = nullptr;
  std::map<const MIDIHDR*, unsigned> prepared[2];  // by Direction
  // Real-driver timing (sim_set_late_callbacks).
  bool late = false;
  unsigned lateness_ms = 0;
  int late_flags = 0;
  // System threads still running, the detached ones of closed handles among
  // them, and callbacks dropped because their code was gone.
  unsigned live_threads = 0;
  unsigned stray_callbacks = 0;
};

// Never destroyed: system threads of handles left open may outlive main.
Machine& TheMachine() {
  static Machine* machine = new Machine;
  return *machine;
}

int Index(Direction direction) { return static_cast<int>(direction); }

std::shared_ptr<Port> FindPort(Machine& m, uintptr_t handle, Direction direction) {
  auto it = m.handles.find(handle);
  if (it == m.handles.end() || it->second->direction != direction) return nullptr;
  return it->second;
}

Device& DeviceOf(Machine& m, const Port& port) {
  return m.devices[Index(port.direction)][port.device];
}

bool OnThreadOf(const Port& port) { return std::this_thread::get_id() == port.thread_id; }

void Post(Port& port, Task task) {
  port.tasks.push_back(std::move(task));
  port.wake.notify_one();
}

Task Notification(UINT message, DWORD_PTR param1 = 0, DWORD_PTR param2 = 0) {
  Task task;
  task.kind = Task::kNotify;
  task.message = message;
  task.param1 = param1;
  task.param2 = param2;
  return task;
}

Task Completion(std::shared_ptr<LongMessage> message, Clock::time_point due) {
  Task task;
  task.kind = Task::kComplete;
  task.long_message = std::move(message);
  task.due = due;
  return task;
}

void Receive(Machine& m, Device& device, Port& port, Bytes bytes) {
  if (m.listener != nullptr) {
    Task task;
    task.kind = Task::kListen;
    task.bytes = bytes;
    Post(port, std::move(task));
  }
  device.received.push_back(std::move(bytes));
}

// Moves every message at the head of the order whose bytes are known into
// the received list: a message counts as received only once everything
// handed over before it has been.
void Publish(Machine& m, Device& device, Port& port) {
  while (!device.order.empty() && device.order.front().state != Slot::kPending) {
    Slot slot = std::move(device.order.front());
    device.order.pop_front();
    if (slot.state == Slot::kReady) Receive(m, device, port, std::move(slot.bytes));
  }
}

Slot* FindSlot(Device& device, uint64_t sequence) {
  for (Slot& slot : device.order) {
    if (slot.sequence == sequence) return &slot;
  }
  return nullptr;
}

int DataBytes(BYTE status) {
  if (status < 0xF0) return (status & 0xE0) == 0xC0 ? 1 : 2;  // program change, pressure: 1
  if (status == 0xF1 || status == 0xF3) return 1;
  if (status == 0xF2) return 2;
  return 0;
}

// The wire bytes of a packed short message, as a driver would send them.
Bytes ShortBytes(Port& port, DWORD message) {
  const BYTE status = message & 0xFF;
  Bytes bytes;
  if (status >= 0x80) {
    if (status < 0xF0) {
      port.running_status = status;
    } else if (status < 0xF8) {
      port.running_status = 0;  // system common messages cancel running status
    }
    bytes.push_back(status);
    for (int i = 1; i <= DataBytes(status); ++i) bytes.push_back((message >> (8 * i)) & 0xFF);
  } else {
    // Running status: the word holds only data bytes.
    const int count = port.running_status != 0 ? DataBytes(port.running_status) : 1;
    for (int i = 0; i < count; ++i) bytes.push_back((message >> (8 * i)) & 0xFF);
  }
  return bytes;
}

// Reads the header as hardware does, at completion time, so that a caller
// who freed the header or its bytes early is caught by the sanitizers.
void CompleteLongMessage(Machine& m, Port& port, LongMessage& message) {
  MIDIHDR* header = message.header;
  const char* data = header->lpData;
  const DWORD length = header->dwBufferLength;
  Bytes bytes(length);
  if (length != 0) std::memcpy(bytes.data(), data, length);

  Device& device = DeviceOf(m, port);
  if (Slot* slot = FindSlot(device, message.sequence)) {
    slot->bytes = std::move(bytes);
    slot->state = Slot::kReady;
    Publish(m, device, port);
  }
  message.state = LongMessage::kDone;
  MarkDone(header);
}

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

// Runs under the machine's lock: the state changes of a task.
Call Prepare(Machine& m, Port& port, Task& task) {
  switch (task.kind) {
    case Task::kNotify:
      return Call::Callback(task.message, task.param1, task.param2);
    case Task::kInputData:
      if (!port.started) return Call();
      return Call::Callback(MIM_DATA, task.param1, task.param2);
    case Task::kComplete: {
      LongMessage& message = *task.long_message;
      if (message.state == LongMessage::kQueued) CompleteLongMessage(m, port, message);
      return Call::Callback(MOM_DONE, reinterpret_cast<DWORD_PTR>(message.header), 0);
    }
    case Task::kListen: {
      Call call;
      if (m.listener == nullptr) return call;
      call.kind = Call::kListener;
      call.listener = m.listener;
      call.context = m.listener_context;
      call.bytes = std::move(task.bytes);
      return call;
    }
  }
  return Call();
}

void Invoke(const Port& port, const Call& call) {
  if (call.kind == Call::kListener) {
    call.listener(call.context, port.device, call.bytes.data(), call.bytes.size());
    return;
  }
  if (call.kind != Call::kCallback || port.callback == 0) return;
  if (port.direction == Direction::kOutput) {
    reinterpret_cast<OutCallback>(port.callback)(reinterpret_cast<HMIDIOUT>(port.handle),
                                                 call.message, port.instance, call.param1,
                                                 call.param2);
  } else {
    reinterpret_cast<InCallback>(port.callback)(reinterpret_cast<HMIDIIN>(port.handle),
                                                call.message, port.instance, call.param1,
                                                call.param2);
  }
}

// The system thread of one open handle: carries out its tasks in order and
// ends when the handle is closed and nothing is left to deliver.
void RunPort(std::shared_ptr<Port> port) {
  MarkSystemThread();
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.mutex);
  for (;;) {
    if (port->tasks.empty()) {
      if (port->closing) break;
      port->wake.wait(lock);
      continue;
    }
    const Task& next = port->tasks.front();
    if (next.kind == Task::kComplete && next.long_message->state == LongMessage::kQueued) {
      const Clock::time_point due = next.due;
      if (Clock::now() < due) {
        port->wake.wait_until(lock, due);
        continue;
      }
    }
    Task task = std::move(port->tasks.front());
    port->tasks.pop_front();
    port->busy = true;
    const Call call = Prepare(m, *port, task);
    const unsigned lateness = call.kind == Call::kCallback ? m.lateness_ms : 0;

    lock.unlock();
    // A real driver has made its changes (a header marked done) before its
    // callback reaches the application; in late mode that gap is wide.
    if (lateness != 0) std::this_thread::sleep_for(std::chrono::milliseconds(lateness));
    if (call.kind == Call::kCallback && port->callback != 0 && !CodeIsLoaded(port->callback)) {
      lock.lock();
      ++m.stray_callbacks;
      lock.unlock();
    } else {
      Invoke(*port, call);
    }
    lock.lock();

    port->busy = false;
    if (task.long_message) {
      task.long_message->finished = true;
      auto& in_flight = port->in_flight;
      in_flight.erase(std::remove(in_flight.begin(), in_flight.end(), task.long_message),
                      in_flight.end());
    }
    if (task.waiter) {
      task.waiter->finished = true;
      task.waiter->delivered = call.kind != Call::kNone;
    }
    m.changed.notify_all();
  }
  --m.live_threads;
  m.changed.notify_all();
}

// A callback that closes its own handle cannot wait for its own thread.
void JoinOrDetach(Port& port) {
  if (OnThreadOf(port)) {
    port.thread.detach();
  } else {
    port.thread.join();
  }
}

// Drops everything a port still had to do; its waiters are let go.
void Discard(Port& port) {
  for (Task& task : port.tasks) {
    if (task.waiter) task.waiter->finished = true;
  }
  port.tasks.clear();
  for (auto& message : port.in_flight) message->finished = true;
  port.in_flight.clear();
  port.held.clear();
  port.buffers.clear();
  port.started = false;
  port.discarded = true;
  port.closing = true;
  port.wake.notify_one();
}

std::vector<std::shared_ptr<LongMessage>> ReleaseHeld(Port& port, std::size_t count,
                                                      bool newest_first) {
  std::vector<std::shared_ptr<LongMessage>> released;
  const Clock::time_point now = Clock::now();
  while (released.size() < count && !port.held.empty()) {
    std::shared_ptr<LongMessage> message;
    if (newest_first) {
      message = std::move(port.held.back());
      port.held.pop_back();
    } else {
      message = std::move(port.held.front());
      port.held.pop_front();
    }
    message->state = LongMessage::kQueued;
    Post(port, Completion(message, now));
    released.push_back(std::move(message));
  }
  return released;
}

bool OutputsIdle(Machine& m) {
  for (const auto& entry : m.handles) {
    const Port& port = *entry.second;
    if (port.direction != Direction::kOutput) continue;
    if (port.busy || !port.tasks.empty()) return false;
    for (const auto& message : port.in_flight) {
      if (message->state == LongMessage::kQueued) return false;
    }
  }
  return true;
}

// Waits for the task's waiter unless the caller is the port's own thread,
// which would wait for itself.
bool PostAndWait(Machine& m, std::unique_lock<std::mutex>& lock, Port& port, Task task, bool wait) {
  std::shared_ptr<Waiter> waiter;
  if (wait && !OnThreadOf(port)) {
    waiter = std::make_shared<Waiter>();
    task.waiter = waiter;
  }
  Post(port, std::move(task));
  if (!waiter) return true;
  m.changed.wait(lock, [&] { return waiter->finished; });
  return waiter->delivered;
}

MMRESULT CheckHeader(const MIDIHDR* header, UINT size) {
  if (header == nullptr || size < kMinHeaderSize) return MMSYSERR_INVALPARAM;
  return MMSYSERR_NOERROR;
}

const char* TextOf(MMRESULT code) {
  switch (code) {
    case MMSYSERR_NOERROR:
      return "The specified command was carried out.";
    case MMSYSERR_ERROR:
      return "Undefined external error.";
    case MMSYSERR_BADDEVICEID:
      return "The specified device ID is out of range.";
    case MMSYSERR_NOTENABLED:
      return "The driver failed enable.";
    case MMSYSERR_ALLOCATED:
      return "The specified resource is already allocated.";
    case MMSYSERR_INVALHANDLE:
      return "The device handle is invalid.";
    case MMSYSERR_NODRIVER:
      return "No device driver is present.";
    case MMSYSERR_NOMEM:
      return "Memory allocation error.";
    case MMSYSERR_NOTSUPPORTED:
      return "Function isn't supported.";
    case MMSYSERR_BADERRNUM:
      return "Error value out of range.";
    case MMSYSERR_INVALFLAG:
      return "Invalid flag passed.";
    case MMSYSERR_INVALPARAM:
      return "Invalid parameter passed.";
    case MIDIERR_UNPREPARED:
      return "The MIDI header was not prepared. Use the Prepare function to prepare the header, "
             "and then try again.";
    case MIDIERR_STILLPLAYING:
      return "Cannot perform this operation while media data is still playing. Reset the "
             "device, or wait until the data is finished playing.";
    case MIDIERR_NOMAP:
      return "A MIDI map was not found. There may be a problem with the driver, or the "
             "MIDIMAP.CFG file may be corrupt or missing.";
    case MIDIERR_NOTREADY:
      return "The port is transmitting data to the device. Wait until the data has been "
             "transmitted, and then try again.";
    case MIDIERR_NODEVICE:
      return "The current MIDI Mapper setup refers to a MIDI device that is not installed on "
             "the system.";
    case MIDIERR_INVALIDSETUP:
      return "The current MIDI setup is damaged. Copy the original MIDIMAP.CFG file to the "
             "Windows SYSTEM directory, and then try again.";
    default:
      return nullptr;
  }
}

}  // namespace

// ---- Machine set-up and the surface's side ----

void Reset() {
  Machine& m = TheMachine();
  std::vector<std::shared_ptr<Port>> ports;
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    for (auto& entry : m.handles) {
      Discard(*entry.second);
      ports.push_back(entry.second);
    }
    m.handles.clear();
    for (auto& devices : m.devices) devices.clear();
    m.delay_ms = 0;
    m.hold = false;
    m.listener = nullptr;
    m.listener_context = nullptr;
    for (auto& prepared : m.prepared) prepared.clear();
    m.late = false;
    m.lateness_ms = 0;
    m.late_flags = 0;
    m.changed.notify_all();
  }
  for (auto& port : ports) JoinOrDetach(*port);
  // Threads of handles closed in late mode deliver what they had begun; a
  // fresh machine starts once they are done (a callback stuck for good is
  // not waited for forever).
  std::unique_lock<std::mutex> lock(m.mutex);
  m.changed.wait_for(lock, std::chrono::seconds(10),
                     [&] { return m.live_threads <= (OnSystemThread() ? 1u : 0u); });
  m.stray_callbacks = 0;
}

void SetLateCallbacks(bool late, unsigned lateness_ms, int flags) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.late = late;
  m.lateness_ms = late ? lateness_ms : 0;
  m.late_flags = late ? flags : 0;
}

bool WaitCallbacksDone(unsigned timeout_milliseconds) {
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.mutex);
  return m.changed.wait_for(lock, std::chrono::milliseconds(timeout_milliseconds), [&] {
    if (m.live_threads > m.handles.size()) return false;  // a closed handle's thread runs on
    for (const auto& entry : m.handles) {
      if (entry.second->busy || !entry.second->tasks.empty()) return false;
    }
    return true;
  });
}

unsigned StrayCallbacks() {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return m.stray_callbacks;
}

unsigned AddDevice(Direction direction, const char* name) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto& devices = m.devices[Index(direction)];
  Device device;
  if (name != nullptr) device.name.assign(name, strnlen(name, MAXPNAMELEN - 1));
  devices.push_back(std::move(device));
  return static_cast<unsigned>(devices.size() - 1);
}

void SetCompletionDelay(unsigned milliseconds) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.delay_ms = milliseconds;
}

void HoldCompletions(bool hold) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.hold = hold;
  if (hold) return;
  // Nothing stays held once holding ends.
  for (auto& device : m.devices[Index(Direction::kOutput)]) {
    if (device.port) ReleaseHeld(*device.port, device.port->held.size(), false);
  }
}

unsigned ReleaseCompletions(unsigned device, unsigned count, bool newest_first) {
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.mutex);
  auto& devices = m.devices[Index(Direction::kOutput)];
  if (device >= devices.size() || !devices[device].port) return 0;
  std::shared_ptr<Port> port = devices[device].port;
  const auto released = ReleaseHeld(*port, count, newest_first);
  if (!OnThreadOf(*port)) {
    m.changed.wait(lock, [&] {
      return std::all_of(released.begin(), released.end(),
                         [](const auto& message) { return message->finished; });
    });
  }
  return static_cast<unsigned>(released.size());
}

std::size_t SentCount(unsigned device) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto& devices = m.devices[Index(Direction::kOutput)];
  return device < devices.size() ? devices[device].received.size() : 0;
}

std::size_t SentMessage(unsigned device, std::size_t index, unsigned char* buf, std::size_t cap) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto& devices = m.devices[Index(Direction::kOutput)];
  if (device >= devices.size() || index >= devices[device].received.size()) return 0;
  const Bytes& bytes = devices[device].received[index];
  if (buf != nullptr) std::memcpy(buf, bytes.data(), std::min(cap, bytes.size()));
  return bytes.size();
}

void ClearSent() {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  for (auto& device : m.devices[Index(Direction::kOutput)]) device.received.clear();
}

void SetOutputListener(sim_output_listener listener, void* context) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.listener = listener;
  m.listener_context = context;
}

bool WaitIdle(unsigned timeout_milliseconds) {
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.mutex);
  return m.changed.wait_for(lock, std::chrono::milliseconds(timeout_milliseconds),
                            [&] { return OutputsIdle(m); });
}

unsigned PreparedHeaders() {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  unsigned count = 0;
  for (const auto& entry : m.prepared[Index(Direction::kOutput)]) count += entry.second;
  return count;
}

unsigned PendingHeaders() {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  unsigned count = 0;
  for (const auto& entry : m.handles) {
    for (const auto& message : entry.second->in_flight) count += message->Pending() ? 1 : 0;
  }
  return count;
}

bool SetDeviceTaken(Direction direction, unsigned device, bool taken) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto& devices = m.devices[Index(direction)];
  if (device >= devices.size()) return false;
  devices[device].taken = taken;
  return true;
}

unsigned OpenDevices() {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return static_cast<unsigned>(m.handles.size());
}

int SendInput(unsigned device, unsigned packed, unsigned timestamp, bool wait) {
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.mutex);
  auto& devices = m.devices[Index(Direction::kInput)];
  if (device >= devices.size() || !devices[device].port) return 0;
  std::shared_ptr<Port> port = devices[device].port;
  if (!port->started) return 0;
  Task task;
  task.kind = Task::kInputData;
  task.param1 = packed;
  task.param2 = timestamp;
  return PostAndWait(m, lock, *port, std::move(task), wait) ? 1 : 0;
}

int SendInputSysex(unsigned device, const unsigned char* bytes, std::size_t length,
                   unsigned timestamp, bool wait) {
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.mutex);
  auto& devices = m.devices[Index(Direction::kInput)];
  if (device >= devices.size() || !devices[device].port) return 0;
  std::shared_ptr<Port> port = devices[device].port;
  if (!port->started || bytes == nullptr || length == 0) return 0;
  // A message longer than one buffer continues in the next, as drivers do;
  // what finds no buffer is lost.
  std::size_t written = 0;
  while (written < length && !port->buffers.empty()) {
    MIDIHDR* header = port->buffers.front();
    port->buffers.pop_front();
    const std::size_t n = std::min<std::size_t>(header->dwBufferLength, length - written);
    if (n != 0) std::memcpy(header->lpData, bytes + written, n);
    header->dwBytesRecorded = static_cast<DWORD>(n);
    written += n;
    MarkDone(header);
    Task task = Notification(MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), timestamp);
    const bool last = written == length || port->buffers.empty();
    PostAndWait(m, lock, *port, std::move(task), wait && last);
  }
  return written == length ? 1 : 0;
}

int DeliverInput(unsigned device, unsigned message, std::size_t param1, std::size_t param2) {
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.mutex);
  auto& devices = m.devices[Index(Direction::kInput)];
  if (device >= devices.size() || !devices[device].port) return 0;
  std::shared_ptr<Port> port = devices[device].port;
  PostAndWait(m, lock, *port, Notification(message, param1, param2), true);
  return 1;
}

// ---- The winmm functions ----

UINT NumDevs(Direction direction) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return static_cast<UINT>(m.devices[Index(direction)].size());
}

// A device id, or an open handle of that direction in its place, as Windows
// accepts; null when it names nothing.
const Device* DeviceFor(Machine& m, Direction direction, UINT_PTR id) {
  auto& devices = m.devices[Index(direction)];
  if (id < devices.size()) return &devices[id];
  if (std::shared_ptr<Port> port = FindPort(m, id, direction)) return &DeviceOf(m, *port);
  return nullptr;
}

// The caller's record may be shorter than the system's (an older layout):
// as much of the record as fits is copied, and a size of 0 copies nothing.
template <class Caps>
MMRESULT CopyCaps(const Caps& full, Caps* caps, UINT size) {
  if (caps == nullptr) return MMSYSERR_INVALPARAM;
  std::memcpy(caps, &full, std::min<std::size_t>(size, sizeof full));
  return MMSYSERR_NOERROR;
}

MMRESULT OutCaps(UINT_PTR id, MIDIOUTCAPSA* caps, UINT size) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  const Device* device = DeviceFor(m, Direction::kOutput, id);
  if (device == nullptr) return MMSYSERR_BADDEVICEID;
  MIDIOUTCAPSA full{};
  full.wMid = kUnmappedId;
  full.wPid = kUnmappedId;
  full.vDriverVersion = 0x0100;
  std::memcpy(full.szPname, device->name.c_str(), device->name.size() + 1);
  full.wTechnology = MOD_MIDIPORT;
  full.wChannelMask = 0xFFFF;
  return CopyCaps(full, caps, size);
}

MMRESULT InCaps(UINT_PTR id, MIDIINCAPSA* caps, UINT size) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  const Device* device = DeviceFor(m, Direction::kInput, id);
  if (device == nullptr) return MMSYSERR_BADDEVICEID;
  MIDIINCAPSA full{};
  full.wMid = kUnmappedId;
  full.wPid = kUnmappedId;
  full.vDriverVersion = 0x0100;
  std::memcpy(full.szPname, device->name.c_str(), device->name.size() + 1);
  return CopyCaps(full, caps, size);
}

MMRESULT ErrorText(MMRESULT code, LPSTR text, UINT size) {
  if (text == nullptr) return MMSYSERR_INVALPARAM;
  const char* message = TextOf(code);
  if (message == nullptr) return MMSYSERR_BADERRNUM;
  if (size == 0) return MMSYSERR_NOERROR;
  const std::size_t n = std::min<std::size_t>(std::strlen(message), size - 1);
  std::memcpy(text, message, n);
  text[n] = '\0';
  return MMSYSERR_NOERROR;
}

MMRESULT Open(Direction direction, uintptr_t* handle, UINT id, DWORD_PTR callback,
              DWORD_PTR instance, DWORD flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  *handle = 0;
  switch (flags & CALLBACK_TYPEMASK) {
    case CALLBACK_NULL:
      callback = 0;
      break;
    case CALLBACK_FUNCTION:
      break;
    case CALLBACK_WINDOW:
    case CALLBACK_THREAD:
    case CALLBACK_EVENT:
      return MMSYSERR_NOTSUPPORTED;
    default:
      return MMSYSERR_INVALFLAG;
  }

  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.mutex);
  auto& devices = m.devices[Index(direction)];
  if (id >= devices.size()) return MMSYSERR_BADDEVICEID;
  Device& device = devices[id];
  if (device.port || device.taken) return MMSYSERR_ALLOCATED;

  auto port = std::make_shared<Port>();
  port->direction = direction;
  port->device = id;
  port->handle = m.next_handle;
  port->callback = callback;
  port->instance = instance;
  m.next_handle += 4;
  m.handles[port->handle] = port;
  try {
    port->thread = std::thread(RunPort, port);
  } catch (...) {
    m.handles.erase(port->handle);
    return MMSYSERR_NOMEM;
  }
  ++m.live_threads;
  port->thread_id = port->thread.get_id();
  device.port = port;
  // Written before the notification: a callback that reads the handle from
  // where the caller keeps it finds it there.
  *handle = port->handle;
  // As on Windows, the open notification has reached the callback by the
  // time the open call returns.
  PostAndWait(m, lock, *port, Notification(direction == Direction::kOutput ? MOM_OPEN : MIM_OPEN),
              true);
  return MMSYSERR_NOERROR;
}

MMRESULT Close(Direction direction, uintptr_t handle) {
  Machine& m = TheMachine();
  std::shared_ptr<Port> port;
  Call inline_close;
  bool wait_for_thread = true;
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    port = FindPort(m, handle, direction);
    if (!port) return MMSYSERR_INVALHANDLE;
    if (direction == Direction::kOutput) {
      for (const auto& message : port->in_flight) {
        if (message->Pending()) return MIDIERR_STILLPLAYING;
      }
    } else if (!port->buffers.empty()) {
      return MIDIERR_STILLPLAYING;
    }
    m.handles.erase(handle);
    DeviceOf(m, *port).port.reset();
    port->started = false;
    const UINT notification = direction == Direction::kOutput ? MOM_CLOSE : MIM_CLOSE;
    if (!m.late) {
      Post(*port, Notification(notification));
    } else {
      // A real driver does not make the close wait for a callback it has
      // begun on its own thread.
      wait_for_thread = false;
      if (m.late_flags & SIM_LATE_CLOSE_INLINE) {
        // Delivered on the caller's thread, before anything not yet begun;
        // what the driver's thread has begun still arrives.
        for (Task& task : port->tasks) {
          if (task.waiter) task.waiter->finished = true;
        }
        port->tasks.clear();
        if (!(m.late_flags & SIM_LATE_NO_CLOSE)) {
          inline_close = Call::Callback(notification, 0, 0);
        }
      } else if (!(m.late_flags & SIM_LATE_NO_CLOSE)) {
        Post(*port, Notification(notification));
      }
    }
    port->closing = true;
    port->wake.notify_one();
  }
  if (!wait_for_thread) {
    port->thread.detach();
    if (inline_close.kind == Call::kCallback) Invoke(*port, inline_close);
    return MMSYSERR_NOERROR;
  }
  // Everything already posted, MOM_DONE notifications included, is delivered
  // before the thread ends; after that no callback of this handle can run.
  JoinOrDetach(*port);
  std::lock_guard<std::mutex> lock(m.mutex);
  m.changed.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT PrepareHeader(Direction direction, uintptr_t handle, MIDIHDR* header, UINT size) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  if (!FindPort(m, handle, direction)) return MMSYSERR_INVALHANDLE;
  if (CheckHeader(header, size) != MMSYSERR_NOERROR || header->lpData == nullptr) {
    return MMSYSERR_INVALPARAM;
  }
  if (LoadFlags(header) & MHDR_PREPARED) return MMSYSERR_NOERROR;
  ++m.prepared[Index(direction)][header];
  // Whatever the flags held before, a freshly prepared header is only that.
  StoreFlags(header, MHDR_PREPARED);
  return MMSYSERR_NOERROR;
}

MMRESULT UnprepareHeader(Direction direction, uintptr_t handle, MIDIHDR* header, UINT size) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  if (!FindPort(m, handle, direction)) return MMSYSERR_INVALHANDLE;
  if (CheckHeader(header, size) != MMSYSERR_NOERROR) return MMSYSERR_INVALPARAM;
  const DWORD flags = LoadFlags(header);
  if (flags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  if (!(flags & MHDR_PREPARED)) return MMSYSERR_NOERROR;
  auto& prepared = m.prepared[Index(direction)];
  auto it = prepared.find(header);
  if (it != prepared.end() && --it->second == 0) prepared.erase(it);
  StoreFlags(header, flags & ~static_cast<DWORD>(MHDR_PREPARED));
  return MMSYSERR_NOERROR;
}

MMRESULT ShortMsg(uintptr_t handle, DWORD message) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  std::shared_ptr<Port> port = FindPort(m, handle, Direction::kOutput);
  if (!port) return MMSYSERR_INVALHANDLE;
  Device& device = DeviceOf(m, *port);
  Bytes bytes = ShortBytes(*port, message);
  if (device.order.empty()) {
    Receive(m, device, *port, std::move(bytes));
  } else {
    // Behind a long message that is still being sent.
    Slot slot;
    slot.sequence = device.next_sequence++;
    slot.state = Slot::kReady;
    slot.bytes = std::move(bytes);
    device.order.push_back(std::move(slot));
  }
  return MMSYSERR_NOERROR;
}

MMRESULT LongMsg(uintptr_t handle, MIDIHDR* header, UINT size) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  std::shared_ptr<Port> port = FindPort(m, handle, Direction::kOutput);
  if (!port) return MMSYSERR_INVALHANDLE;
  if (CheckHeader(header, size) != MMSYSERR_NOERROR) return MMSYSERR_INVALPARAM;
  const DWORD flags = LoadFlags(header);
  if (!(flags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  if (flags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;

  Device& device = DeviceOf(m, *port);
  auto message = std::make_shared<LongMessage>();
  message->header = header;
  message->sequence = device.next_sequence++;
  Slot slot;
  slot.sequence = message->sequence;
  device.order.push_back(std::move(slot));
  port->in_flight.push_back(message);
  StoreFlags(header, (flags & ~static_cast<DWORD>(MHDR_DONE)) | MHDR_INQUEUE);
  if (m.hold) {
    message->state = LongMessage::kHeld;
    port->held.push_back(std::move(message));
  } else {
    const Clock::time_point due = Clock::now() + std::chrono::milliseconds(m.delay_ms);
    Post(*port, Completion(std::move(message), due));
  }
  return MMSYSERR_NOERROR;
}

MMRESULT OutReset(uintptr_t handle) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  std::shared_ptr<Port> port = FindPort(m, handle, Direction::kOutput);
  if (!port) return MMSYSERR_INVALHANDLE;
  Device& device = DeviceOf(m, *port);
  const Clock::time_point now = Clock::now();
  for (auto& message : port->in_flight) {
    if (!message->Pending()) continue;
    if (Slot* slot = FindSlot(device, message->sequence)) slot->state = Slot::kDropped;
    MarkDone(message->header);
    // A queued message's completion task turns into its MOM_DONE; a held one
    // has no task yet.
    if (message->state == LongMessage::kHeld) Post(*port, Completion(message, now));
    message->state = LongMessage::kReset;
  }
  port->held.clear();
  port->running_status = 0;
  Publish(m, device, *port);
  port->wake.notify_one();
  return MMSYSERR_NOERROR;
}

MMRESULT AddBuffer(uintptr_t handle, MIDIHDR* header, UINT size) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  std::shared_ptr<Port> port = FindPort(m, handle, Direction::kInput);
  if (!port) return MMSYSERR_INVALHANDLE;
  if (CheckHeader(header, size) != MMSYSERR_NOERROR) return MMSYSERR_INVALPARAM;
  const DWORD flags = LoadFlags(header);
  if (!(flags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  if (flags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwBytesRecorded = 0;
  port->buffers.push_back(header);
  StoreFlags(header, (flags & ~static_cast<DWORD>(MHDR_DONE)) | MHDR_INQUEUE);
  return MMSYSERR_NOERROR;
}

MMRESULT InStart(uintptr_t handle) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  std::shared_ptr<Port> port = FindPort(m, handle, Direction::kInput);
  if (!port) return MMSYSERR_INVALHANDLE;
  port->started = true;
  return MMSYSERR_NOERROR;
}

MMRESULT InStop(uintptr_t handle) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  std::shared_ptr<Port> port = FindPort(m, handle, Direction::kInput);
  if (!port) return MMSYSERR_INVALHANDLE;
  port->started = false;
  return MMSYSERR_NOERROR;
}

MMRESULT InReset(uintptr_t handle) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  std::shared_ptr<Port> port = FindPort(m, handle, Direction::kInput);
  if (!port) return MMSYSERR_INVALHANDLE;
  port->started = false;
  for (MIDIHDR* header : port->buffers) {
    header->dwBytesRecorded = 0;
    MarkDone(header);
    Post(*port, Notification(MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), 0));
  }
  port->buffers.clear();
  return MMSYSERR_NOERROR;
}

}  // namespace qmsim::midi
