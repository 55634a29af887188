#include "midi/callback_gate.h"

#include <atomic>
#include <cstddef>

#include "framework/debug_output.h"

namespace midi {

void ReportUnfinishedClose(const char* port) {
  WriteDebugLine(debug_line::kPortCloseUnfinished, port);
}

namespace {

constexpr std::size_t kKeptMax = 256;
const void* g_kept[kKeptMax];
std::atomic<std::size_t> g_keptCount{0};

}  // namespace

void KeepForLateCallbacks(const void* object) noexcept {
  const std::size_t slot = g_keptCount.fetch_add(1);
  if (slot < kKeptMax) g_kept[slot] = object;
}

}  // namespace midi
