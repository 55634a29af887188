#include "midi/messages.h"

#include <cstring>

#include "midi/out_device.h"

namespace midi {

void CShortMsg::SendTo(CMIDIOutDevice& port) const { port.SendShortMsg(m_packed); }

CLongMsg::CLongMsg(const char* bytes, DWORD length) { SetBytes(bytes, length); }

CLongMsg::~CLongMsg() {
  if (m_bytes != m_inline) delete[] m_bytes;
}

void CLongMsg::SetBytes(const char* bytes, DWORD length) {
  // The new block is filled before the old one goes, so that the bytes may
  // come from this message itself and a failed allocation changes nothing.
  char* block = length <= kInlineBytes ? m_inline : new char[length];
  if (length != 0) std::memmove(block, bytes, length);
  if (m_bytes != m_inline) delete[] m_bytes;
  m_bytes = block;
  m_length = length;
}

void CLongMsg::SendTo(CMIDIOutDevice& port) const { port.SendLongMsg(m_bytes, m_length); }

}  // namespace midi
