#include "midi/out_device.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace midi {

CMIDIOutHeader* CMIDIOutHeader::Create(DWORD capacity) {
  capacity = std::max(capacity, kMinCapacity);
  void* block = ::operator new(sizeof(CMIDIOutHeader) + capacity);
  return new (block) CMIDIOutHeader(capacity);
}

void CMIDIOutHeader::Destroy(CMIDIOutHeader* header) noexcept {
  if (header == nullptr) return;
  header->~CMIDIOutHeader();
  ::operator delete(header);
}

void CMIDIOutHeader::Prepare(HMIDIOUT handle, const char* bytes, DWORD length) {
  length = std::min(length, m_capacity);
  if (length != 0) std::memcpy(Bytes(), bytes, length);
  m_handle = handle;
  m_header = MIDIHDR{};
  m_header.lpData = Bytes();
  m_header.dwBufferLength = length;
  m_header.dwFlags = 0;
  // The callback finds its way back from the system's header to this one.
  m_header.dwUser = reinterpret_cast<DWORD_PTR>(this);
  m_finished.store(false, std::memory_order_relaxed);
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

void CMIDIOutHeader::OnDone(MIDIHDR* header) {
  auto* self = reinterpret_cast<CMIDIOutHeader*>(header->dwUser);
  // The last touch: from here on the worker may reuse or free the header.
  if (self != nullptr) self->m_finished.store(true, std::memory_order_release);
}

CMIDIOutDevice::CMIDIOutDevice() { MakeGate(); }

void CMIDIOutDevice::MakeGate() {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (event == nullptr) throw CMIDIOutEventFailure();
  m_gate.reset(new (std::nothrow) CCallbackGate(event));
  if (!m_gate) {
    CloseHandle(event);
    throw CMIDIOutMemFailure();
  }
}

CMIDIOutDevice::~CMIDIOutDevice() { Close(); }

void CMIDIOutDevice::Open(UINT deviceId) {
  Close();
  if (!m_gate) MakeGate();
  m_gate->Rearm();
  MMRESULT result = midiOutOpen(&m_handle, deviceId, reinterpret_cast<DWORD_PTR>(&SystemCallback),
                                reinterpret_cast<DWORD_PTR>(m_gate.get()), CALLBACK_FUNCTION);
  if (result != MMSYSERR_NOERROR) {
    m_gate->MarkClosed();  // no handle, so no callback will come
    throw CMIDIOutException(result);
  }
  m_state = Opened;
  m_worker = AfxBeginThread(&WorkerMain, this);
  if (!m_worker) {
    // A port without its worker would never give headers back.
    m_state = Closed;
    FinishClose(midiOutClose(m_handle) == MMSYSERR_NOERROR);
    throw CMIDIOutThreadFailure();
  }
}

void CMIDIOutDevice::Close() noexcept {
  if (m_state.load() != Opened) return;
  m_state = Closed;
  SetEvent(m_gate->Event());
  m_worker->Join();
  m_worker.reset();

  auto allFinished = [this] { return m_queue.AllFinished(); };
  if (!WaitUntil(allFinished, kDrainBound)) {
    // Takes back what the device still holds (and sends note-offs).
    midiOutReset(m_handle);
    WaitUntil(allFinished, kResetBound);
  }
  m_queue.ReleaseFinished();
  // A header the system refused to unprepare gets a second chance: once the
  // device is closed it can't be given back any more.
  if (m_queue.Size() != 0) m_queue.ReleaseFinished();
  // A close refused while something still plays succeeds after a reset.
  bool closed = midiOutClose(m_handle) == MMSYSERR_NOERROR;
  if (!closed) {
    midiOutReset(m_handle);
    closed = midiOutClose(m_handle) == MMSYSERR_NOERROR;
  }
  FinishClose(closed);
}

void CMIDIOutDevice::FinishClose(bool closed) noexcept {
  CCallbackGate* gate = m_gate.get();
  if (closed && WaitUntil([gate] { return gate->Finished(); }, kCloseNoticeBound)) {
    // No callback of the handle can come any more: what the system would
    // not unprepare is freed all the same.
    m_queue.Discard();
    return;
  }
  // A callback may still reach the gate and these headers: lost, not freed.
  m_queue.Abandon();
  KeepForLateCallbacks(m_gate.release());
  ReportUnfinishedClose("output");
}

void CMIDIOutDevice::SendShortMsg(DWORD packed) {
  if (m_state.load() != Opened) return;
  MMRESULT result = midiOutShortMsg(m_handle, packed);
  if (result != MMSYSERR_NOERROR) throw CMIDIOutException(result);
}

void CMIDIOutDevice::SendLongMsg(const char* bytes, DWORD length) {
  if (m_state.load() != Opened) return;
  CMIDIOutHeader* header = m_queue.TakeSpare(length);
  if (header == nullptr) {
    try {
      header = CMIDIOutHeader::Create(length);
    } catch (const std::bad_alloc&) {
      throw CMIDIOutMemFailure();
    }
  }
  try {
    header->Prepare(m_handle, bytes, length);
  } catch (...) {
    m_queue.GiveSpare(header);
    throw;
  }
  // Queued before the system sees it, so that a done notification always
  // finds it; the worker only gives back headers whose callback has run.
  m_queue.PushBack(header);
  try {
    header->Send();
  } catch (...) {
    m_queue.Remove(header);
    if (header->Release()) {
      m_queue.GiveSpare(header);
    } else {
      CMIDIOutHeader::Destroy(header);
    }
    throw;
  }
}

void CMIDIOutDevice::GetDevCaps(UINT deviceId, MIDIOUTCAPSA& caps) {
  MMRESULT result = midiOutGetDevCapsA(deviceId, &caps, sizeof caps);
  if (result != MMSYSERR_NOERROR) throw CMIDIOutException(result);
}

void CALLBACK CMIDIOutDevice::SystemCallback(HMIDIOUT, UINT message, DWORD_PTR instance,
                                             DWORD_PTR param1, DWORD_PTR) {
  auto* gate = reinterpret_cast<CCallbackGate*>(instance);
  gate->Enter();
  if (message == MOM_DONE) {
    if (param1 != 0) CMIDIOutHeader::OnDone(reinterpret_cast<MIDIHDR*>(param1));
    SetEvent(gate->Event());
  } else if (message == MOM_CLOSE) {
    gate->MarkClosed();
  }
  gate->Leave();
}

UINT CMIDIOutDevice::WorkerMain(LPVOID param) {
  auto* port = static_cast<CMIDIOutDevice*>(param);
  const HANDLE event = port->m_gate->Event();
  while (port->m_state.load() == Opened) {
    // A wait the system can't do must not turn the worker into a spin.
    if (WaitForSingleObject(event, kWorkerWakeMilliseconds) == WAIT_FAILED) {
      Sleep(kWorkerWakeMilliseconds);
    }
    if (port->m_state.load() != Opened) break;
    port->m_queue.ReleaseFinished();
  }
  return 0;
}

}  // namespace midi
