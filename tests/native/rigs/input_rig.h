// An attached controller on the simulated surface, for tests that play the
// surface's buttons and wheel and watch the host and the surface.
#ifndef QUILLMOTE_TESTS_INPUT_RIG_H
#define QUILLMOTE_TESTS_INPUT_RIG_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bindings/binding_table.h"
#include "controller/controller.h"
#include "fake_host.h"
#include "sim_surface.h"

namespace test {

// The command index the rig binds to a slot: 200 + the slot's place among the
// control ids 1000 to 1015, so every slot runs a command of its own.
inline int32_t BoundCommand(int32_t controlId) { return 200 + (controlId - 1000); }

// The binding table is module-wide; a test that rebinds puts it back.
class BindingsGuard {
 public:
  BindingsGuard() {
    for (std::size_t i = 0; i < kBindingCount; ++i) m_saved[i] = BindingTable[i].m_commandIndex;
  }
  ~BindingsGuard() {
    for (std::size_t i = 0; i < kBindingCount; ++i) BindingTable[i].m_commandIndex = m_saved[i];
  }
  BindingsGuard(const BindingsGuard&) = delete;
  BindingsGuard& operator=(const BindingsGuard&) = delete;

  static void BindAll() {
    for (BindingSlot& slot : BindingTable) slot.m_commandIndex = BoundCommand(slot.m_controlId);
  }

 private:
  int32_t m_saved[kBindingCount];
};

// The queries of a flag scan over the host's 128 tracks, upward or downward.
inline std::vector<HostCall> ScanUp(int32_t code) {
  std::vector<HostCall> calls;
  for (int32_t track = 0; track < 128; ++track) calls.push_back(Query(code, track));
  return calls;
}

inline std::vector<HostCall> ScanDown(int32_t code) {
  std::vector<HostCall> calls;
  for (int32_t track = 127; track >= 0; --track) calls.push_back(Query(code, track));
  return calls;
}

class InputRig {
 public:
  // "Undo (1)" is command 1 and "Redo" command 3 unless told otherwise.
  static std::vector<std::string> DefaultCommands() { return {"Cut", "Undo (1)", "Copy", "Redo"}; }

  explicit InputRig(const std::vector<std::string>& commands = DefaultCommands()) {
    host.SetCommands(commands);
    services = host.Services();
    controller = std::make_unique<CMidiReceiveDlg>(&services);
    controller->Attach();
    // After Attach, which loads the user's bindings.
    BindingsGuard::BindAll();
    SetTrack(5);
  }

  void Press(uint8_t note, uint8_t channel = 0) const { Send(0x90 | channel, note, 0x7F); }
  void Release(uint8_t note, uint8_t channel = 0) const { Send(0x90 | channel, note, 0); }
  void Wheel(uint8_t value, uint8_t channel = 0) const { Send(0xB0 | channel, 60, value); }
  void Send(uint8_t status, uint8_t data1, uint8_t data2) const {
    surface.Send(status, data1, data2);
  }

  // As the host reports them; the surface's and the host's records are
  // cleared afterwards.
  void SetTrack(int32_t track) {
    controller->OnHostUpdate(HostCode::kTrackChange, track, 0, 0);
    Clear();
  }
  void SetVolume(double volume) {
    controller->OnHostUpdate(HostCode::kVolume, controller->CurrentTrack(),
                             reinterpret_cast<HostArg>(&volume), 0);
    Clear();
  }

  void Clear() {
    surface.ClearReceived();
    host.ClearCalls();
  }

  BindingsGuard bindings;
  FakeHost host;
  SimSurface surface;
  HostServices services{};
  std::unique_ptr<CMidiReceiveDlg> controller;
};

}  // namespace test

#endif
