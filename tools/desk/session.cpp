#include "session.h"

#include <cstdio>

namespace desk {

Session::Session(Log& log, Machine& machine, bool stepMode)
    : m_log(log),
      m_machine(machine),
      m_stepMode(stepMode),
      m_surface(log, machine),
      m_host(log, machine) {
  m_seen.fill(-1);
  m_log.SetLive(!stepMode);
}

Session::~Session() { Finish(); }

void Session::Start(bool withSurface) {
  m_surface.Install(withSurface);
  m_host.SetCommandObserver(
      [this](int32_t index, bool pressed) { ObserveCommand(index, pressed); });
  m_host.Start(m_stepMode, [this] {
    if (!m_stepMode) return;
    Quiet();
    m_log.Flush();
  });
  m_host.Open();
  Settle();
}

void Session::Finish() {
  if (m_finished) return;
  m_finished = true;
  m_host.Close();
  Settle();
  m_host.Drain();
  m_host.Stop();
  Quiet();
  m_log.Flush();
}

void Session::Quiet() {
  if (!m_surface.WaitQuiet()) {
    m_log.Add(Source::kError, "the simulated MIDI system did not become idle in time");
  }
  PollDebugger();
}

void Session::Settle() {
  if (!m_stepMode) return;
  Quiet();
  m_log.Flush();
  m_host.Drain();
}

void Session::PollDebugger() {
  // One poller at a time, so that the lines keep their order in the log.
  std::lock_guard<std::mutex> lock(m_debugMutex);
  for (std::string& line : m_machine.TakeDebugLines()) m_log.Add(Source::kDebug, std::move(line));
}

bool Session::CanConfigure(std::string* why) const {
  std::string reason;
  const bool can = m_machine.HasDialog(&reason);
  if (why != nullptr) *why = reason;
  return can;
}

void Session::ObserveCommand(int32_t index, bool pressed) {
  const int32_t slot = m_sendingSlot.load();
  if (!pressed || slot < 0) return;
  std::lock_guard<std::mutex> lock(m_bindingsMutex);
  m_seen[slot] = index;
}

void Session::PressButton(const Button& button, bool pressed) {
  m_sendingSlot = SlotForButton(button.name, m_surface.ShiftHeld());
  m_surface.Press(button, pressed);
  m_sendingSlot = -1;
  Settle();
}

void Session::TapButton(const Button& button) {
  PressButton(button, true);
  PressButton(button, false);
}

void Session::TurnWheel(int steps) {
  m_surface.Wheel(steps);
  Settle();
}

bool Session::Run(const Command& command, std::string* error) {
  const auto needTrack = [&] {
    const int count = m_host.TrackCount();
    if (command.track < count) return true;
    *error = "there is no track " + std::to_string(command.track + 1) + "; the host has " +
             std::to_string(count);
    return false;
  };
  switch (command.kind) {
    case Command::kComment:
      return true;
    case Command::kPress:
    case Command::kRelease:
    case Command::kTap: {
      const Button* button = FindButton(command.button);
      if (command.kind == Command::kTap) {
        TapButton(*button);
      } else {
        PressButton(*button, command.kind == Command::kPress);
      }
      return true;
    }
    case Command::kWheel:
      TurnWheel(command.steps);
      return true;
    case Command::kWait:
      if (m_stepMode) {
        m_host.AdvanceClock(command.ms);
        Settle();
      } else {
        m_log.Add(Source::kHost, "(the clock runs by itself here; wait does nothing)");
      }
      return true;
    case Command::kOpen:
      if (m_host.IsOpen()) {
        *error = "the plug-in is open already";
        return false;
      }
      m_host.Open();
      Settle();
      return true;
    case Command::kClose:
      if (!m_host.IsOpen()) {
        *error = "the plug-in is not open";
        return false;
      }
      m_host.Close();
      Settle();
      return true;
    case Command::kBindings:
      if (!CanConfigure(error)) return false;
      RequestBindings();
      Settle();
      for (const std::string& line : BindingLines()) m_log.Add(Source::kScript, line);
      Settle();
      return true;
    case Command::kBind:
      if (!CanConfigure(error)) return false;
      if (m_host.FindCommand(command.text) < 0) {
        *error = "the host has no command named \"" + command.text + "\"";
        return false;
      }
      m_bindChosen = false;
      RequestBind(command.slot, command.text);
      Settle();
      if (!m_bindChosen.load()) {
        *error = "the bindings dialog does not list \"" + command.text + "\"";
        return false;
      }
      return true;
    case Command::kHost:
      break;
  }
  switch (command.hostOp) {
    case Command::kTrack:
      if (!needTrack()) return false;
      m_host.SelectTrack(command.track);
      break;
    case Command::kPlay:
    case Command::kPlayLooped:
      m_host.Play(command.hostOp == Command::kPlayLooped);
      break;
    case Command::kStop:
      m_host.StopTransport();
      break;
    case Command::kRecord:
      m_host.ToggleRecord();
      break;
    case Command::kVolume:
      if (!needTrack()) return false;
      m_host.SetVolume(command.track, command.value1);
      break;
    case Command::kPan:
      if (!needTrack()) return false;
      m_host.SetPan(command.track, static_cast<int32_t>(command.value1));
      break;
    case Command::kFlag:
      if (!needTrack()) return false;
      m_host.ToggleFlag(command.flag, command.track);
      break;
    case Command::kName:
      if (!needTrack()) return false;
      m_host.Rename(command.track, command.text);
      break;
    case Command::kLevels:
      m_host.ReportLevels(command.value1, command.value2);
      break;
    case Command::kTime:
      m_host.Locate(command.ms);
      break;
    case Command::kReload:
      m_host.ReloadBindings();
      break;
  }
  Settle();
  return true;
}

void Session::RequestBindings() {
  m_host.RunDialog(
      DialogRequest{},
      [this](const DialogSeen& seen) {
        m_log.Add(Source::kHost, "reads the " + std::to_string(seen.boxes.size()) + " boxes of \"" +
                                     seen.caption + "\", then Cancel");
        std::lock_guard<std::mutex> lock(m_bindingsMutex);
        m_boxes = seen.boxes;
      },
      nullptr);
}

void Session::RequestBind(int slot, const std::string& command) {
  const SlotInput& input = kSlotInputs[slot];
  m_host.RunDialog(
      DialogRequest{input.controlId, command},
      [this, input, command](const DialogSeen& seen) {
        if (!seen.chosen) {
          m_log.Add(Source::kError, std::string("the box of ") + input.label + " does not list \"" +
                                        command + "\"; Cancel");
          return;
        }
        m_bindChosen = true;
        m_log.Add(Source::kHost, "picks \"" + command + "\" for " + input.label + " in \"" +
                                     seen.caption + "\", then OK");
      },
      nullptr);
}

BindingsState Session::Bindings() const {
  BindingsState state;
  state.available = CanConfigure();
  std::lock_guard<std::mutex> lock(m_bindingsMutex);
  state.read = !m_boxes.empty();
  for (std::size_t i = 0; i < kSlotInputs.size(); ++i) {
    BindingView view;
    view.input = kSlotInputs[i].label;
    if (i < m_boxes.size() && m_boxes[i].selected) {
      view.selected = true;
      view.command = m_boxes[i].text;
      view.index = m_host.FindCommand(view.command);
    }
    view.seenIndex = m_seen[i];
    state.rows.push_back(view);
  }
  return state;
}

std::vector<std::string> Session::BindingLines() const {
  const BindingsState state = Bindings();
  std::vector<std::string> lines;
  std::string why;
  if (!CanConfigure(&why)) {
    lines.push_back(why);
    return lines;
  }
  lines.push_back("bindings: input, command shown in the dialog (host index), last run here");
  char line[256];
  for (const BindingView& view : state.rows) {
    const std::string command = view.selected ? view.command : "(none)";
    const std::string index = view.index < 0 ? "-" : "#" + std::to_string(view.index);
    const std::string seen = view.seenIndex < 0 ? "-" : "#" + std::to_string(view.seenIndex);
    std::snprintf(line, sizeof line, "  %-16s %-42s %-5s %s", view.input.c_str(), command.c_str(),
                  index.c_str(), seen.c_str());
    lines.push_back(line);
  }
  return lines;
}

}  // namespace desk
