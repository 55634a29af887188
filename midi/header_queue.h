// The system headers a port has handed over, with their own lock, and the
// spare headers it keeps for reuse.
//
// The queue is a list threaded through the headers themselves (m_next), so
// that queueing and releasing allocate nothing: once a port is warm, a
// steady stream of messages reuses the same few headers.
#ifndef QUILLMOTE_MIDI_HEADER_QUEUE_H
#define QUILLMOTE_MIDI_HEADER_QUEUE_H

#include <windows.h>

#include <cstddef>

#include "midi/port_thread.h"

namespace midi {

// Holds a critical section for as long as it lives.
class CLocked {
 public:
  explicit CLocked(CRITICAL_SECTION& cs) : m_cs(cs) { EnterCriticalSection(&m_cs); }
  ~CLocked() { LeaveCriticalSection(&m_cs); }
  CLocked(const CLocked&) = delete;
  CLocked& operator=(const CLocked&) = delete;

 private:
  CRITICAL_SECTION& m_cs;
};

// THeader has a `THeader* m_next` the queue may use, Release() (give it back
// to the system; false when the system refuses), IsFinished() (the system
// is done with it, its callback included), Capacity() (bytes it can hold)
// and a static Destroy().
template <class THeader>
class CHeaderQueue {
 public:
  // Spare headers kept for reuse; more than a burst's worth is given back
  // to the heap.
  static constexpr std::size_t kMaxSpares = 64;

  CHeaderQueue() { InitializeCriticalSection(&m_lock); }
  ~CHeaderQueue() {
    ReleaseAll();
    FreeSpares();
    DeleteCriticalSection(&m_lock);
  }
  CHeaderQueue(const CHeaderQueue&) = delete;
  CHeaderQueue& operator=(const CHeaderQueue&) = delete;

  void PushBack(THeader* header) {
    CLocked lock(m_lock);
    header->m_next = nullptr;
    if (m_tail != nullptr) {
      m_tail->m_next = header;
    } else {
      m_head = header;
    }
    m_tail = header;
    ++m_size;
  }

  // Removes the entry without releasing it; the caller owns it again.
  bool Remove(THeader* header) {
    CLocked lock(m_lock);
    return Unlink(header);
  }

  // Releases every entry the system has finished with, wherever it stands:
  // with two threads sending, queue order need not be completion order, and
  // done notifications merge in the worker's event. An entry the system
  // won't take back stays queued and is offered again next time; freeing it
  // would leave the system a header it still counts as prepared.
  void ReleaseFinished() {
    CLocked lock(m_lock);
    THeader* previous = nullptr;
    for (THeader* header = m_head; header != nullptr;) {
      THeader* next = header->m_next;
      if (header->IsFinished() && header->Release()) {
        (previous != nullptr ? previous->m_next : m_head) = next;
        if (m_tail == header) m_tail = previous;
        --m_size;
        KeepOrDestroy(header);
      } else {
        previous = header;
      }
      header = next;
    }
  }

  // Releases every entry; those the system refuses are freed all the same.
  // Only for when the system can no longer touch them.
  void ReleaseAll() {
    CLocked lock(m_lock);
    while (m_head != nullptr) {
      THeader* header = m_head;
      Unlink(header);
      header->Release();
      THeader::Destroy(header);
    }
  }

  // Frees every entry without asking the system: for once the handle is
  // closed and none of its callbacks can come any more.
  void Discard() {
    CLocked lock(m_lock);
    while (m_head != nullptr) {
      THeader* header = m_head;
      Unlink(header);
      THeader::Destroy(header);
    }
  }

  // Drops every entry without touching it. Only for headers that a callback
  // may still reach: losing their memory is better than freeing it under
  // the system. (The list runs through them, so its head keeps them all.)
  void Abandon() {
    CLocked lock(m_lock);
    if (m_head != nullptr) KeepForLateCallbacks(m_head);
    m_head = m_tail = nullptr;
    m_size = 0;
  }

  bool AllFinished() const {
    CLocked lock(m_lock);
    for (const THeader* header = m_head; header != nullptr; header = header->m_next) {
      if (!header->IsFinished()) return false;
    }
    return true;
  }

  std::size_t Size() const {
    CLocked lock(m_lock);
    return m_size;
  }

  // Entries the system has not finished with yet.
  std::size_t Unfinished() const {
    CLocked lock(m_lock);
    std::size_t count = 0;
    for (const THeader* header = m_head; header != nullptr; header = header->m_next) {
      if (!header->IsFinished()) ++count;
    }
    return count;
  }

  // A spare header that holds at least `capacity` bytes, or null.
  THeader* TakeSpare(DWORD capacity) {
    CLocked lock(m_lock);
    THeader** link = &m_spares;
    for (THeader* header = m_spares; header != nullptr; header = header->m_next) {
      if (header->Capacity() >= capacity) {
        *link = header->m_next;
        --m_spareCount;
        header->m_next = nullptr;
        return header;
      }
      link = &header->m_next;
    }
    return nullptr;
  }

  // Takes back a header that was never handed to the system.
  void GiveSpare(THeader* header) {
    CLocked lock(m_lock);
    KeepOrDestroy(header);
  }

  std::size_t Spares() const {
    CLocked lock(m_lock);
    return m_spareCount;
  }

 private:
  bool Unlink(THeader* header) {
    THeader* previous = nullptr;
    for (THeader* entry = m_head; entry != nullptr; previous = entry, entry = entry->m_next) {
      if (entry != header) continue;
      (previous != nullptr ? previous->m_next : m_head) = entry->m_next;
      if (m_tail == entry) m_tail = previous;
      entry->m_next = nullptr;
      --m_size;
      return true;
    }
    return false;
  }

  void KeepOrDestroy(THeader* header) {
    if (m_spareCount >= kMaxSpares) {
      THeader::Destroy(header);
      return;
    }
    header->m_next = m_spares;
    m_spares = header;
    ++m_spareCount;
  }

  void FreeSpares() {
    CLocked lock(m_lock);
    while (m_spares != nullptr) {
      THeader* header = m_spares;
      m_spares = header->m_next;
      THeader::Destroy(header);
    }
    m_spareCount = 0;
  }

  THeader* m_head = nullptr;
  THeader* m_tail = nullptr;
  std::size_t m_size = 0;
  THeader* m_spares = nullptr;
  std::size_t m_spareCount = 0;
  mutable CRITICAL_SECTION m_lock;
};

}  // namespace midi

#endif
