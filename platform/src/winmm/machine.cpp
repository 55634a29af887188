// The simulated machine and the system threads of its open handles: how a
// task becomes a callback, when, and on which thread.
#include "machine.h"

#include "sim_state.h"

namespace qmsim::midi {

// How long a caller who waits for its input to be handled waits for a
// receiving thread that does not come back to its queue.
constexpr unsigned kHandledBound = 10000;

Machine& TheMachine() {
  static Machine* machine = new Machine;
  return *machine;
}

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

Task Notification(UINT message, DWORD_PTR param1, DWORD_PTR param2) {
  Task task;
  task.kind = Task::kNotify;
  task.message = message;
  task.param1 = param1;
  task.param2 = param2;
  return task;
}

Task Completion(std::shared_ptr<LongMessage> message, Micros due) {
  Task task;
  task.kind = Task::kComplete;
  message->due = due;
  task.long_message = std::move(message);
  task.due = due;
  return task;
}

Micros Now(const Machine& m) {
  if (m.manual_clock) return m.manual_now;
  return static_cast<Micros>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - m.epoch).count());
}

Micros Occupy(Machine& m, Device& device, std::size_t length) {
  const Micros now = Now(m);
  if (m.wire_rate == 0) return now;
  const Micros start = std::max(now, device.wire_free);
  // Rounded up: a byte is through only once all of it is.
  const Micros span = (static_cast<Micros>(length) * 1000000 + m.wire_rate - 1) / m.wire_rate;
  device.wire_free = start + span;
  return device.wire_free;
}

void WaitForTime(Machine& m, std::unique_lock<std::mutex>& lock, Micros time) {
  if (m.manual_clock) {
    // Nobody else would move the clock on for a caller that waits on it:
    // the call itself takes that long.
    if (m.manual_now < time) m.manual_now = time;
    for (auto& entry : m.handles) entry.second->wake.notify_one();
    return;
  }
  const Clock::time_point until = m.epoch + std::chrono::microseconds(time);
  m.changed.wait_until(lock, until, [&] { return Clock::now() >= until; });
}

namespace {

// A display write as the surface takes it: F0 00 01 40 10 00, the first
// cell, a byte a cell, F7.
constexpr unsigned char kDisplayHeader[] = {0xF0, 0x00, 0x01, 0x40, 0x10, 0x00};

void ApplyDisplayWrite(Display& display, const Bytes& bytes, Micros time) {
  constexpr std::size_t kHeader = sizeof kDisplayHeader;
  if (bytes.size() < kHeader + 2 || bytes.back() != 0xF7 ||
      std::memcmp(bytes.data(), kDisplayHeader, kHeader) != 0) {
    return;
  }
  const std::size_t first = bytes[kHeader];
  const std::size_t count = bytes.size() - kHeader - 2;
  if (first >= Display::kCells) return;
  ++display.writes;
  const std::size_t shown = std::min(count, Display::kCells - first);
  if (std::memcmp(display.cells + first, bytes.data() + kHeader + 1, shown) == 0) return;
  std::memcpy(display.cells + first, bytes.data() + kHeader + 1, shown);
  if (display.changes.size() >= Display::kMaxChanges) return;
  Display::Change change;
  change.time = time;
  std::memcpy(change.cells, display.cells, sizeof change.cells);
  display.changes.push_back(change);
}

}  // namespace

void Receive(Machine& m, Device& device, Port& port, Bytes bytes, Micros wire_end) {
  ApplyDisplayWrite(device.display, bytes, m.wire_rate != 0 ? wire_end : Now(m));
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
    if (slot.state == Slot::kReady) Receive(m, device, port, std::move(slot.bytes), slot.wire_end);
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

void CompleteInline(Machine& m, Port& port, std::shared_ptr<LongMessage> message) {
  CompleteLongMessage(m, port, *message);
  if (port.notify != Notify::kThread) {
    Post(port, Completion(std::move(message), Now(m)));
    return;
  }
  ++m.thread_posts;
  if (!PostThreadNotice(static_cast<std::uint32_t>(port.callback), MOM_DONE, port.handle,
                        reinterpret_cast<std::intptr_t>(message->header))) {
    m.lost_thread_messages.fetch_add(1);
  }
  message->finished = true;
  auto& in_flight = port.in_flight;
  in_flight.erase(std::remove(in_flight.begin(), in_flight.end(), message), in_flight.end());
  m.changed.notify_all();
}

// Runs under the machine's lock: the state changes of a task.
Call Prepare(Machine& m, Port& port, Task& task) {
  switch (task.kind) {
    case Task::kNotify:
      return Call::Callback(task.message, task.param1, task.param2);
    case Task::kInputData:
      if (!port.started && !task.drained) return Call();
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

// The thread message that stands for a notification: the same number under
// its MM_ name.
static_assert(MM_MIM_DATA == MIM_DATA && MM_MOM_DONE == MOM_DONE && MM_MIM_OPEN == MIM_OPEN);

void Invoke(Machine& m, const Port& port, const Call& call) {
  if (call.kind == Call::kListener) {
    call.listener(call.context, port.device, call.bytes.data(), call.bytes.size());
    return;
  }
  if (call.kind != Call::kCallback || port.notify == Notify::kNone) return;
  if (port.notify == Notify::kThread) {
    {
      std::lock_guard<std::mutex> lock(m.mutex);
      ++m.thread_posts;
    }
    // Neither the instance value nor input's time stamp travels with it.
    if (!PostThreadNotice(static_cast<std::uint32_t>(port.callback), call.message, port.handle,
                          static_cast<std::intptr_t>(call.param1))) {
      m.lost_thread_messages.fetch_add(1);
    }
    return;
  }
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
    const bool waits =
        next.kind == Task::kInputData ||
        (next.kind == Task::kComplete && next.long_message->state == LongMessage::kQueued);
    if (waits) {
      const Micros due = next.due;
      if (Now(m) < due) {
        if (m.manual_clock) {
          port->wake.wait(lock);  // until the clock is moved on
        } else {
          port->wake.wait_until(lock, m.epoch + std::chrono::microseconds(due));
        }
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
    // A thread message has no code to check: a post to a thread that has
    // ended just fails.
    if (call.kind == Call::kCallback && port->notify == Notify::kFunction &&
        !CodeIsLoaded(port->callback)) {
      lock.lock();
      ++m.stray_callbacks;
      if (port->closed_early) ++m.callbacks_after_close;
    } else if (call.kind == Call::kCallback) {
      lock.lock();
      if (port->closed_early) ++m.callbacks_after_close;
      port->in_callback = true;
      ++port->callbacks_begun;
      lock.unlock();
      Invoke(m, *port, call);
      lock.lock();
      port->in_callback = false;
      // A caller that waits for its input to be handled waits for the
      // receiving thread too, when the notification went there (unless it
      // is that thread: it looks at its queue only once the wait is over).
      const auto receiver = static_cast<DWORD>(port->callback);
      if (task.waiter && port->notify == Notify::kThread && task.waiter->thread != receiver) {
        lock.unlock();
        WaitThreadNoticesHandled(receiver, kHandledBound);
        lock.lock();
      }
    } else {
      Invoke(m, *port, call);
      lock.lock();
    }

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
  auto& closed = m.closed_early;
  closed.erase(std::remove(closed.begin(), closed.end(), port.get()), closed.end());
  --m.live_threads;
  m.changed.notify_all();
}

void WaitOutCallback(Machine& m, std::unique_lock<std::mutex>& lock, const Port& port) {
  if (!m.close_waits || OnThreadOf(port) || !port.in_callback) return;
  ++m.waiting_for_callbacks;
  m.changed.notify_all();
  // Without a bound, as the system's own client waits: a callback that
  // waits for the caller deadlocks here. Only the callback in progress is
  // waited for, not those that follow it.
  const uint64_t current = port.callbacks_begun;
  m.changed.wait(lock, [&] { return !port.in_callback || port.callbacks_begun != current; });
  --m.waiting_for_callbacks;
  m.changed.notify_all();
}

void WakeAllPorts(Machine& m) {
  for (auto& entry : m.handles) entry.second->wake.notify_one();
  for (Port* port : m.closed_early) port->wake.notify_one();
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
  const Micros now = Now(TheMachine());
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
  const Micros now = Now(m);
  const auto waiting = [&](const std::shared_ptr<LongMessage>& message) {
    return message->state == LongMessage::kQueued && (!m.manual_clock || message->due <= now);
  };
  for (const auto& entry : m.handles) {
    const Port& port = *entry.second;
    if (port.direction != Direction::kOutput) continue;
    if (port.busy) return false;
    for (const Task& task : port.tasks) {
      if (task.kind != Task::kComplete || !m.manual_clock || task.due <= now) return false;
    }
    if (std::any_of(port.in_flight.begin(), port.in_flight.end(), waiting)) return false;
  }
  return true;
}

bool SettleOutputs(Machine& m, std::unique_lock<std::mutex>& lock, unsigned timeout_ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const auto left = [&] {
    const auto rest =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<unsigned>(std::max<std::chrono::milliseconds::rep>(rest.count(), 0));
  };
  for (;;) {
    if (!m.changed.wait_until(lock, deadline, [&] { return OutputsIdle(m); })) return false;
    std::vector<std::uint32_t> receivers;
    for (const auto& entry : m.handles) {
      const Port& port = *entry.second;
      if (port.direction == Direction::kOutput && port.notify == Notify::kThread) {
        receivers.push_back(static_cast<std::uint32_t>(port.callback));
      }
    }
    const uint64_t posts = m.thread_posts;
    lock.unlock();
    bool handled = true;
    for (std::uint32_t receiver : receivers)
      handled = WaitThreadNoticesHandled(receiver, left()) && handled;
    lock.lock();
    if (!handled) return false;
    if (m.thread_posts == posts && OutputsIdle(m)) return true;
  }
}

// Waits for the task's waiter unless the caller is the port's own thread,
// which would wait for itself.
bool PostAndWait(Machine& m, std::unique_lock<std::mutex>& lock, Port& port, Task task, bool wait) {
  std::shared_ptr<Waiter> waiter;
  if (wait && !OnThreadOf(port)) {
    waiter = std::make_shared<Waiter>();
    waiter->thread = CallingThreadId();
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

}  // namespace qmsim::midi
