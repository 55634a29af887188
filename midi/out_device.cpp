#include "midi/out_device.h"

#include <cstring>
#include <new>

namespace midi {

namespace {

// How long Close lets the system finish the messages it still holds before
// it takes them back with a reset (which also sends note-offs).
constexpr DWORD kCloseDrainMilliseconds = 1000;

// The worker looks at the port at least this often even without a wake: a
// wake the system failed to signal then costs a moment, not a header kept
// until close or a close that never returns.
constexpr DWORD kWorkerWakeMilliseconds = 50;

}  // namespace

CMIDIOutHeader::CMIDIOutHeader(HMIDIOUT handle, const char* bytes, DWORD length)
    : m_bytes(new char[length == 0 ? 1 : length]), m_handle(handle), m_header{} {
  if (length != 0) std::memcpy(m_bytes.get(), bytes, length);
  m_header.lpData = m_bytes.get();
  m_header.dwBufferLength = length;
  m_header.dwFlags = 0;
  MMRESULT result = midiOutPrepareHeader(m_handle, &m_header, sizeof m_header);
  if (result != MMSYSERR_NOERROR) throw CMIDIOutException(result);
}

void CMIDIOutHeader::Send() {
  MMRESULT result = midiOutLongMsg(m_handle, &m_header, sizeof m_header);
  if (result != MMSYSERR_NOERROR) throw CMIDIOutException(result);
}

bool CMIDIOutHeader::Release() {
  return midiOutUnprepareHeader(m_handle, &m_header, sizeof m_header) == MMSYSERR_NOERROR;
}

bool CMIDIOutHeader::IsDone() const {
  auto& flags = const_cast<DWORD&>(m_header.dwFlags);
  return (std::atomic_ref<DWORD>(flags).load(std::memory_order_acquire) & MHDR_DONE) != 0;
}

CMIDIOutDevice::CMIDIOutDevice() {
  m_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (m_event == nullptr) throw CMIDIOutEventFailure();
}

CMIDIOutDevice::~CMIDIOutDevice() {
  Close();
  CloseHandle(m_event);
}

void CMIDIOutDevice::Open(UINT deviceId) {
  Close();
  MMRESULT result = midiOutOpen(&m_handle, deviceId, reinterpret_cast<DWORD_PTR>(&SystemCallback),
                                reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
  if (result != MMSYSERR_NOERROR) throw CMIDIOutException(result);
  m_state = Opened;
  m_worker = AfxBeginThread(&WorkerMain, this);
  if (!m_worker) {
    // A port without its worker would never give headers back.
    m_state = Closed;
    midiOutClose(m_handle);
    throw CMIDIOutThreadFailure();
  }
}

void CMIDIOutDevice::Close() noexcept {
  if (m_state.load() != Opened) return;
  m_state = Closed;
  SetEvent(m_event);
  m_worker->Join();
  m_worker.reset();

  WaitForQueuedHeaders(kCloseDrainMilliseconds);
  if (!m_queue.AllDone()) {
    midiOutReset(m_handle);
    WaitForQueuedHeaders(kCloseDrainMilliseconds);
  }
  m_queue.ReleaseDone();
  // A header the system refused to unprepare gets a second chance: once the
  // device is closed it can't be given back any more.
  if (m_queue.Size() != 0) m_queue.ReleaseDone();
  // A close refused while something still plays succeeds after a reset.
  bool closed = midiOutClose(m_handle) == MMSYSERR_NOERROR;
  if (!closed) {
    midiOutReset(m_handle);
    closed = midiOutClose(m_handle) == MMSYSERR_NOERROR;
  }
  if (closed) {
    // The system has given everything back; what it would not unprepare
    // can no longer be touched by it.
    m_queue.Discard();
  } else {
    // Memory the system may still write to is lost rather than freed.
    m_queue.Abandon();
  }
}

void CMIDIOutDevice::WaitForQueuedHeaders(DWORD milliseconds) {
  const DWORD start = GetTickCount();
  while (!m_queue.AllDone() && GetTickCount() - start < milliseconds) {
    // The callback still signals the event on every done notification.
    WaitForSingleObject(m_event, 10);
  }
}

void CMIDIOutDevice::SendShortMsg(DWORD packed) {
  if (m_state.load() != Opened) return;
  MMRESULT result = midiOutShortMsg(m_handle, packed);
  if (result != MMSYSERR_NOERROR) throw CMIDIOutException(result);
}

void CMIDIOutDevice::SendLongMsg(const char* bytes, DWORD length) {
  if (m_state.load() != Opened) return;
  std::unique_ptr<CMIDIOutHeader> header;
  try {
    header.reset(new CMIDIOutHeader(m_handle, bytes, length));
  } catch (const std::bad_alloc&) {
    throw CMIDIOutMemFailure();
  }
  // Queued before the system sees it, so that a done notification always
  // finds it; the worker only frees headers the system has marked done.
  try {
    m_queue.PushBack(header.get());
  } catch (const std::bad_alloc&) {
    header->Release();
    throw CMIDIOutMemFailure();
  }
  try {
    header->Send();
  } catch (...) {
    m_queue.Remove(header.get());
    header->Release();
    throw;
  }
  header.release();
}

void CMIDIOutDevice::GetDevCaps(UINT deviceId, MIDIOUTCAPSA& caps) {
  MMRESULT result = midiOutGetDevCapsA(deviceId, &caps, sizeof caps);
  if (result != MMSYSERR_NOERROR) throw CMIDIOutException(result);
}

void CALLBACK CMIDIOutDevice::SystemCallback(HMIDIOUT, UINT message, DWORD_PTR instance, DWORD_PTR,
                                             DWORD_PTR) {
  if (message == MOM_DONE) SetEvent(reinterpret_cast<CMIDIOutDevice*>(instance)->m_event);
}

UINT CMIDIOutDevice::WorkerMain(LPVOID param) {
  auto* port = static_cast<CMIDIOutDevice*>(param);
  while (port->m_state.load() == Opened) {
    WaitForSingleObject(port->m_event, kWorkerWakeMilliseconds);
    if (port->m_state.load() != Opened) break;
    port->m_queue.ReleaseDone();
  }
  return 0;
}

}  // namespace midi
