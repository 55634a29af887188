#include "midi/in_device.h"

#include <atomic>

namespace midi {

bool CMIDIInHeader::Release() {
  return midiInUnprepareHeader(m_handle, &m_header, sizeof m_header) == MMSYSERR_NOERROR;
}

bool CMIDIInHeader::IsFinished() const {
  auto& flags = const_cast<DWORD&>(m_header.dwFlags);
  return (std::atomic_ref<DWORD>(flags).load(std::memory_order_acquire) & MHDR_DONE) != 0;
}

CMIDIInDevice::~CMIDIInDevice() {
  // Whatever the system still delivers while the port ends goes nowhere.
  SetReceiver(nullptr);
  try {
    Close();
  } catch (...) {
    // The device refused to close. Input is stopped by now; one more reset
    // and close is all that can be tried, and the destroyer can't act on a
    // report, so none is given but the debugger line.
    midiInReset(m_handle);
    if (midiInClose(m_handle) != MMSYSERR_NOERROR) ReportUnfinishedClose("input");
    m_state = Closed;
    // The thread may be handing this port the close message right now, and
    // the port is about to go.
    if (m_thread != nullptr) m_thread->Detach(kCloseBound);
    LetThreadGo();
  }
}

void CMIDIInDevice::Open(UINT deviceId) {
  Close();
  // The thread comes first: the system posts the open message inside the
  // open call, and its posts fail until the thread has its queue.
  CPortThread::StartFailure failure;
  m_thread = CPortThread::Start(this, MM_MIM_CLOSE, failure);
  if (m_thread == nullptr && failure == CPortThread::kNoEvent) throw CMIDIInEventFailure();
  if (m_thread == nullptr) throw CMIDIInThreadFailure();
  HMIDIIN handle = nullptr;
  MMRESULT result = midiInOpen(&handle, deviceId, m_thread->ThreadId(), 0, CALLBACK_THREAD);
  if (result != MMSYSERR_NOERROR) {
    LetThreadGo();
    throw CMIDIInException(result);
  }
  m_handle = handle;
  m_thread->SetHandle(reinterpret_cast<UINT_PTR>(handle));
  m_state = Opened;
}

void CMIDIInDevice::Close() {
  const DWORD start = GetTickCount();
  if (m_state.load() == Started) Stop();
  if (m_state.load() != Opened) return;
  MMRESULT result = midiInClose(m_handle);
  if (result != MMSYSERR_NOERROR) throw CMIDIInException(result);
  m_state = Closed;
  CPortThread* thread = m_thread;
  const auto left = [start] {
    const DWORD spent = GetTickCount() - start;
    return spent < kCloseBound ? kCloseBound - spent : 0;
  };
  thread->Detach(left());
  WaitUntil([thread] { return thread->CloseSeen(); }, left());
  LetThreadGo();
}

void CMIDIInDevice::LetThreadGo() noexcept {
  if (m_thread == nullptr) return;
  m_thread->Release();
  m_thread = nullptr;
}

void CMIDIInDevice::Start() {
  if (m_state.load() != Opened) return;
  m_startTick = GetTickCount();
  // Written before the system starts, so that the first message finds it.
  m_state = Started;
  MMRESULT result = midiInStart(m_handle);
  if (result != MMSYSERR_NOERROR) {
    m_state = Opened;
    throw CMIDIInException(result);
  }
}

void CMIDIInDevice::Stop() {
  if (m_state.load() != Started) return;
  // The state changes before the reset: buffers the reset returns meet a port
  // that no longer passes them on.
  m_state = Opened;
  midiInReset(m_handle);
  // A buffer being handed on is finished with before it is given back.
  if (m_queue.Size() != 0) m_thread->WaitIdle(kCloseBound);
  m_queue.ReleaseAll();
}

CMIDIReceiver* CMIDIInDevice::SetReceiver(CMIDIReceiver* receiver) {
  return m_receiver.exchange(receiver);
}

bool CMIDIInDevice::DetachReceiver(DWORD bound) {
  SetReceiver(nullptr);
  return m_thread == nullptr || m_thread->WaitIdle(bound);
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

void CMIDIInDevice::OnPortMessage(UINT message, LPARAM param, DWORD time) {
  CMIDIReceiver* receiver = m_receiver.load();
  if (receiver == nullptr) return;
  // The system's own stamp does not travel with a thread message: the time
  // it was posted, counted from Start, stands for it.
  const DWORD stamp = time - m_startTick.load();
  if (message == MM_MIM_DATA) {
    receiver->OnShortMsg(static_cast<DWORD>(param), stamp);
  } else if (message == MM_MIM_ERROR) {
    receiver->OnShortError(static_cast<DWORD>(param), stamp);
  } else if ((message == MM_MIM_LONGDATA || message == MM_MIM_LONGERROR) &&
             m_state.load() == Started) {
    // Buffers come back only while started; those returned by the reset in
    // Stop are released there.
    const auto* header = reinterpret_cast<const MIDIHDR*>(param);
    if (header == nullptr) return;
    if (message == MM_MIM_LONGDATA) {
      receiver->OnLongMsg(header->lpData, header->dwBytesRecorded, stamp);
    } else {
      receiver->OnLongError(header->lpData, header->dwBytesRecorded, stamp);
    }
  }
}

void CMIDIInDevice::OnPortWake() {
  // Only buffers the system has marked done: a wake can stand for several
  // returned buffers, or for none.
  if (m_state.load() == Started) m_queue.ReleaseFinished();
}

}  // namespace midi
