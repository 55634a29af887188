// The messages an output port holds back while the wire does not keep up,
// in the order they are to go out.
//
// A surface cable carries a few thousand bytes a second; a host that
// scrolls through tracks writes the display far faster. Sent as they come,
// the writes queue up in the driver and the surface shows what was current
// seconds ago. Held here instead, a waiting write that later waiting writes
// make invisible (every cell it sets is set again after it) is left out, so
// that what reaches the wire is what the surface is to show now.
//
// What the later messages may leave out is said by each message's
// footprint, which the port's user tells (CFootprints): the port knows
// nothing of any surface. Three rules keep the surface's final state that
// of every message applied in order:
//  - a message with no footprint is never left out, and nothing moves ahead
//    of it;
//  - a cell write takes the place of the oldest waiting write it covers,
//    unless a waiting message in between overlaps it without being covered
//    (it then goes behind the last of those); writes it covers are left
//    out, but for the oldest one ahead of such an overlap, which keeps its
//    place so that those cells keep reaching the wire while both fields
//    change faster than it carries them;
//  - a keyed message (a lamp) always goes last; of the waiting ones with
//    its key, the oldest keeps its place, those between it and the new one
//    are left out.
// So no message overtakes one of its kind that it depends on, keyed
// messages keep their order behind every write handed over before them,
// and at most two messages wait for any one field or key.
#ifndef QUILLMOTE_MIDI_OUT_WAITING_H
#define QUILLMOTE_MIDI_OUT_WAITING_H

#include <windows.h>

#include <cstddef>

namespace midi {

class CMIDIOutHeader;

// What a message sets on the far side.
struct CFootprint {
  enum Kind : BYTE {
    kOpaque,  // unknown: never left out, never overtaken
    kCells,   // cells first to last of a display
    kKey,     // one state (a lamp) that the newest message of the key sets
  };
  Kind kind = kOpaque;
  WORD first = 0;  // kCells: the first cell; kKey: the key
  WORD last = 0;   // kCells: the last cell

  bool Covers(const CFootprint& other) const;
  bool Overlaps(const CFootprint& other) const;
};

// Tells a message's footprint. Called under the port's lock, on any thread
// that sends and on the port's own thread; must not call the port.
class CFootprints {
 public:
  virtual CFootprint OfLong(const char* bytes, DWORD length) const = 0;
  virtual CFootprint OfShort(DWORD packed) const = 0;

 protected:
  ~CFootprints() = default;
};

// A fixed list: holding a message allocates nothing.
class CWaitingMessages {
 public:
  // Two per field and lamp of a surface with room to spare; a port whose
  // list is full sends its oldest message on at once.
  static constexpr std::size_t kCapacity = 48;

  struct Entry {
    CMIDIOutHeader* header = nullptr;  // a long message's bytes; null for a short one
    DWORD packed = 0;                  // a short message
    CFootprint footprint;
  };

  bool Empty() const { return m_count == 0; }
  bool Full() const { return m_count == kCapacity; }
  std::size_t Size() const { return m_count; }
  const Entry& Front() const { return m_entries[0]; }
  void PopFront();

  // Adds a message (the list must not be full) and leaves out what it makes
  // invisible: `leaveOut` gets each entry taken out, to free what it holds.
  template <class LeaveOut>
  void Add(const Entry& entry, LeaveOut leaveOut) {
    bool dropped[kCapacity] = {};
    const std::size_t place = Place(entry.footprint, dropped);
    std::size_t kept = 0;
    std::size_t at = m_count;  // where the entry goes among those kept
    for (std::size_t i = 0; i < m_count; ++i) {
      if (i == place) at = kept;
      if (dropped[i]) {
        leaveOut(m_entries[i]);
        continue;
      }
      m_entries[kept++] = m_entries[i];
    }
    if (place == m_count) at = kept;
    for (std::size_t i = kept; i > at; --i) m_entries[i] = m_entries[i - 1];
    m_entries[at] = entry;
    m_count = kept + 1;
  }

  // Takes every entry out, oldest first.
  template <class LeaveOut>
  void Clear(LeaveOut leaveOut) {
    for (std::size_t i = 0; i < m_count; ++i) leaveOut(m_entries[i]);
    m_count = 0;
  }

 private:
  // Marks what a new message with this footprint leaves out, and returns the
  // index among the present entries before which it goes (m_count: last).
  std::size_t Place(const CFootprint& footprint, bool* dropped) const;

  Entry m_entries[kCapacity];
  std::size_t m_count = 0;
};

}  // namespace midi

#endif
