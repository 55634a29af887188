// MIDI messages: short (channel) messages packed into one word, and long
// (system-exclusive) messages that own their bytes. Each can send itself
// through an output port.
#ifndef QUILLMOTE_MIDI_MESSAGES_H
#define QUILLMOTE_MIDI_MESSAGES_H

#include <windows.h>

#include <memory>

namespace midi {

class CMIDIOutDevice;

class CMIDIMsg {
 public:
  CMIDIMsg() = default;
  explicit CMIDIMsg(DWORD timeStamp) : m_timeStamp(timeStamp) {}
  virtual ~CMIDIMsg() = default;
  CMIDIMsg(const CMIDIMsg&) = delete;
  CMIDIMsg& operator=(const CMIDIMsg&) = delete;

  virtual void SendTo(CMIDIOutDevice& port) const = 0;
  virtual DWORD GetLength() const = 0;
  virtual const char* GetBytes() const = 0;

  DWORD GetTimeStamp() const { return m_timeStamp; }

 protected:
  DWORD m_timeStamp = 0;
};

// Bits 0-7 status, 8-15 data 1, 16-23 data 2; the top byte is carried along
// untouched and read by nobody.
class CShortMsg : public CMIDIMsg {
 public:
  CShortMsg(DWORD packed, DWORD timeStamp) : CMIDIMsg(timeStamp), m_packed(packed) {}
  // Parts are OR-ed unmasked: the status is exact only for a command with a
  // clear low nibble and a channel below 16.
  CShortMsg(BYTE command, BYTE channel, BYTE data1, BYTE data2, DWORD timeStamp)
      : CMIDIMsg(timeStamp),
        m_packed(static_cast<DWORD>(command | channel) | (static_cast<DWORD>(data1) << 8) |
                 (static_cast<DWORD>(data2) << 16)) {}

  void SendTo(CMIDIOutDevice& port) const override;
  DWORD GetLength() const override { return 3; }
  // On the little-endian target the first three bytes are the wire bytes.
  const char* GetBytes() const override { return reinterpret_cast<const char*>(&m_packed); }

  BYTE GetCommand() const { return static_cast<BYTE>(m_packed & 0xF0); }
  BYTE GetChannel() const { return static_cast<BYTE>(m_packed & 0x0F); }
  BYTE GetData1() const { return static_cast<BYTE>((m_packed >> 8) & 0xFF); }
  BYTE GetData2() const { return static_cast<BYTE>((m_packed >> 16) & 0xFF); }
  DWORD GetPacked() const { return m_packed; }

 private:
  DWORD m_packed;
};

// Owns a heap copy of exactly m_length bytes.
class CLongMsg : public CMIDIMsg {
 public:
  CLongMsg(const char* bytes, DWORD length);
  ~CLongMsg() override;

  // Replaces the owned bytes with a copy; the old block is freed first.
  void SetBytes(const char* bytes, DWORD length);

  void SendTo(CMIDIOutDevice& port) const override;
  DWORD GetLength() const override { return m_length; }
  const char* GetBytes() const override { return m_bytes; }

  // Messages up to this long (every display write) are held inside the
  // message, so that building one allocates nothing.
  static constexpr DWORD kInlineBytes = 48;

 private:
  // The bytes: in m_inline, or in m_heap for a longer message.
  char* m_bytes = nullptr;
  DWORD m_length = 0;
  std::unique_ptr<char[]> m_heap;
  char m_inline[kInlineBytes];
};

}  // namespace midi

#endif
