// Setting the simulated machine up, and the surface's side of it: what the
// tests and the desk reach through simctl.h.
#include "machine.h"
#include "sim_state.h"

namespace qmsim::midi {

// How long moving the manual clock on waits for the plug-in's threads to
// handle what came due.
constexpr unsigned kSettleBound = 10000;

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
    m.input_delay_ms = 0;
    m.hold = false;
    m.wire_rate = 0;
    m.driver = SIM_DRIVER_QUEUED;
    m.manual_clock = false;
    m.manual_now = 0;
    WakeAllPorts(m);
    m.listener = nullptr;
    m.listener_context = nullptr;
    for (auto& prepared : m.prepared) prepared.clear();
    m.late = false;
    m.lateness_ms = 0;
    m.late_flags = 0;
    m.close_waits = false;
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
  m.callbacks_after_close = 0;
  m.lost_thread_messages = 0;
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

unsigned CallbacksAfterClose() {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return m.callbacks_after_close;
}

unsigned LostThreadMessages() { return TheMachine().lost_thread_messages.load(); }

void SetCloseWaitsForCallbacks(bool on) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.close_waits = on;
}

unsigned WaitingForCallbacks() {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return m.waiting_for_callbacks;
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

void SetInputDelay(unsigned milliseconds) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.input_delay_ms = milliseconds;
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
  for (auto& device : m.devices[Index(Direction::kOutput)]) {
    device.received.clear();
    device.display.changes.clear();
  }
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
  return SettleOutputs(m, lock, timeout_milliseconds);
}

void SetWireRate(unsigned bytes_per_second) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.wire_rate = bytes_per_second;
  // A wire set up anew is free now.
  for (auto& device : m.devices[Index(Direction::kOutput)]) device.wire_free = 0;
}

bool SetOutputDriver(int kind) {
  if (kind < SIM_DRIVER_QUEUED || kind > SIM_DRIVER_DONE_EARLY) return false;
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.driver = kind;
  return true;
}

void SetManualClock(bool on) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  if (on == m.manual_clock) return;
  // The clock goes on from where the other one stood.
  const Micros now = Now(m);
  m.manual_clock = on;
  if (on) {
    m.manual_now = now;
  } else {
    m.epoch = Clock::now() - std::chrono::microseconds(now);
  }
  WakeAllPorts(m);
}

bool AdvanceClock(unsigned microseconds) {
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.mutex);
  if (!m.manual_clock) return false;
  m.manual_now += microseconds;
  WakeAllPorts(m);
  return SettleOutputs(m, lock, kSettleBound);
}

uint64_t ClockMicros() {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  return Now(m);
}

std::size_t DisplayCells(unsigned device, char* cells) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto& devices = m.devices[Index(Direction::kOutput)];
  if (device >= devices.size()) return 0;
  const Display& display = devices[device].display;
  if (cells != nullptr) std::memcpy(cells, display.cells, Display::kCells);
  return display.writes;
}

std::size_t DisplayChangeCount(unsigned device) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto& devices = m.devices[Index(Direction::kOutput)];
  return device < devices.size() ? devices[device].display.changes.size() : 0;
}

bool DisplayChange(unsigned device, std::size_t index, uint64_t* time, char* cells) {
  Machine& m = TheMachine();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto& devices = m.devices[Index(Direction::kOutput)];
  if (device >= devices.size() || index >= devices[device].display.changes.size()) return false;
  const Display::Change& change = devices[device].display.changes[index];
  if (time != nullptr) *time = change.time;
  if (cells != nullptr) std::memcpy(cells, change.cells, Display::kCells);
  return true;
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
  task.due = Now(m) + m.input_delay_ms * Micros{1000};
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

}  // namespace qmsim::midi
