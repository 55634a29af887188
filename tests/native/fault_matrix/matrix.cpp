#include "matrix.h"

#include <chrono>
#include <fstream>
#include <map>
#include <utility>

#include "bindings_fixture.h"
#include <gtest/gtest.h>

namespace faultmatrix {

namespace {

using test::HostCall;
using test::kControlChange;
using test::kNoteOn;
using test::kWheel;
using test::SimSurface;
using namespace test::notes;

const std::vector<std::string> kCommands = {"Undo (1)", "Redo", "Metronome On/Off toggle",
                                            "Selection Anchor Left when playing",
                                            "Zoom In Horizontally"};

// Waits until the system has nothing in flight and the ports' workers have
// given back every header they can: a phase ends only once the plug-in is
// at rest, so that what it called and what it left are the same every run.
// A system that never goes idle fails the test. Headers still prepared
// after `limit` are what the case left (under a fault the system may keep
// them); the checks of each case say whether that is allowed.
void Settle(std::chrono::milliseconds limit) {
  EXPECT_TRUE(sim_wait_idle(10000)) << "the system never went idle";
  test::WaitUntil([] { return sim_prepared_headers() == 0; }, limit);
}

// Every port thread left running belongs to a device still open.
void LetGoneThreadsLeave() {
  EXPECT_TRUE(test::WaitUntil([] { return sim_live_threads() <= sim_open_devices(); },
                              std::chrono::seconds(5)))
      << sim_live_threads() << " threads still run for " << sim_open_devices() << " open devices";
}

std::string DialogResultName(int result) {
  switch (result) {
    case IDOK:
      return "1 (OK)";
    case IDCANCEL:
      return "2 (Cancel)";
    default:
      return std::to_string(result);
  }
}

std::map<std::string, unsigned> CallCounts() {
  std::map<std::string, unsigned> counts;
  char name[128];
  for (size_t i = 0; sim_called_function(i, name, sizeof name) != 0; ++i) {
    counts[name] = sim_call_count(name);
  }
  return counts;
}

std::vector<std::string> DebugLines() {
  std::vector<std::string> lines;
  for (size_t i = 0; i < sim_debug_count(); ++i) {
    char text[2048];
    sim_debug_line(i, text, sizeof text);
    lines.emplace_back(text);
  }
  return lines;
}

std::vector<std::string> MessageBoxes() {
  std::vector<std::string> texts;
  for (size_t i = 0; i < sim_message_box_count(); ++i) {
    char text[2048];
    sim_message_box_text(i, text, sizeof text);
    texts.emplace_back(text);
  }
  return texts;
}

// The user of the bindings dialog: picks a command for the IN slot and
// presses OK. When the dialog is still open afterwards (a message box said
// why), the dialog engine presses Escape for the user.
void ChooseAndConfirm(void*, void* dialog) {
  auto* window = static_cast<HWND>(dialog);
  bindtest::Choose(window, 1001, "Metronome On/Off toggle");
  sim_user_click(window, IDOK);
}

}  // namespace

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::kOpen:
      return "open";
    case Phase::kNotifications:
      return "notifications";
    case Phase::kInput:
      return "input";
    case Phase::kDialog:
      return "dialog";
    case Phase::kClose:
      return "close";
  }
  return "?";
}

const char* ModeName(Mode mode) { return mode == Mode::kOnce ? "once" : "always"; }

Matrix::Matrix(Plugin& plugin, fs::path storeFile, std::string configRoot)
    : m_plugin(plugin), m_storeFile(std::move(storeFile)), m_configRoot(std::move(configRoot)) {
  m_host.SetCommands(kCommands);
  m_host.SetName(2, "Guitar");
  m_host.SetVolume(2, -3.5);
  m_host.SetPan(2, -30);
}

Outcome Matrix::Run(const Case& c) {
  Outcome out;
  SimSurface surface;
  // A driver that is done inside the call: no write waits for another, so
  // that which send meets a failure never depends on the threads' timing.
  // (What a waiting write's refusal does has tests of its own.)
  sim_set_output_driver(SIM_DRIVER_DONE_INLINE);
  sim_user_reset();
  sim_set_dialog_script(&ChooseAndConfirm, nullptr);
  StoreBindings();
  const HostServices services = m_host.Services();
  if (c.phase != Phase::kOpen) {
    m_plugin.Open(&services);
    Settle(std::chrono::seconds(2));
  }
  if (c.phase == Phase::kClose) {
    // Something on its way to the surface as the host closes.
    m_plugin.Update(HostCode::kTime, reinterpret_cast<HostArg>("00:00:01.50"));
    m_plugin.Update(HostCode::kRecordState, 1);
  }
  sim_debug_clear();
  const auto before = CallCounts();
  if (c.function == kStoreFile) {
    BreakStore(c.code.value);
  } else if (!c.function.empty()) {
    sim_fail(c.function.c_str(), c.code.value, 0, c.mode == Mode::kOnce ? 1 : 0);
  }

  out.phaseResult = RunPhase(c.phase, surface, services);
  if (c.function.empty()) {
    // The ports' workers also wake on their own (every 50 ms); the clean
    // run lasts until each has done so once after the phase, so that a
    // phase names what they call then whether it ran fast or slow.
    sim_mark_thread_wakes();
    EXPECT_TRUE(test::WaitUntil([] { return sim_threads_woke_on_their_own() != 0; }))
        << PhaseName(c.phase) << ": the ports' workers never woke on their own";
  }

  Settle(c.function.empty() ? std::chrono::seconds(5) : std::chrono::milliseconds(200));
  // A port's thread that its port let go leaves within its own bound (at
  // once without a handle, 100 ms after the close message, 2 s at most):
  // the phase lasts until it has, so that the phase names what it calls on
  // its way out whether it went fast or slow.
  LetGoneThreadsLeave();
  sim_clear_faults();
  if (c.function == kStoreFile) RepairStore();
  for (const auto& [name, count] : CallCounts()) {
    const auto it = before.find(name);
    if (it == before.end() || it->second < count) out.called.insert(name);
  }
  // A bounded wait sleeps only while the other thread has not got there yet,
  // so whether a phase called Sleep tells how busy the machine was, not what
  // the plug-in does; a table that depends on it would change from run to run.
  out.called.erase("Sleep");
  out.debugLines = DebugLines();
  // The store's place differs from run to run.
  for (std::string& line : out.debugLines) {
    for (size_t at; (at = line.find(m_configRoot)) != std::string::npos;) {
      line.replace(at, m_configRoot.size(), "$XDG_CONFIG_HOME");
    }
  }
  out.messageBoxes = MessageBoxes();
  sim_set_dialog_script(nullptr, nullptr);

  if (c.phase != Phase::kClose) m_plugin.Close();
  Settle(std::chrono::seconds(2));
  out.devicesLeft = sim_open_devices();
  out.headersLeft = sim_prepared_headers();
  out.pendingLeft = sim_pending_headers();

  // The fault has cleared: the plug-in attaches and works again.
  sim_debug_clear();
  surface.ClearReceived();
  m_host.ClearCalls();
  out.reopen = m_plugin.Open(&services);
  surface.Send(kNoteOn, kPlay, 127);
  m_plugin.Update(HostCode::kTime, reinterpret_cast<HostArg>("00:00:02.00"));
  const auto calls = m_host.CallsOf(HostCall::kAction);
  const bool acted = !calls.empty() && calls.back() == test::Action(HostCode::kPlay, 1, 0);
  const auto received = surface.Received();
  const bool shown = !received.empty() && received.back() == test::Lcd(29, "00:00:02.00");
  out.worksAgain = out.reopen == 1 && acted && shown;
  m_plugin.Close();
  Settle(std::chrono::seconds(2));
  LetGoneThreadsLeave();
  out.reopenDebugLines = DebugLines();
  out.reopenDevicesLeft = sim_open_devices();
  out.reopenHeadersLeft = sim_prepared_headers();
  out.escaped = m_plugin.TakeEscaped();
  sim_user_reset();
  return out;
}

void Matrix::StoreBindings() {
  HKEY key = nullptr;
  DWORD disposition = 0;
  char noClass[] = "";
  RegCreateKeyExA(HKEY_CURRENT_USER, kBindingsKey, 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key,
                  &disposition);
  const char name[] = "Zoom In Horizontally";
  RegSetValueExA(key, "In", 0, REG_SZ, reinterpret_cast<const BYTE*>(name), sizeof name);
  RegCloseKey(key);
}

void Matrix::BreakStore(unsigned fault) const {
  const fs::path dir = m_storeFile.parent_path();
  fs::remove_all(dir);
  if (fault == 1) {
    fs::create_directories(dir);
    std::ofstream(m_storeFile) << "{ not a store";
  } else {
    std::ofstream(dir) << "a file where the store's directory belongs";
  }
}

void Matrix::RepairStore() const {
  fs::remove_all(m_storeFile.parent_path());
  StoreBindings();
}

std::string Matrix::RunPhase(Phase phase, const SimSurface& surface, const HostServices& services) {
  switch (phase) {
    case Phase::kOpen:
      return "OpenController " + std::to_string(m_plugin.Open(&services));
    case Phase::kNotifications: {
      const double volume = -6.0;
      const double levels[2] = {0.5, 0.25};
      m_plugin.Update(HostCode::kRecordState, 1);
      m_plugin.Update(HostCode::kTrackChange, 2, 3);
      m_plugin.Update(HostCode::kVolume, 2, reinterpret_cast<HostArg>(&volume));
      m_plugin.Update(HostCode::kPan, 2, -40);
      m_plugin.Update(HostCode::kFlag15, 2, 1);
      m_plugin.Update(HostCode::kFlag16, 2, 1);
      m_plugin.Update(HostCode::kFlag19, 2, 1);
      m_plugin.Update(HostCode::kReloadBindings, 0);
      m_plugin.Update(HostCode::kLevels, reinterpret_cast<HostArg>(&levels[0]),
                      reinterpret_cast<HostArg>(&levels[1]));
      m_plugin.Update(HostCode::kTime, reinterpret_cast<HostArg>("00:01:02.03"));
      m_plugin.Update(HostCode::kTrackName, 2);
      return "";
    }
    case Phase::kInput:
      surface.Send(kNoteOn, kPlay, 127);
      surface.Send(kNoteOn, kPlay, 0);
      surface.Send(kNoteOn, kLoop, 127);
      surface.Send(kNoteOn, kShift, 127);
      surface.Send(kControlChange, kWheel, 1);
      surface.Send(kNoteOn, kLoop, 127);
      surface.Send(kNoteOn, kIn, 127);
      surface.Send(kNoteOn, kIn, 0);
      surface.Send(kNoteOn, kShift, 0);
      surface.Send(kNoteOn, kUndo, 127);
      return "";
    case Phase::kDialog:
      return "ConfigureController " +
             DialogResultName(m_plugin.Configure(services.CommandCount, services.GetCommandName));
    case Phase::kClose:
      m_plugin.Close();
      return "";
  }
  return "";
}

}  // namespace faultmatrix
