// A first-in, first-out queue of system headers with its own lock. The queue
// owns its entries: removing one releases it against the system and frees it.
#ifndef QUILLMOTE_MIDI_HEADER_QUEUE_H
#define QUILLMOTE_MIDI_HEADER_QUEUE_H

#include <windows.h>

#include <cstddef>
#include <deque>

namespace midi {

// THeader offers Release() (give it back to the system; false when the system
// refuses) and IsDone() (the system has finished with it).
template <class THeader>
class CHeaderQueue {
 public:
  CHeaderQueue() { InitializeCriticalSection(&m_lock); }
  ~CHeaderQueue() {
    ReleaseAll();
    DeleteCriticalSection(&m_lock);
  }
  CHeaderQueue(const CHeaderQueue&) = delete;
  CHeaderQueue& operator=(const CHeaderQueue&) = delete;

  // May throw std::bad_alloc; the queue is then unchanged.
  void PushBack(THeader* header) {
    Locked lock(m_lock);
    m_entries.push_back(header);
  }

  // Removes the entry without releasing it; the caller owns it again.
  bool Remove(THeader* header) {
    Locked lock(m_lock);
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
      if (*it == header) {
        m_entries.erase(it);
        return true;
      }
    }
    return false;
  }

  void ReleaseOne() {
    Locked lock(m_lock);
    if (!m_entries.empty() && Free(m_entries.front())) m_entries.pop_front();
  }

  // Releases every entry the system has finished with, wherever it stands:
  // with two threads sending, queue order need not be completion order, and
  // done notifications merge in the auto-reset event. An entry the system
  // won't take back stays queued and is offered again next time; freeing it
  // would leave the system a header it still counts as prepared.
  void ReleaseDone() {
    Locked lock(m_lock);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
      if ((*it == nullptr || (*it)->IsDone()) && Free(*it)) {
        it = m_entries.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Releases every entry; those the system refuses are freed all the same.
  // Only for when the system can no longer touch them.
  void ReleaseAll() {
    Locked lock(m_lock);
    while (!m_entries.empty()) {
      if (!Free(m_entries.front())) delete m_entries.front();
      m_entries.pop_front();
    }
  }

  // Frees every entry without asking the system: for once the device is
  // closed and the system has given back all it had.
  void Discard() {
    Locked lock(m_lock);
    for (THeader* header : m_entries) delete header;
    m_entries.clear();
  }

  bool AllDone() const {
    Locked lock(m_lock);
    for (THeader* header : m_entries) {
      if (header != nullptr && !header->IsDone()) return false;
    }
    return true;
  }

  std::size_t Size() const {
    Locked lock(m_lock);
    return m_entries.size();
  }

  // Drops every entry without touching it. Only for headers that the system
  // never gave back: freeing memory it may still write to would be worse
  // than losing it.
  void Abandon() {
    Locked lock(m_lock);
    m_entries.clear();
  }

 private:
  class Locked {
   public:
    explicit Locked(CRITICAL_SECTION& cs) : m_cs(cs) { EnterCriticalSection(&m_cs); }
    ~Locked() { LeaveCriticalSection(&m_cs); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

   private:
    CRITICAL_SECTION& m_cs;
  };

  static bool Free(THeader* header) {
    if (header == nullptr) return true;
    if (!header->Release()) return false;
    delete header;
    return true;
  }

  std::deque<THeader*> m_entries;
  mutable CRITICAL_SECTION m_lock;
};

}  // namespace midi

#endif
