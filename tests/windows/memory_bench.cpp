// How much the process's committed memory grows over a long stream of meter
// writes through the real DLL: a benchmark that reports its figures, not a
// test. The done notifications come back in bursts of twenty, or after 5 ms
// at the latest, as a busy driver returns them.
//
// Wine keeps PrivateUsage at 0, so the figure is PagefileUsage. The
// simulated surface records every message it receives; that record is
// emptied as the run goes, so that it does not count as the plug-in's.
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "simctl.h"
#include "wine_rig.h"

namespace {

constexpr int kWarmUp = 500;
constexpr int kWrites = 10000;
constexpr int kRuns = 5;
constexpr unsigned kBurst = 20;
constexpr DWORD kLatestMilliseconds = 5;

SIZE_T Committed() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.PagefileUsage;
}

// Meter writes with changing levels; held completions are let go in bursts.
void Stream(const wine::Plugin& plugin, unsigned device, int writes, DWORD& lastRelease) {
  for (int i = 0; i < writes; ++i) {
    const double levels[2] = {(i % 97) / 96.0, (i % 89) / 88.0};
    plugin.Update(HostCode::kLevels, wine::Plugin::Address(&levels[0]),
                  wine::Plugin::Address(&levels[1]));
    const bool burst = (i + 1) % kBurst == 0;
    if (burst || GetTickCount() - lastRelease >= kLatestMilliseconds) {
      sim_release_completions(device, burst ? kBurst : ~0u, 0);
      lastRelease = GetTickCount();
    }
    if ((i + 1) % 1000 == 0) sim_clear_sent();
  }
  sim_release_completions(device, ~0u, 0);
}

}  // namespace

int main() {
  const wine::Plugin& plugin = wine::Plugin::Get();
  if (!plugin.Loaded()) {
    std::fprintf(stderr, "error: cannot load %s\n", QM_PLUGIN_FILE);
    return 1;
  }
  std::vector<long long> growth;
  for (int run = 0; run < kRuns; ++run) {
    test::FakeHost host;
    test::SimSurface surface;
    if (plugin.Open(host.Services()) != 1) {
      std::fprintf(stderr, "error: the plug-in did not attach\n");
      return 1;
    }
    sim_hold_completions(1);
    DWORD lastRelease = GetTickCount();
    Stream(plugin, surface.output(), kWarmUp, lastRelease);
    sim_wait_idle(10000);
    sim_clear_sent();
    const SIZE_T before = Committed();
    Stream(plugin, surface.output(), kWrites, lastRelease);
    sim_wait_idle(10000);
    sim_clear_sent();
    const SIZE_T after = Committed();
    sim_hold_completions(0);
    plugin.Close();
    growth.push_back((static_cast<long long>(after) - static_cast<long long>(before)) / 1024);
    std::printf("run %d: committed memory %+lld KB over %d meter writes\n", run + 1, growth.back(),
                kWrites);
  }
  std::sort(growth.begin(), growth.end());
  std::printf("median: %+lld KB (range %+lld to %+lld KB) over %d writes after %d to warm up\n",
              growth[kRuns / 2], growth.front(), growth.back(), kWrites, kWarmUp);
  return 0;
}
