#include "midi/messages.h"

#include <cstring>

#include "midi/out_device.h"

namespace midi {

void CShortMsg::SendTo(CMIDIOutDevice& port) const { port.SendShortMsg(m_packed); }

CLongMsg::CLongMsg(const char* bytes, DWORD length) { SetBytes(bytes, length); }

CLongMsg::~CLongMsg() = default;

void CLongMsg::SetBytes(const char* bytes, DWORD length) {
  // The new block is filled before the old one goes, so that the bytes may
  // come from this message itself and a failed allocation changes nothing.
  std::unique_ptr<char[]> heap(length <= kInlineBytes ? nullptr : new char[length]);
  char* block = heap ? heap.get() : m_inline;
  if (length != 0) std::memmove(block, bytes, length);
  m_heap = std::move(heap);
  m_bytes = block;
  m_length = length;
}

void CLongMsg::SendTo(CMIDIOutDevice& port) const { port.SendLongMsg(m_bytes, m_length); }

}  // namespace midi
