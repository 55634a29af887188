// What the plug-in's hot paths cost: a surface message decoded and handed to
// the host, and display and lamp writes through the output port of a system
// that completes at once.
#include "controller/controller.h"
#include "simctl.h"
#include <benchmark/benchmark.h>

namespace {

void __cdecl NoAction(int32_t, int32_t, int32_t, int32_t) {}
void __cdecl NoQuery(int32_t, int32_t, void*, int32_t) {}
void __cdecl NoName(int32_t, char*, int32_t, int32_t* valid) { *valid = 0; }
void __cdecl NoRun(int32_t, int32_t) {}

const HostServices kHost = {&NoAction, &NoQuery, &NoName, 0, &NoRun, 0};

struct Attached {
  Attached() {
    sim_reset();
    sim_add_output("Quillmote Port");
    sim_add_input("Quillmote Port");
    controller.Attach();
  }
  ~Attached() { sim_reset(); }
  CMidiReceiveDlg controller{&kHost};
};

void DecodeButtonPress(benchmark::State& state) {
  Attached rig;
  for (auto _ : state) rig.controller.OnShortMsg(0x7F5E90, 0);  // PLAY pressed
}
BENCHMARK(DecodeButtonPress);

void DisplayWrite(benchmark::State& state) {
  Attached rig;
  for (auto _ : state) rig.controller.ShowTrackName("Bass");
  sim_wait_idle(10000);
}
BENCHMARK(DisplayWrite);

void LampWrite(benchmark::State& state) {
  Attached rig;
  bool on = false;
  for (auto _ : state) rig.controller.SetLamp(86, on = !on);
}
BENCHMARK(LampWrite);

}  // namespace
