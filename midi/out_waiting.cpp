#include "midi/out_waiting.h"

namespace midi {

bool CFootprint::Covers(const CFootprint& other) const {
  if (kind != other.kind) return false;
  if (kind == kKey) return first == other.first;
  return kind == kCells && first <= other.first && other.last <= last;
}

bool CFootprint::Overlaps(const CFootprint& other) const {
  if (kind != other.kind) return false;
  if (kind == kKey) return first == other.first;
  return kind == kCells && first <= other.last && other.first <= last;
}

void CWaitingMessages::PopFront() {
  if (m_count == 0) return;
  for (std::size_t i = 1; i < m_count; ++i) m_entries[i - 1] = m_entries[i];
  --m_count;
}

std::size_t CWaitingMessages::Place(const CFootprint& footprint, bool* dropped) const {
  if (footprint.kind == CFootprint::kOpaque) return m_count;
  if (footprint.kind == CFootprint::kKey) {
    bool oldestKept = false;
    for (std::size_t i = 0; i < m_count; ++i) {
      if (!footprint.Covers(m_entries[i].footprint)) continue;
      if (oldestKept) dropped[i] = true;
      oldestKept = true;
    }
    return m_count;
  }
  // The write must stay behind every message it depends on: one of no
  // footprint, or a write it overlaps without covering.
  std::size_t barrier = 0;
  for (std::size_t i = 0; i < m_count; ++i) {
    const CFootprint& other = m_entries[i].footprint;
    if (other.kind == CFootprint::kOpaque ||
        (footprint.Overlaps(other) && !footprint.Covers(other))) {
      barrier = i + 1;
    }
  }
  std::size_t place = m_count;
  bool oldestKept = false;
  for (std::size_t i = 0; i < m_count; ++i) {
    if (!footprint.Covers(m_entries[i].footprint)) continue;
    if (i < barrier) {
      if (oldestKept) dropped[i] = true;
      oldestKept = true;
    } else {
      dropped[i] = true;
      if (place == m_count) place = i;
    }
  }
  return place;
}

}  // namespace midi
