// A host whose callbacks answer with arbitrary names and values: command
// names of any bytes and length (terminated, or filling the whole buffer),
// valid or not, and query answers (flags, volumes, pans, track names) cut
// from arbitrary bytes. The plug-in attaches, follows notifications, takes
// surface input and shows the bindings dialog over that host. Undo, redo and
// the bindings must be the commands their names pick; the surface must only
// ever get well-formed messages.
//
// Input: a mode byte (bit 0: OK in the dialog rather than Escape), the
// command count (at most 64), per command a flags byte (bit 0 valid, bit 1
// one of the names the plug-in looks for, chosen by the upper bits) and, for
// other names, a length byte and the bytes; the rest are the query answers.
#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "bindings/binding_table.h"
#include "bindings/settings_dlg.h"
#include "controller/controller.h"
#include "fuzz_rig.h"
#include "plugin/exports.h"
#include "simctl.h"

namespace {

// Enough for every name the plug-in looks for and as many others.
constexpr uint8_t kMaxCommands = 64;

int32_t CommandNamed(const std::string& name, bool last) {
  int32_t found = -1;
  std::string candidate;
  for (int32_t index = 0; index < static_cast<int32_t>(fuzz::Host().names.size()); ++index) {
    if (fuzz::CommandName(index, candidate) && candidate == name) {
      found = index;
      if (!last) break;
    }
  }
  return found;
}

void ReadCommands(fuzz::Reader& in) {
  const std::vector<std::string> known = fuzz::KnownCommandNames();
  fuzz::HostState& host = fuzz::Host();
  host.names.clear();
  host.valid.clear();
  const uint8_t count = in.U8() % (kMaxCommands + 1);
  for (uint8_t i = 0; i < count; ++i) {
    const uint8_t flags = in.U8();
    std::vector<char> name;
    if (flags & 2) {
      const std::string& pick = known[(flags >> 2) % known.size()];
      name.assign(pick.begin(), pick.end() + 1);
    } else {
      const std::vector<uint8_t> bytes = in.Take(in.U8());
      name.assign(bytes.begin(), bytes.end());
      // A name that does not fill the buffer ends with its terminator.
      if (name.size() < kCommandNameSize) name.push_back(0);
    }
    host.names.push_back(std::move(name));
    host.valid.push_back((flags & 1) != 0);
  }
}

void CheckCommands() {
  if (g_controller->UndoCommand() != CommandNamed("Undo (1)", true)) {
    fuzz::Fail("undo is command %d", g_controller->UndoCommand());
  }
  if (g_controller->RedoCommand() != CommandNamed("Redo", true)) {
    fuzz::Fail("redo is command %d", g_controller->RedoCommand());
  }
  for (const BindingSlot& slot : BindingTable) {
    if (slot.m_commandIndex.load() != CommandNamed(slot.m_defaultName, false)) {
      fuzz::Fail("slot \"%s\" holds %d", slot.m_valueName, slot.m_commandIndex.load());
    }
  }
}

void Press(BYTE note, bool down) {
  g_controller->OnShortMsg(0x90 | note << 8 | (down ? 0x7F : 0) << 16, 0);
}

void Wheel(BYTE value) { g_controller->OnShortMsg(0xB0 | 60 << 8 | value << 16, 0); }

void PlayTheSurface() {
  Press(kNotePlay, true);
  Press(kNoteUndo, true);
  Press(kNoteShift, true);
  for (BYTE note : {kNoteFlag15, kNoteFlag16, kNoteFlag19, kNoteUndo, kNotePlay, kNoteIn}) {
    Press(note, true);
    Press(note, false);
  }
  Wheel(3);
  Press(kNoteStop, true);
  Wheel(65);
  Press(kNoteLoop, true);
  Wheel(127);
  Press(kNoteShift, false);
  Wheel(1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const uint8_t mode = in.U8();
  fuzz::ResetSurface();
  fuzz::RemoveStore();
  ReadCommands(in);
  fuzz::HostState& host = fuzz::Host();
  host.answers = in.Take(in.Left());
  host.nextAnswer = 0;
  host.checkActions = true;

  const HostServices services = fuzz::Services();
  if (OpenController(&services) != 1) fuzz::Fail("the surface did not attach");
  CheckCommands();

  UpdateController(HostCode::kTrackChange, 3, 7, 0);
  UpdateController(HostCode::kTrackName, 3, 0, 0);
  UpdateController(HostCode::kFlag16, 5, 1, 0);
  UpdateController(HostCode::kReloadBindings, 0, 0, 0);
  CheckCommands();
  PlayTheSurface();

  sim_user_reset();
  if (mode & 1) sim_set_dialog_script(&fuzz::PressOk, nullptr);
  const int32_t count = static_cast<int32_t>(host.names.size());
  const int result = ConfigureController(0, 0, count, &fuzz::GetName);
  sim_set_dialog_script(nullptr, nullptr);
  if (result != ((mode & 1) ? IDOK : IDCANCEL)) {
    fuzz::Fail("the bindings dialog closed with %d", result);
  }
  if (mode & 1) {
    const auto saved = fuzz::BindingSnapshot();
    UpdateController(HostCode::kReloadBindings, 0, 0, 0);
    if (fuzz::BindingSnapshot() != saved) fuzz::Fail("the saved bindings load back differently");
  }

  CloseController();
  fuzz::CheckSurfaceOutput();
  return 0;
}
