#ifndef QUILLMOTE_CONTROLLER_NUMERIC_H
#define QUILLMOTE_CONTROLLER_NUMERIC_H

#include <cmath>
#include <cstdint>
#include <limits>

// Converts to a 32-bit integer by truncation toward zero, as the processor's
// conversion does, without undefined behaviour for values out of range: they
// saturate, and NaN gives the most negative value (the processor's answer).
inline int32_t TruncateToInt32(double value) {
  if (std::isnan(value)) return std::numeric_limits<int32_t>::min();
  if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

#endif
