#include "midi/out_device.h"

#include <algorithm>
#include <atomic>
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

bool CMIDIOutHeader::IsFinished() const {
  auto& flags = const_cast<DWORD&>(m_header.dwFlags);
  return (std::atomic_ref<DWORD>(flags).load(std::memory_order_acquire) & MHDR_DONE) != 0;
}

CMIDIOutDevice::~CMIDIOutDevice() { Close(); }

void CMIDIOutDevice::Open(UINT deviceId) {
  Close();
  CPortThread::StartFailure failure;
  m_thread = CPortThread::Start(this, MM_MOM_CLOSE, failure);
  if (m_thread == nullptr && failure == CPortThread::kNoEvent) throw CMIDIOutEventFailure();
  if (m_thread == nullptr) throw CMIDIOutThreadFailure();
  MMRESULT result = midiOutOpen(&m_handle, deviceId, m_thread->ThreadId(), 0, CALLBACK_THREAD);
  if (result != MMSYSERR_NOERROR) {
    m_thread->Release();
    m_thread = nullptr;
    m_handle = nullptr;
    throw CMIDIOutException(result);
  }
  m_thread->SetHandle(reinterpret_cast<UINT_PTR>(m_handle));
  m_state = Opened;
}

void CMIDIOutDevice::Close() noexcept {
  if (m_state.load() != Opened) return;
  m_state = Closed;
  const DWORD start = GetTickCount();
  // What is left of a bound counted from the start of the close.
  const auto left = [start](DWORD bound) {
    const DWORD spent = GetTickCount() - start;
    return spent < bound ? bound - spent : 0;
  };
  // From here on only this thread gives headers back.
  const bool detached = m_thread->Detach(left(kDrainBound));
  auto allFinished = [this] { return m_queue.AllFinished(); };
  if (!WaitUntil(allFinished, left(kDrainBound))) {
    // Takes back what the device still holds (and sends note-offs).
    midiOutReset(m_handle);
    WaitUntil(allFinished, left(kResetBound));
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
  CPortThread* thread = m_thread;
  if (closed) WaitUntil([thread] { return thread->CloseSeen(); }, left(kCloseBound));
  thread->Release();
  m_thread = nullptr;
  if (closed && detached) {
    // A closed device holds none of the headers any more, whatever it still
    // posts about them: what it would not unprepare is freed all the same.
    m_queue.Discard();
    return;
  }
  // The device may still write to these headers: lost, not freed.
  m_queue.Abandon();
  ReportUnfinishedClose("output");
}

void CMIDIOutDevice::OnPortMessage(UINT, LPARAM, DWORD) {
  // A done message only wakes the thread: the wake finds every header the
  // system has marked done, those whose message was lost among them.
}

void CMIDIOutDevice::OnPortWake() { m_queue.ReleaseFinished(); }

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
  // Queued before the system sees it, so that the port's thread finds it
  // once the system marks it done.
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

}  // namespace midi
