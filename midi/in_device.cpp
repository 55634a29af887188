#include "midi/in_device.h"

namespace midi {

namespace {

// The worker looks at the port at least this often even without a wake, so
// that a stop whose wake the system failed to signal still ends it.
constexpr DWORD kWorkerWakeMilliseconds = 50;

}  // namespace

bool CMIDIInHeader::Release() {
  return midiInUnprepareHeader(m_handle, &m_header, sizeof m_header) == MMSYSERR_NOERROR;
}

bool CMIDIInHeader::IsDone() const {
  auto& flags = const_cast<DWORD&>(m_header.dwFlags);
  return (std::atomic_ref<DWORD>(flags).load(std::memory_order_acquire) & MHDR_DONE) != 0;
}

CMIDIInDevice::CMIDIInDevice() {
  m_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (m_event == nullptr) throw CMIDIInEventFailure();
}

CMIDIInDevice::~CMIDIInDevice() {
  // Whatever the system still delivers while the port ends goes nowhere.
  m_receiver = nullptr;
  try {
    Close();
  } catch (...) {
    // The device refused to close. Input is stopped by now; one more reset
    // and close is all that can be tried, and the destroyer can't act on a
    // report, so none is given.
    midiInReset(m_handle);
    if (midiInClose(m_handle) == MMSYSERR_NOERROR) m_state = Closed;
  }
  CloseHandle(m_event);
}

void CMIDIInDevice::Open(UINT deviceId) {
  Close();
  HMIDIIN handle = nullptr;
  MMRESULT result = midiInOpen(&handle, deviceId, reinterpret_cast<DWORD_PTR>(&SystemCallback),
                               reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
  if (result != MMSYSERR_NOERROR) throw CMIDIInException(result);
  m_handle = handle;
  m_state = Opened;
}

void CMIDIInDevice::Close() {
  if (m_state.load() == Started) Stop();
  if (m_state.load() != Opened) return;
  MMRESULT result = midiInClose(m_handle);
  if (result != MMSYSERR_NOERROR) throw CMIDIInException(result);
  m_state = Closed;
}

void CMIDIInDevice::Start() {
  if (m_state.load() != Opened) return;
  // Written before the worker starts, so that it enters its loop.
  m_state = Started;
  m_worker = AfxBeginThread(&WorkerMain, this);
  if (!m_worker) {
    // Input without its worker would never give buffers back; the system is
    // not asked to start.
    m_state = Opened;
    throw CMIDIInThreadFailure();
  }
  MMRESULT result = midiInStart(m_handle);
  if (result != MMSYSERR_NOERROR) {
    m_state = Opened;
    SetEvent(m_event);
    m_worker->Join();
    m_worker.reset();
    throw CMIDIInException(result);
  }
}

void CMIDIInDevice::Stop() {
  if (m_state.load() != Started) return;
  // The state changes before the reset: buffers the reset returns meet a port
  // that no longer passes them on, and the worker sees it when it wakes.
  m_state = Opened;
  SetEvent(m_event);
  m_worker->Join();
  m_worker.reset();
  midiInReset(m_handle);
  m_queue.ReleaseAll();
}

CMIDIReceiver* CMIDIInDevice::SetReceiver(CMIDIReceiver* receiver) {
  return m_receiver.exchange(receiver);
}

bool CMIDIInDevice::IsOpen() const {
  const PortState state = m_state.load();
  return state == Opened || state == Started;
}

bool CMIDIInDevice::IsStarted() const { return m_state.load() == Started; }

void CMIDIInDevice::GetDevCaps(UINT deviceId, MIDIINCAPSA& caps) {
  MMRESULT result = midiInGetDevCapsA(deviceId, &caps, sizeof caps);
  if (result != MMSYSERR_NOERROR) throw CMIDIInException(result);
}

void CALLBACK CMIDIInDevice::SystemCallback(HMIDIIN, UINT message, DWORD_PTR instance,
                                            DWORD_PTR param1, DWORD_PTR param2) {
  // Open and close notifications touch nothing: a close may come while the
  // port is being destroyed.
  if (message != MIM_DATA && message != MIM_ERROR && message != MIM_LONGDATA &&
      message != MIM_LONGERROR) {
    return;
  }
  auto* port = reinterpret_cast<CMIDIInDevice*>(instance);
  CMIDIReceiver* receiver = port->m_receiver.load();
  if (receiver == nullptr) return;

  // Nothing a receiver throws may unwind into the system.
  try {
    switch (message) {
      case MIM_DATA:
        receiver->OnShortMsg(static_cast<DWORD>(param1), static_cast<DWORD>(param2));
        return;
      case MIM_ERROR:
        receiver->OnShortError(static_cast<DWORD>(param1), static_cast<DWORD>(param2));
        return;
      default:
        break;
    }
    // Buffers come back only while started; those returned by the reset in
    // Stop are released there.
    if (port->m_state.load() != Started) return;
    const auto* header = reinterpret_cast<const MIDIHDR*>(param1);
    if (header != nullptr) {
      if (message == MIM_LONGDATA) {
        receiver->OnLongMsg(header->lpData, header->dwBytesRecorded, static_cast<DWORD>(param2));
      } else {
        receiver->OnLongError(header->lpData, header->dwBytesRecorded, static_cast<DWORD>(param2));
      }
    }
  } catch (...) {
    // The message is lost; the port goes on.
  }
  if (message == MIM_LONGDATA || message == MIM_LONGERROR) SetEvent(port->m_event);
}

UINT CMIDIInDevice::WorkerMain(LPVOID param) {
  auto* port = static_cast<CMIDIInDevice*>(param);
  while (port->m_state.load() == Started) {
    WaitForSingleObject(port->m_event, kWorkerWakeMilliseconds);
    if (port->m_state.load() != Started) break;
    // Only buffers the system has marked done: a wake can stand for several
    // returned buffers, or for none.
    port->m_queue.ReleaseDone();
  }
  return 0;
}

}  // namespace midi
