// What the two halves of WineMachine share: its process and requests
// (wine_machine.cpp) and the calls that go through them
// (wine_machine_calls.cpp).
#ifndef QUILLMOTE_TOOLS_DESK_WINE_MACHINE_PARTS_H
#define QUILLMOTE_TOOLS_DESK_WINE_MACHINE_PARTS_H

#include <string>
#include <vector>

#include "machine.h"
#include "protocol.h"

namespace desk::wine {

constexpr int kReplyTimeoutMs = 60000;
constexpr std::size_t kNameBufferSize = 64;
constexpr std::size_t kCommandNameSize = 256;

using protocol::Hex;
using protocol::Unhex;

inline bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// Splits at single spaces, keeping empty fields (an empty text in hex).
inline std::vector<std::string> Fields(const std::string& text, char separator = ' ') {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    fields.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return fields;
    start = end + 1;
  }
}

inline std::string FormatDouble(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

inline std::string Argument(const UpdateArg& arg) {
  switch (arg.kind) {
    case UpdateArg::kNumber:
      return std::to_string(arg.number);
    case UpdateArg::kDouble:
      return "d:" + FormatDouble(arg.value);
    case UpdateArg::kText:
      return "s:" + Hex(arg.text.data(), arg.text.size());
  }
  return "0";
}

}  // namespace desk::wine

#endif
