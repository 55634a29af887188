#include "midi/in_device.h"

#include <new>

namespace midi {

bool CMIDIInHeader::Release() {
  return midiInUnprepareHeader(m_handle, &m_header, sizeof m_header) == MMSYSERR_NOERROR;
}

bool CMIDIInHeader::IsFinished() const {
  auto& flags = const_cast<DWORD&>(m_header.dwFlags);
  return (std::atomic_ref<DWORD>(flags).load(std::memory_order_acquire) & MHDR_DONE) != 0;
}

CMIDIInDevice::CMIDIInDevice() { MakeGate(); }

CMIDIInDevice::~CMIDIInDevice() {
  // Whatever the system still delivers while the port ends goes nowhere.
  SetReceiver(nullptr);
  try {
    Close();
  } catch (...) {
    // The device refused to close. Input is stopped by now; one more reset
    // and close is all that can be tried, and the destroyer can't act on a
    // report, so none is given.
    midiInReset(m_handle);
    if (midiInClose(m_handle) == MMSYSERR_NOERROR) {
      m_state = Closed;
      FinishClose();
    } else {
      // The handle stays open: its callbacks may go on reaching the gate.
      KeepForLateCallbacks(m_gate.release());
      ReportUnfinishedClose("input");
    }
  }
}

void CMIDIInDevice::MakeGate() {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (event == nullptr) throw CMIDIInEventFailure();
  CInputGate* gate = new (std::nothrow) CInputGate(event);
  if (gate == nullptr) {
    CloseHandle(event);
    throw CMIDIInEventFailure();
  }
  gate->m_receiver = m_receiver.load();
  m_gate.reset(gate);
}

void CMIDIInDevice::Open(UINT deviceId) {
  Close();
  if (!m_gate) MakeGate();
  m_gate->Rearm();
  HMIDIIN handle = nullptr;
  MMRESULT result = midiInOpen(&handle, deviceId, reinterpret_cast<DWORD_PTR>(&SystemCallback),
                               reinterpret_cast<DWORD_PTR>(m_gate.get()), CALLBACK_FUNCTION);
  if (result != MMSYSERR_NOERROR) {
    m_gate->MarkClosed();  // no handle, so no callback will come
    throw CMIDIInException(result);
  }
  m_handle = handle;
  m_state = Opened;
}

void CMIDIInDevice::Close() {
  if (m_state.load() == Started) Stop();
  if (m_state.load() != Opened) return;
  MMRESULT result = midiInClose(m_handle);
  if (result != MMSYSERR_NOERROR) throw CMIDIInException(result);
  m_state = Closed;
  FinishClose();
}

void CMIDIInDevice::FinishClose() noexcept {
  CInputGate* gate = m_gate.get();
  if (WaitUntil([gate] { return gate->Finished(); }, kCloseNoticeBound)) return;
  // A late callback may still come: the gate is lost, not freed, and passes
  // nothing on any more.
  gate->m_receiver = nullptr;
  KeepForLateCallbacks(m_gate.release());
  ReportUnfinishedClose("input");
}

void CMIDIInDevice::Start() {
  if (m_state.load() != Opened) return;
  // Written before the worker starts, so that it enters its loop.
  m_state = Started;
  m_gate->m_started = true;
  m_worker = AfxBeginThread(&WorkerMain, this);
  if (!m_worker) {
    // Input without its worker would never give buffers back; the system is
    // not asked to start.
    m_state = Opened;
    m_gate->m_started = false;
    throw CMIDIInThreadFailure();
  }
  MMRESULT result = midiInStart(m_handle);
  if (result != MMSYSERR_NOERROR) {
    m_state = Opened;
    m_gate->m_started = false;
    SetEvent(m_gate->Event());
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
  m_gate->m_started = false;
  SetEvent(m_gate->Event());
  m_worker->Join();
  m_worker.reset();
  midiInReset(m_handle);
  m_queue.ReleaseAll();
}

CMIDIReceiver* CMIDIInDevice::SetReceiver(CMIDIReceiver* receiver) {
  if (m_gate) m_gate->m_receiver = receiver;
  return m_receiver.exchange(receiver);
}

bool CMIDIInDevice::DetachReceiver(DWORD bound) {
  SetReceiver(nullptr);
  if (!m_gate) return true;
  CInputGate* gate = m_gate.get();
  return WaitUntil([gate] { return gate->NoCallbackInProgress(); }, bound);
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
  auto* gate = reinterpret_cast<CInputGate*>(instance);
  gate->Enter();
  if (message == MIM_CLOSE) gate->MarkClosed();
  CMIDIReceiver* receiver = gate->m_receiver.load();
  const bool longData = message == MIM_LONGDATA || message == MIM_LONGERROR;
  // Nothing a receiver throws may unwind into the system.
  try {
    if (receiver == nullptr) {
      // Nothing is passed on, and nothing signalled.
    } else if (message == MIM_DATA) {
      receiver->OnShortMsg(static_cast<DWORD>(param1), static_cast<DWORD>(param2));
    } else if (message == MIM_ERROR) {
      receiver->OnShortError(static_cast<DWORD>(param1), static_cast<DWORD>(param2));
    } else if (longData && gate->m_started.load()) {
      // Buffers come back only while started; those returned by the reset
      // in Stop are released there.
      const auto* header = reinterpret_cast<const MIDIHDR*>(param1);
      if (header != nullptr && message == MIM_LONGDATA) {
        receiver->OnLongMsg(header->lpData, header->dwBytesRecorded, static_cast<DWORD>(param2));
      } else if (header != nullptr) {
        receiver->OnLongError(header->lpData, header->dwBytesRecorded, static_cast<DWORD>(param2));
      }
      SetEvent(gate->Event());
    }
  } catch (...) {
    // The message is lost; the port goes on.
  }
  gate->Leave();
}

UINT CMIDIInDevice::WorkerMain(LPVOID param) {
  auto* port = static_cast<CMIDIInDevice*>(param);
  const HANDLE event = port->m_gate->Event();
  while (port->m_state.load() == Started) {
    // A wait the system can't do must not turn the worker into a spin.
    if (WaitForSingleObject(event, kWorkerWakeMilliseconds) == WAIT_FAILED) {
      Sleep(kWorkerWakeMilliseconds);
    }
    if (port->m_state.load() != Started) break;
    // Only buffers the system has marked done: a wake can stand for several
    // returned buffers, or for none.
    port->m_queue.ReleaseFinished();
  }
  return 0;
}

}  // namespace midi
