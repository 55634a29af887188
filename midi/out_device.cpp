#include "midi/out_device.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "framework/debug_output.h"

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

void CMIDIOutHeader::Fill(const char* bytes, DWORD length) {
  m_length = std::min(length, m_capacity);
  if (m_length != 0) std::memcpy(Bytes(), bytes, m_length);
}

void CMIDIOutHeader::Prepare(HMIDIOUT handle) {
  m_handle = handle;
  m_header = MIDIHDR{};
  m_header.lpData = Bytes();
  m_header.dwBufferLength = m_length;
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

CMIDIOutDevice::~CMIDIOutDevice() {
  Close();
  DeleteCriticalSection(&m_sendLock);
}

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
  m_refusalSaid = false;
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
  // What waits goes out as the system takes it. A send stuck in the driver
  // holds the lock: then only the bound ends the wait.
  auto drained = [this] {
    if (!TryEnterCriticalSection(&m_sendLock)) return false;
    m_queue.ReleaseFinished();
    Pump();
    const bool done = m_waiting.Empty() && m_queue.AllFinished();
    LeaveCriticalSection(&m_sendLock);
    return done;
  };
  if (!WaitUntil(drained, left(kDrainBound))) {
    GiveUpWaiting();
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
  // Any message of the handle says the system may have finished something:
  // each header it has marked done is given back, those whose message was
  // lost among them, and what waits goes out.
  OnPortWake();
}

void CMIDIOutDevice::OnPortWake() {
  m_queue.ReleaseFinished();
  CLocked lock(m_sendLock);
  Pump();
}

std::size_t CMIDIOutDevice::WaitingMessages() const {
  CLocked lock(m_sendLock);
  return m_waiting.Size();
}

void CMIDIOutDevice::SendShortMsg(DWORD packed) {
  if (m_state.load() != Opened) return;
  CLocked lock(m_sendLock);
  Pump();
  if (m_waiting.Empty()) {
    SendShortNow(packed);
    return;
  }
  CWaitingMessages::Entry entry;
  entry.packed = packed;
  entry.footprint = FootprintOf(packed);
  Hold(entry);
}

void CMIDIOutDevice::SendLongMsg(const char* bytes, DWORD length) {
  if (m_state.load() != Opened) return;
  // What the system has finished with is reused now, not only once the
  // port's thread comes round to it: a host that writes faster than that
  // thread is scheduled needs no more headers for it.
  m_queue.ReleaseFinished();
  CMIDIOutHeader* header = m_queue.TakeSpare(length);
  if (header == nullptr) {
    try {
      header = CMIDIOutHeader::Create(length);
    } catch (const std::bad_alloc&) {
      throw CMIDIOutMemFailure();
    }
  }
  header->Fill(bytes, length);
  CLocked lock(m_sendLock);
  Pump();
  if (m_waiting.Empty() && m_queue.Unfinished() < kWritesInFlight) {
    SendNow(header);
    return;
  }
  CWaitingMessages::Entry entry;
  entry.header = header;
  entry.footprint = FootprintOf(*header);
  Hold(entry);
}

void CMIDIOutDevice::Pump() {
  while (!m_waiting.Empty()) {
    const CWaitingMessages::Entry head = m_waiting.Front();
    if (head.header != nullptr && m_queue.Unfinished() >= kWritesInFlight) return;
    m_waiting.PopFront();
    SendWaiting(head);
  }
}

void CMIDIOutDevice::SendNow(CMIDIOutHeader* header) {
  try {
    header->Prepare(m_handle);
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

void CMIDIOutDevice::SendShortNow(DWORD packed) {
  MMRESULT result = midiOutShortMsg(m_handle, packed);
  if (result != MMSYSERR_NOERROR) throw CMIDIOutException(result);
}

void CMIDIOutDevice::Hold(const CWaitingMessages::Entry& entry) {
  // Full only with messages nothing can leave out: the oldest goes on at
  // once, as it would without holding.
  if (m_waiting.Full()) {
    const CWaitingMessages::Entry head = m_waiting.Front();
    m_waiting.PopFront();
    SendWaiting(head);
  }
  m_waiting.Add(entry, [this](const CWaitingMessages::Entry& left) { LeaveOut(left); });
}

void CMIDIOutDevice::SendWaiting(const CWaitingMessages::Entry& entry) noexcept {
  try {
    if (entry.header != nullptr) {
      SendNow(entry.header);
    } else {
      SendShortNow(entry.packed);
    }
  } catch (const CMIDIOutException& e) {
    // Nobody is there to take the failure: the message is gone, the port
    // goes on, and a person reading the debugger output learns it once.
    if (!m_refusalSaid) WriteDebugLine(debug_line::kWaitingRefused, e.what());
    m_refusalSaid = true;
  } catch (...) {
  }
}

void CMIDIOutDevice::LeaveOut(const CWaitingMessages::Entry& entry) noexcept {
  if (entry.header != nullptr) m_queue.GiveSpare(entry.header);
}

CFootprint CMIDIOutDevice::FootprintOf(const CMIDIOutHeader& header) const {
  const CFootprints* footprints = m_footprints.load();
  return footprints != nullptr ? footprints->OfLong(header.Data(), header.Length()) : CFootprint{};
}

CFootprint CMIDIOutDevice::FootprintOf(DWORD packed) const {
  const CFootprints* footprints = m_footprints.load();
  return footprints != nullptr ? footprints->OfShort(packed) : CFootprint{};
}

bool CMIDIOutDevice::GiveUpWaiting() noexcept {
  if (!TryEnterCriticalSection(&m_sendLock)) return false;
  const auto count = static_cast<unsigned>(m_waiting.Size());
  m_waiting.Clear([this](const CWaitingMessages::Entry& left) { LeaveOut(left); });
  LeaveCriticalSection(&m_sendLock);
  if (count != 0) WriteDebugLine(debug_line::kWaitingGivenUp, count);
  return true;
}

void CMIDIOutDevice::GetDevCaps(UINT deviceId, MIDIOUTCAPSA& caps) {
  MMRESULT result = midiOutGetDevCapsA(deviceId, &caps, sizeof caps);
  if (result != MMSYSERR_NOERROR) throw CMIDIOutException(result);
}

}  // namespace midi
