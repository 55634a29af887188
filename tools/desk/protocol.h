// The line protocol between the desk and quillmote-bridge.exe, shared by both
// ends: texts and bytes travel as hexadecimal, two digits a byte.
#ifndef QUILLMOTE_TOOLS_DESK_PROTOCOL_H
#define QUILLMOTE_TOOLS_DESK_PROTOCOL_H

#include <cstddef>
#include <string>

namespace desk::protocol {

inline std::string Hex(const void* data, std::size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string text;
  text.reserve(length * 2);
  for (std::size_t i = 0; i < length; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Exactly pairs of hexadecimal digits, nothing else (no sign, no space);
// false leaves `out` empty.
inline bool Unhex(const std::string& text, std::string* out) {
  out->clear();
  if (text.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) {
      out->clear();
      return false;
    }
    out->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

}  // namespace desk::protocol

#endif
