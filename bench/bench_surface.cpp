// What the plug-in's hot paths cost: a surface message decoded and handed to
// the host, each host notification, display and lamp writes through the
// output port of a system that completes at once, loading the bindings from
// a host with 2,000 commands, and closing with display writes still queued.
// scripts/bench-report.sh sets the figures beside their budgets and the MIDI
// wire time of what they send.
//
// "allocs" counts the heap allocations per iteration made by the plug-in's
// own code (tests/alloc checks the same counts exactly).
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "../tests/alloc/alloc_counter.h"
#include "bindings/binding_table.h"
#include "bindings/settings_dlg.h"
#include "controller/controller.h"
#include "plugin/exports.h"
#include "simctl.h"
#include <benchmark/benchmark.h>

namespace {

std::vector<std::string> g_commands;

void __cdecl NoAction(int32_t, int32_t, int32_t, int32_t) {}
void __cdecl NoQuery(int32_t, int32_t, void*, int32_t) {}
void __cdecl NoRun(int32_t, int32_t) {}
void __cdecl Name(int32_t index, char* buffer, int32_t size, int32_t* valid) {
  *valid = 0;
  if (index < 0 || static_cast<std::size_t>(index) >= g_commands.size()) return;
  std::snprintf(buffer, static_cast<std::size_t>(size), "%s",
                g_commands[static_cast<std::size_t>(index)].c_str());
  *valid = 1;
}

HostServices Host() {
  return {&NoAction, &NoQuery, &Name, 0, &NoRun, static_cast<int32_t>(g_commands.size())};
}

// The registry store of the run, in a directory of its own with no store.
// Without one the run stops: nothing falls back to a shared directory, which
// the end of the run would remove.
void PrivateStore() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/quillmote-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      std::perror("quillmote_bench: cannot make a directory for the registry store");
      std::exit(1);
    }
    const std::string path = pattern;
    setenv("XDG_CONFIG_HOME", path.c_str(), 1);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    });
    return path;
  }();
}

// Waits until the simulated system has nothing in flight. A system that never
// gets there makes every figure after it wrong: the run stops.
void Idle() {
  if (sim_wait_idle(10000) == 0) {
    std::fprintf(stderr, "quillmote_bench: the simulated system never went idle\n");
    std::exit(1);
  }
}

// A controller attached to the simulated surface; the machine is reset only
// after the controller is gone, so that its headers are all given back.
class Attached {
 public:
  explicit Attached(const HostServices& host = Host()) {
    PrivateStore();
    sim_reset();
    sim_add_output("Quillmote Port");
    sim_add_input("Quillmote Port");
    m_host = host;
    m_controller = new CMidiReceiveDlg(&m_host);
    m_controller->Attach();
    Idle();
  }
  ~Attached() {
    Idle();
    delete m_controller;
    sim_reset();
  }
  CMidiReceiveDlg& operator*() { return *m_controller; }
  CMidiReceiveDlg* operator->() { return m_controller; }

 private:
  HostServices m_host{};
  CMidiReceiveDlg* m_controller = nullptr;
};

// Runs `body` per iteration; every 16 iterations the output in flight is
// let finish outside the timing, so that no backlog builds up beyond the
// headers a port keeps for reuse (a track change writes four).
template <class F>
void Loop(benchmark::State& state, F&& body) {
  alloc::Scope scope;
  int n = 0;
  for (auto _ : state) {
    body();
    if (++n % 16 == 0) {
      state.PauseTiming();
      Idle();
      state.ResumeTiming();
    }
  }
  state.counters["allocs"] =
      benchmark::Counter(static_cast<double>(scope.Made()), benchmark::Counter::kAvgIterations);
}

// When the host's DoAction was last called, and how often.
std::atomic<int64_t> g_actionNanoseconds{0};
std::atomic<int> g_actions{0};

void __cdecl TimedAction(int32_t, int32_t, int32_t, int32_t) {
  g_actionNanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
  g_actions.fetch_add(1);
}

// From the surface's message entering the system to the host's DoAction:
// the system's thread posts it to the input port's own thread, which decodes
// it and calls the host. Wall time per message (the thread hops are the
// figure), by the clock each side reads.
void Input_SurfaceToDoAction(benchmark::State& state) {
  HostServices host = Host();
  host.DoAction = &TimedAction;
  Attached rig(host);
  for (auto _ : state) {
    const int before = g_actions.load();
    const auto start = std::chrono::steady_clock::now();
    sim_send_input(0, 0x7F5E90, 0, 0);
    while (g_actions.load() == before) {
      if (std::chrono::steady_clock::now() - start > std::chrono::seconds(10)) {
        state.SkipWithError("the surface's message never reached the host");
        return;
      }
    }
    const auto end =
        std::chrono::steady_clock::time_point(std::chrono::nanoseconds(g_actionNanoseconds.load()));
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
}
BENCHMARK(Input_SurfaceToDoAction)->UseManualTime()->Unit(benchmark::kMicrosecond)->Repetitions(5);

void Decode_PlayPressed(benchmark::State& state) {
  Attached rig;
  Loop(state, [&] { rig->OnShortMsg(0x7F5E90, 0); });
}
BENCHMARK(Decode_PlayPressed);

void Decode_WheelStep(benchmark::State& state) {
  Attached rig;
  Loop(state, [&] { rig->OnShortMsg(0x013CB0, 0); });
}
BENCHMARK(Decode_WheelStep);

void Decode_NoButton(benchmark::State& state) {
  Attached rig;
  Loop(state, [&] { rig->OnShortMsg(0x7F3C90, 0); });
}
BENCHMARK(Decode_NoButton);

void Output_Lamp(benchmark::State& state) {
  Attached rig;
  bool on = false;
  Loop(state, [&] { rig->SetLamp(kNoteLoop, on = !on); });
}
BENCHMARK(Output_Lamp);

void Output_DisplayWrite(benchmark::State& state) {
  Attached rig;
  Loop(state, [&] { rig->ShowTrackName("Bass"); });
}
BENCHMARK(Output_DisplayWrite);

void Output_DisplayClear(benchmark::State& state) {
  Attached rig;
  Loop(state, [&] { rig->ClearDisplay(); });
}
BENCHMARK(Output_DisplayClear);

// One notification per code, for the current track where the code asks.
void Notification(benchmark::State& state) {
  Attached rig;
  const auto code = static_cast<int32_t>(state.range(0));
  double volume = -3.26;
  double level1 = 0.5;
  double level2 = 0.25;
  const char* time = "00:01:02.50";
  HostArg first = 4;
  HostArg second = 1;
  if (code == HostCode::kVolume) second = reinterpret_cast<HostArg>(&volume);
  if (code == HostCode::kLevels) {
    first = reinterpret_cast<HostArg>(&level1);
    second = reinterpret_cast<HostArg>(&level2);
  }
  if (code == HostCode::kTime) first = reinterpret_cast<HostArg>(time);
  rig->OnHostUpdate(HostCode::kTrackChange, 4, 12, 0);
  Loop(state, [&] { rig->OnHostUpdate(code, first, second, 0); });
}
BENCHMARK(Notification)
    ->ArgName("code")
    ->Arg(7)
    ->Arg(15)
    ->Arg(16)
    ->Arg(18)
    ->Arg(19)
    ->Arg(20)
    ->Arg(21)
    ->Arg(39)
    ->Arg(40)
    ->Arg(41)
    ->Arg(44)
    ->Arg(8);

// 2,000 host commands and nothing stored. range(0) 0: no default name is
// among them, so every slot scans the whole list; 1: the default names are
// spread through the list, slot i at index 125 i.
void LoadBindings2000(benchmark::State& state) {
  PrivateStore();
  g_commands.clear();
  for (int i = 0; i < 2000; ++i) g_commands.push_back("Command number " + std::to_string(i));
  if (state.range(0) == 1) {
    for (std::size_t slot = 0; slot < kBindingCount; ++slot) {
      g_commands[125 * slot] = BindingTable[slot].m_defaultName;
    }
  }
  CUserSettingsDlg loader;
  loader.SetCommandSource(static_cast<int32_t>(g_commands.size()), &Name);
  for (auto _ : state) loader.LoadBindings();
  g_commands.clear();
}
BENCHMARK(LoadBindings2000)->ArgName("spread")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// CloseController with 100 time writes still queued. range(0) 0: the system
// completes at once; 1: it completes nothing (a stalled device), so Close
// waits out its drain bound and resets the device.
void CloseWithQueuedWrites(benchmark::State& state) {
  PrivateStore();
  const bool stalled = state.range(0) == 1;
  for (auto _ : state) {
    state.PauseTiming();
    sim_reset();
    sim_add_output("Quillmote Port");
    sim_add_input("Quillmote Port");
    const HostServices host = Host();
    OpenController(&host);
    Idle();
    if (stalled) sim_hold_completions(1);
    for (int i = 0; i < 100; ++i) {
      UpdateController(HostCode::kTime, reinterpret_cast<HostArg>("00:01:02.50"), 0, 0);
    }
    state.ResumeTiming();
    CloseController();
    state.PauseTiming();
    sim_hold_completions(0);
    sim_reset();
    state.ResumeTiming();
  }
}
BENCHMARK(CloseWithQueuedWrites)
    ->ArgName("stalled")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace
