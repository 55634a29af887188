// user32's formatter: the small printf of Windows, with its own rules (l means
// 32 bits, no floating point, output cut at 1024 bytes).
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "sim_state.h"

namespace {

// The output buffer's size, terminating NUL included.
constexpr std::size_t kOutputLimit = 1024;

class Output {
 public:
  explicit Output(char* buffer) : buffer_(buffer) {}

  void Put(char c) {
    if (length_ < kOutputLimit - 1) buffer_[length_++] = c;
  }
  void Put(std::string_view text) {
    for (char c : text) Put(c);
  }
  void Repeat(char c, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) Put(c);
  }
  int Finish() {
    buffer_[length_] = '\0';
    return static_cast<int>(length_);
  }

 private:
  char* buffer_;
  std::size_t length_ = 0;
};

struct Spec {
  bool left = false;       // '-'
  bool zero = false;       // '0'
  bool alternate = false;  // '#': 0x before hexadecimal
  std::size_t width = 0;
  int precision = -1;  // -1: none given
  char size = 0;       // 'l', 'h' or 0
};

void PutField(Output& out, const Spec& spec, std::string_view body) {
  const std::size_t pad = spec.width > body.size() ? spec.width - body.size() : 0;
  if (!spec.left) out.Repeat(spec.zero ? '0' : ' ', pad);
  out.Put(body);
  if (spec.left) out.Repeat(' ', pad);
}

void PutNumber(Output& out, const Spec& spec, uint32_t magnitude, bool negative, unsigned base,
               bool upper) {
  const char* digit_chars = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[16];
  std::size_t count = 0;
  if (!(magnitude == 0 && spec.precision == 0)) {
    uint32_t rest = magnitude;
    do {
      digits[count++] = digit_chars[rest % base];
      rest /= base;
    } while (rest != 0);
  }

  std::string_view prefix;
  if (negative) {
    prefix = "-";
  } else if (spec.alternate && base == 16 && magnitude != 0) {
    prefix = upper ? "0X" : "0x";
  }
  std::size_t zeros = spec.precision > 0 && static_cast<std::size_t>(spec.precision) > count
                          ? static_cast<std::size_t>(spec.precision) - count
                          : 0;
  const std::size_t length = prefix.size() + zeros + count;
  std::size_t spaces = spec.width > length ? spec.width - length : 0;
  // Zero padding goes between the sign or prefix and the digits, and only
  // when neither '-' nor a precision asks otherwise.
  if (spec.zero && !spec.left && spec.precision < 0) {
    zeros += spaces;
    spaces = 0;
  }

  if (!spec.left) out.Repeat(' ', spaces);
  out.Put(prefix);
  out.Repeat('0', zeros);
  while (count > 0) out.Put(digits[--count]);
  if (spec.left) out.Repeat(' ', spaces);
}

std::size_t Digits(const char*& p) {
  std::size_t value = 0;
  while (*p >= '0' && *p <= '9') {
    if (value < kOutputLimit) value = value * 10 + static_cast<std::size_t>(*p - '0');
    ++p;
  }
  return value;
}

int Format(char* buffer, const char* format, va_list args) {
  Output out(buffer);
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      out.Put(*p);
      continue;
    }
    ++p;
    Spec spec;
    for (;; ++p) {
      if (*p == '-') {
        spec.left = true;
      } else if (*p == '0') {
        spec.zero = true;
      } else if (*p == '#') {
        spec.alternate = true;
      } else {
        break;
      }
    }
    spec.width = Digits(p);
    if (*p == '.') {
      ++p;
      spec.precision = static_cast<int>(Digits(p));
    }
    if (*p == 'l' || *p == 'h') spec.size = *p++;

    switch (const char conversion = *p) {
      case '\0':
        return out.Finish();
      case 'c':
      case 'C': {
        const char c = static_cast<char>(va_arg(args, int));
        PutField(out, spec, std::string_view(&c, 1));
        break;
      }
      case 'd':
      case 'i': {
        int32_t value = va_arg(args, int32_t);
        if (spec.size == 'h') value = static_cast<int16_t>(value);
        const uint32_t magnitude =
            value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
        PutNumber(out, spec, magnitude, value < 0, 10, false);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        uint32_t value = va_arg(args, uint32_t);
        if (spec.size == 'h') value = static_cast<uint16_t>(value);
        PutNumber(out, spec, value, false, conversion == 'u' ? 10 : 16, conversion == 'X');
        break;
      }
      case 's':
      case 'S': {
        // %S and %ls take a string of 16-bit characters, as on Windows.
        if (conversion == 'S' || spec.size == 'l') {
          const char16_t* wide = va_arg(args, const char16_t*);
          char narrow[kOutputLimit];
          std::size_t n = 0;
          if (wide == nullptr) wide = u"(null)";
          for (; wide[n] != 0 && n < kOutputLimit &&
                 (spec.precision < 0 || n < static_cast<std::size_t>(spec.precision));
               ++n) {
            narrow[n] = wide[n] < 0x80 ? static_cast<char>(wide[n]) : '?';
          }
          PutField(out, spec, std::string_view(narrow, n));
        } else {
          const char* text = va_arg(args, const char*);
          if (text == nullptr) text = "(null)";
          const std::size_t n = spec.precision < 0
                                    ? std::strlen(text)
                                    : strnlen(text, static_cast<std::size_t>(spec.precision));
          PutField(out, spec, std::string_view(text, n));
        }
        break;
      }
      default:
        // '%%', and anything unknown, stands for itself.
        out.Put(conversion);
        break;
    }
  }
  return out.Finish();
}

}  // namespace

extern "C" {

int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist) {
  qmsim::Guarded([] { qmsim::EnterCall("wvsprintfA"); });
  if (lpOut == nullptr) return 0;
  if (lpFmt == nullptr) {
    *lpOut = '\0';
    return 0;
  }
  return Format(lpOut, lpFmt, arglist);
}

int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
  qmsim::Guarded([] { qmsim::EnterCall("wsprintfA"); });
  if (lpOut == nullptr) return 0;
  if (lpFmt == nullptr) {
    *lpOut = '\0';
    return 0;
  }
  va_list args;
  va_start(args, lpFmt);
  const int length = Format(lpOut, lpFmt, args);
  va_end(args);
  return length;
}

}  // extern "C"
