#include "midi/callback_gate.h"

#include <atomic>
#include <cstddef>

namespace midi {

void ReportUnfinishedClose(const char* port) {
  char line[128];
  wsprintfA(line, "Quillmote Midi %s port did not finish closing; its memory is kept\n", port);
  OutputDebugStringA(line);
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
