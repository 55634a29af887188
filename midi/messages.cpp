#include "midi/messages.h"

#include "midi/out_device.h"

namespace midi {

void CShortMsg::SendTo(CMIDIOutDevice& port) const { port.SendShortMsg(m_packed); }

CLongMsg::CLongMsg(const char* bytes, DWORD length) { SetBytes(bytes, length); }

CLongMsg::~CLongMsg() { delete[] m_bytes; }

void CLongMsg::SetBytes(const char* bytes, DWORD length) {
  delete[] m_bytes;
  m_bytes = nullptr;
  m_length = 0;
  m_bytes = new char[length];
  m_length = length;
  for (DWORD i = 0; i < length; ++i) m_bytes[i] = bytes[i];
}

void CLongMsg::SendTo(CMIDIOutDevice& port) const { port.SendLongMsg(m_bytes, m_length); }

}  // namespace midi
