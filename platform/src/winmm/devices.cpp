// The winmm functions of the simulated MIDI system, after winmm.cpp has
// counted the call and checked for an injected fault.
#include "machine.h"
#include "sim_state.h"

namespace qmsim::midi {

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
  Notify notify = Notify::kNone;
  switch (flags & CALLBACK_TYPEMASK) {
    case CALLBACK_NULL:
      callback = 0;
      break;
    case CALLBACK_FUNCTION:
      notify = callback != 0 ? Notify::kFunction : Notify::kNone;
      break;
    case CALLBACK_THREAD:
      // Any id is taken: a thread without a queue just loses the posts.
      notify = Notify::kThread;
      break;
    case CALLBACK_WINDOW:
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
  port->notify = notify;
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
  // As on Windows, the open notification has reached the callback (or the
  // thread's queue) by the time the open call returns.
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
    std::unique_lock<std::mutex> lock(m.mutex);
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
      port->closed_early = true;
      m.closed_early.push_back(port.get());
      if (m.late_flags & SIM_LATE_DRAIN_AFTER_CLOSE) {
        // Delivered on the caller's thread at once; the driver's thread
        // goes on to deliver what it had received, after the notice.
        for (Task& task : port->tasks) task.drained = true;
        if (!(m.late_flags & SIM_LATE_NO_CLOSE)) {
          inline_close = Call::Callback(notification, 0, 0);
        }
      } else if (m.late_flags & SIM_LATE_CLOSE_INLINE) {
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
    WaitOutCallback(m, lock, *port);
  }
  if (!wait_for_thread) {
    port->thread.detach();
    if (inline_close.kind == Call::kCallback) Invoke(m, *port, inline_close);
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
  const Micros wire_end = Occupy(m, device, bytes.size());
  if (device.order.empty()) {
    Receive(m, device, *port, std::move(bytes), wire_end);
  } else {
    // Behind a long message that is still being sent.
    Slot slot;
    slot.sequence = device.next_sequence++;
    slot.state = Slot::kReady;
    slot.bytes = std::move(bytes);
    slot.wire_end = wire_end;
    device.order.push_back(std::move(slot));
  }
  return MMSYSERR_NOERROR;
}

MMRESULT LongMsg(uintptr_t handle, MIDIHDR* header, UINT size) {
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.mutex);
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
  slot.wire_end = Occupy(m, device, header->dwBufferLength);
  const Micros wire_end = slot.wire_end;
  device.order.push_back(std::move(slot));
  port->in_flight.push_back(message);
  StoreFlags(header, (flags & ~static_cast<DWORD>(MHDR_DONE)) | MHDR_INQUEUE);
  if (m.hold) {
    message->state = LongMessage::kHeld;
    port->held.push_back(std::move(message));
    return MMSYSERR_NOERROR;
  }
  const Micros now = Now(m);
  switch (m.driver) {
    case SIM_DRIVER_DONE_INLINE:
      CompleteInline(m, *port, std::move(message));
      break;
    case SIM_DRIVER_BLOCKING:
      // Returns once the last byte is through, done flag set.
      WaitForTime(m, lock, wire_end);
      if (message->state == LongMessage::kQueued && !port->discarded) {
        CompleteInline(m, *port, std::move(message));
      }
      break;
    case SIM_DRIVER_DONE_EARLY:
      // The bytes wait in the driver's own buffer; the header is done now.
      Post(*port, Completion(std::move(message), now + m.delay_ms * Micros{1000}));
      break;
    default:
      // With nothing to wait for (no delay, no wire, no real-driver timing)
      // the bytes are taken and the header done before the call returns;
      // MOM_DONE follows on the system thread.
      if (m.delay_ms == 0 && m.wire_rate == 0 && !m.late) {
        CompleteLongMessage(m, *port, *message);
        Post(*port, Completion(std::move(message), now));
        break;
      }
      Post(*port,
           Completion(std::move(message), std::max(now + m.delay_ms * Micros{1000}, wire_end)));
      break;
  }
  return MMSYSERR_NOERROR;
}

MMRESULT OutReset(uintptr_t handle) {
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.mutex);
  std::shared_ptr<Port> port = FindPort(m, handle, Direction::kOutput);
  if (!port) return MMSYSERR_INVALHANDLE;
  Device& device = DeviceOf(m, *port);
  const Micros now = Now(m);
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
  WaitOutCallback(m, lock, *port);
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
  std::unique_lock<std::mutex> lock(m.mutex);
  std::shared_ptr<Port> port = FindPort(m, handle, Direction::kInput);
  if (!port) return MMSYSERR_INVALHANDLE;
  port->started = false;
  WaitOutCallback(m, lock, *port);
  return MMSYSERR_NOERROR;
}

MMRESULT InReset(uintptr_t handle) {
  Machine& m = TheMachine();
  std::unique_lock<std::mutex> lock(m.mutex);
  std::shared_ptr<Port> port = FindPort(m, handle, Direction::kInput);
  if (!port) return MMSYSERR_INVALHANDLE;
  port->started = false;
  for (MIDIHDR* header : port->buffers) {
    header->dwBytesRecorded = 0;
    MarkDone(header);
    Post(*port, Notification(MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), 0));
  }
  port->buffers.clear();
  WaitOutCallback(m, lock, *port);
  return MMSYSERR_NOERROR;
}

}  // namespace qmsim::midi
