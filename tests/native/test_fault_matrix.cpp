// The fault matrix: every platform function the plug-in calls is made to fail
// in turn, with each result code it can return, while the plug-in opens,
// follows notifications, handles surface input, runs the bindings dialog and
// closes. The plug-in is driven as a host drives it, through its exports.
//
// Which functions a phase calls is not listed here: a clean run of the phase
// names them (every platform function counts its calls). A function without
// known result codes fails the test, so a new system call can't slip past.
//
// For every case: no crash, no exception out of an export, no device or
// header left once the plug-in is closed, the documented debugger line where
// there is one, and a later OpenController that attaches and works. The
// outcomes are written as a Markdown table to artifacts/fault-matrix.md in the
// build directory and compared with docs/fault-matrix.md, so that any change
// in behaviour shows up as a diff (scripts/fault-matrix.sh refreshes it).
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bindings_fixture.h"
#include "fake_host.h"
#include "plugin/exports.h"
#include "sim_surface.h"
#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using test::FakeHost;
using test::HostCall;
using test::SimSurface;

// ---- What each function can return -------------------------------------

struct Code {
  unsigned value;
  const char* name;
};

constexpr unsigned kWaitFailed = 0xFFFFFFFF;
// Codes the system can return that the plug-in's headers have no name for.
constexpr unsigned MIDIERR_BADOPENMODE = MIDIERR_BASE + 6;
constexpr unsigned ERROR_MAX_THRDS_REACHED = 164;
constexpr unsigned ERROR_NO_SYSTEM_RESOURCES = 1450;

const std::map<std::string, std::vector<Code>>& ResultCodes() {
  static const std::map<std::string, std::vector<Code>> codes = [] {
    const std::vector<Code> caps = {{MMSYSERR_BADDEVICEID, "MMSYSERR_BADDEVICEID"},
                                    {MMSYSERR_INVALPARAM, "MMSYSERR_INVALPARAM"},
                                    {MMSYSERR_NODRIVER, "MMSYSERR_NODRIVER"},
                                    {MMSYSERR_NOMEM, "MMSYSERR_NOMEM"}};
    const std::vector<Code> close = {{MIDIERR_STILLPLAYING, "MIDIERR_STILLPLAYING"},
                                     {MMSYSERR_INVALHANDLE, "MMSYSERR_INVALHANDLE"},
                                     {MMSYSERR_NOMEM, "MMSYSERR_NOMEM"}};
    const std::vector<Code> prepare = {{MMSYSERR_INVALHANDLE, "MMSYSERR_INVALHANDLE"},
                                       {MMSYSERR_INVALPARAM, "MMSYSERR_INVALPARAM"},
                                       {MMSYSERR_NOMEM, "MMSYSERR_NOMEM"}};
    const std::vector<Code> unprepare = {{MIDIERR_STILLPLAYING, "MIDIERR_STILLPLAYING"},
                                         {MMSYSERR_INVALHANDLE, "MMSYSERR_INVALHANDLE"},
                                         {MMSYSERR_INVALPARAM, "MMSYSERR_INVALPARAM"}};
    const std::vector<Code> handleOnly = {{MMSYSERR_INVALHANDLE, "MMSYSERR_INVALHANDLE"}};
    const std::vector<Code> errorText = {{MMSYSERR_BADERRNUM, "MMSYSERR_BADERRNUM"},
                                         {MMSYSERR_INVALPARAM, "MMSYSERR_INVALPARAM"}};
    const std::vector<Code> badHandle = {{ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
                                         {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"}};
    const std::vector<Code> regOpen = {{ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
                                       {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
                                       {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
                                       {ERROR_OUTOFMEMORY, "ERROR_OUTOFMEMORY"}};
    return std::map<std::string, std::vector<Code>>{
        // A failing count is no error code: the system reports no devices.
        {"midiOutGetNumDevs", {{0, "0 devices"}}},
        {"midiInGetNumDevs", {{0, "0 devices"}}},
        {"midiOutGetDevCapsA", caps},
        {"midiInGetDevCapsA", caps},
        {"midiOutGetErrorTextA", errorText},
        {"midiInGetErrorTextA", errorText},
        {"midiOutOpen",
         {{MIDIERR_NODEVICE, "MIDIERR_NODEVICE"},
          {MMSYSERR_ALLOCATED, "MMSYSERR_ALLOCATED"},
          {MMSYSERR_BADDEVICEID, "MMSYSERR_BADDEVICEID"},
          {MMSYSERR_INVALPARAM, "MMSYSERR_INVALPARAM"},
          {MMSYSERR_NOMEM, "MMSYSERR_NOMEM"}}},
        {"midiInOpen",
         {{MMSYSERR_ALLOCATED, "MMSYSERR_ALLOCATED"},
          {MMSYSERR_BADDEVICEID, "MMSYSERR_BADDEVICEID"},
          {MMSYSERR_INVALFLAG, "MMSYSERR_INVALFLAG"},
          {MMSYSERR_INVALPARAM, "MMSYSERR_INVALPARAM"},
          {MMSYSERR_NOMEM, "MMSYSERR_NOMEM"}}},
        {"midiOutClose", close},
        {"midiInClose", close},
        {"midiOutShortMsg",
         {{MIDIERR_BADOPENMODE, "MIDIERR_BADOPENMODE"},
          {MIDIERR_NOTREADY, "MIDIERR_NOTREADY"},
          {MMSYSERR_INVALHANDLE, "MMSYSERR_INVALHANDLE"}}},
        {"midiOutLongMsg",
         {{MIDIERR_NOTREADY, "MIDIERR_NOTREADY"},
          {MIDIERR_UNPREPARED, "MIDIERR_UNPREPARED"},
          {MMSYSERR_INVALHANDLE, "MMSYSERR_INVALHANDLE"}}},
        {"midiOutPrepareHeader", prepare},
        {"midiInPrepareHeader", prepare},
        {"midiOutUnprepareHeader", unprepare},
        {"midiInUnprepareHeader", unprepare},
        {"midiInAddBuffer",
         {{MIDIERR_STILLPLAYING, "MIDIERR_STILLPLAYING"},
          {MIDIERR_UNPREPARED, "MIDIERR_UNPREPARED"},
          {MMSYSERR_INVALHANDLE, "MMSYSERR_INVALHANDLE"}}},
        {"midiOutReset", handleOnly},
        {"midiInStart", handleOnly},
        {"midiInStop", handleOnly},
        {"midiInReset", handleOnly},
        {"CreateEventA",
         {{ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
          {ERROR_NO_SYSTEM_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES"}}},
        {"CreateThread",
         {{ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
          {ERROR_MAX_THRDS_REACHED, "ERROR_MAX_THRDS_REACHED"},
          {ERROR_NO_SYSTEM_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES"}}},
        {"SetEvent", badHandle},
        {"ResetEvent", badHandle},
        {"CloseHandle", badHandle},
        {"GetExitCodeThread", badHandle},
        {"SetThreadPriority", badHandle},
        {"ResumeThread", badHandle},
        {"WaitForSingleObject", {{kWaitFailed, "WAIT_FAILED"}, {WAIT_TIMEOUT, "WAIT_TIMEOUT"}}},
        {"RegOpenKeyA", regOpen},
        {"RegOpenKeyExA", regOpen},
        {"RegCreateKeyExA",
         {{ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
          {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
          {ERROR_OUTOFMEMORY, "ERROR_OUTOFMEMORY"},
          {ERROR_WRITE_FAULT, "ERROR_WRITE_FAULT"}}},
        {"RegQueryValueExA",
         {{ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
          {ERROR_MORE_DATA, "ERROR_MORE_DATA"},
          {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
          {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"}}},
        {"RegSetValueExA",
         {{ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
          {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
          {ERROR_OUTOFMEMORY, "ERROR_OUTOFMEMORY"},
          {ERROR_WRITE_FAULT, "ERROR_WRITE_FAULT"}}},
        {"RegDeleteValueA", regOpen},
        {"RegCloseKey", {{ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"}}},
        {"GetModuleHandleExA",
         {{ERROR_MOD_NOT_FOUND, "ERROR_MOD_NOT_FOUND"},
          {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"}}},
        {"FindResourceA",
         {{ERROR_RESOURCE_NAME_NOT_FOUND, "ERROR_RESOURCE_NAME_NOT_FOUND"},
          {ERROR_RESOURCE_TYPE_NOT_FOUND, "ERROR_RESOURCE_TYPE_NOT_FOUND"}}},
        {"DialogBoxParamA",
         {{ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
          {ERROR_INVALID_WINDOW_HANDLE, "ERROR_INVALID_WINDOW_HANDLE"},
          {ERROR_RESOURCE_NAME_NOT_FOUND, "ERROR_RESOURCE_NAME_NOT_FOUND"}}},
        {"DialogBoxIndirectParamA",
         {{ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
          {ERROR_INVALID_WINDOW_HANDLE, "ERROR_INVALID_WINDOW_HANDLE"}}},
    };
  }();
  return codes;
}

// Functions that cannot fail on Windows: the platform counts them but never
// fails them, and the matrix only lists them.
const std::set<std::string>& CannotFail() {
  static const std::set<std::string> names = {"DeleteCriticalSection",
                                              "EndDialog",
                                              "EnterCriticalSection",
                                              "GetCurrentThreadId",
                                              "GetLastError",
                                              "GetTickCount",
                                              "InitializeCriticalSection",
                                              "LeaveCriticalSection",
                                              "MessageBoxA",
                                              "OutputDebugStringA",
                                              "SetLastError",
                                              "Sleep",
                                              "TryEnterCriticalSection",
                                              "wsprintfA",
                                              "wvsprintfA"};
  return names;
}

// ---- The plug-in, as the host sees it ------------------------------------

class Plugin {
 public:
  Plugin() : m_library(dlopen(QM_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {
    // A device that never closes makes the plug-in keep memory for its late
    // callbacks; the library stays loaded, so that it is still kept (and the
    // leak checker sees it so) after a case unloads its handle.
    static void* const pinned =
        dlopen(QM_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE | RTLD_NOLOAD);
    (void)pinned;
  }
  ~Plugin() {
    if (m_library != nullptr) dlclose(m_library);
  }
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  bool Loaded() const { return m_library != nullptr; }

  // Each call notes an exception that got out instead of letting it end the
  // test: an export that lets one out is a fault of its own.
  int Open(const HostServices* host) {
    return Guard(0, [&] { return Get<int (*)(const HostServices*)>("OpenController")(host); });
  }
  HostArg Update(int32_t code, HostArg first, HostArg second = 0) {
    using Fn = HostArg (*)(int32_t, HostArg, HostArg, HostArg);
    return Guard<HostArg>(0, [&] { return Get<Fn>("UpdateController")(code, first, second, 0); });
  }
  void Close() {
    Guard(0, [&] {
      Get<void (*)()>("CloseController")();
      return 0;
    });
  }
  int Configure(int32_t count, HostGetCommandNameFn names) {
    using Fn = int (*)(int32_t, int32_t, int32_t, HostGetCommandNameFn);
    return Guard(0, [&] { return Get<Fn>("ConfigureController")(0, 0, count, names); });
  }

  bool TakeEscaped() { return m_escaped.exchange(false); }

 private:
  template <class Fn>
  Fn Get(const char* name) const {
    return reinterpret_cast<Fn>(dlsym(m_library, name));
  }
  template <class R, class F>
  R Guard(R fallback, F&& call) {
    try {
      return call();
    } catch (...) {
      m_escaped = true;
      return fallback;
    }
  }

  void* m_library;
  std::atomic<bool> m_escaped{false};
};

// ---- Phases ----------------------------------------------------------------

enum class Phase { kOpen, kNotifications, kInput, kDialog, kClose };
constexpr Phase kPhases[] = {Phase::kOpen, Phase::kNotifications, Phase::kInput, Phase::kDialog,
                             Phase::kClose};

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

enum class Mode { kOnce, kAlways };

const char* ModeName(Mode mode) { return mode == Mode::kOnce ? "once" : "always"; }

constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kControlChange = 0xB0;
constexpr uint8_t kPlay = 94;
constexpr uint8_t kLoop = 86;
constexpr uint8_t kShift = 121;
constexpr uint8_t kIn = 87;
constexpr uint8_t kUndo = 76;

const std::vector<std::string> kCommands = {"Undo (1)", "Redo", "Metronome On/Off toggle",
                                            "Selection Anchor Left when playing",
                                            "Zoom In Horizontally"};

// What a phase gives back, besides what the simulated machine saw.
struct PhaseResult {
  std::string text;
};

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

// One case of the matrix, or the clean run of a phase with no fault.
struct Case {
  Phase phase;
  std::string function;  // empty: no fault
  Code code{0, ""};
  Mode mode = Mode::kOnce;
};

struct Outcome {
  std::string phaseResult;
  std::vector<std::string> debugLines;
  std::vector<std::string> messageBoxes;
  bool escaped = false;
  unsigned devicesLeft = 0;
  unsigned headersLeft = 0;
  unsigned pendingLeft = 0;
  // The next open, with the fault cleared.
  int reopen = -1;
  bool worksAgain = false;
  std::vector<std::string> reopenDebugLines;
  unsigned reopenDevicesLeft = 0;
  unsigned reopenHeadersLeft = 0;
  std::set<std::string> called;  // with call counts that rose during the phase
};

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

// Faults of the registry's store file rather than of a function: the file
// holds no valid store, or its directory can't be made because a file stands
// in its place.
const char kStoreFile[] = "store file";
const Code kStoreFaults[] = {{1, "not valid"}, {2, "directory is a file"}};

class Matrix {
 public:
  Matrix(Plugin& plugin, fs::path storeFile, std::string configRoot)
      : m_plugin(plugin), m_storeFile(std::move(storeFile)), m_configRoot(std::move(configRoot)) {
    m_host.SetCommands(kCommands);
    m_host.SetName(2, "Guitar");
    m_host.SetVolume(2, -3.5);
    m_host.SetPan(2, -30);
  }

  Outcome Run(const Case& c) {
    Outcome out;
    SimSurface surface;
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
    sim_clear_faults();
    if (c.function == kStoreFile) RepairStore();
    for (const auto& [name, count] : CallCounts()) {
      const auto it = before.find(name);
      if (it == before.end() || it->second < count) out.called.insert(name);
    }
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
    out.reopenDebugLines = DebugLines();
    out.reopenDevicesLeft = sim_open_devices();
    out.reopenHeadersLeft = sim_prepared_headers();
    out.escaped = m_plugin.TakeEscaped();
    sim_user_reset();
    return out;
  }

 private:
  // One stored binding, so that loading reads a value as well as the key.
  static void StoreBindings() {
    HKEY key = nullptr;
    DWORD disposition = 0;
    char noClass[] = "";
    RegCreateKeyExA(HKEY_CURRENT_USER, kBindingsKey, 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key,
                    &disposition);
    const char name[] = "Zoom In Horizontally";
    RegSetValueExA(key, "In", 0, REG_SZ, reinterpret_cast<const BYTE*>(name), sizeof name);
    RegCloseKey(key);
  }

  void BreakStore(unsigned fault) const {
    const fs::path dir = m_storeFile.parent_path();
    fs::remove_all(dir);
    if (fault == 1) {
      fs::create_directories(dir);
      std::ofstream(m_storeFile) << "{ not a store";
    } else {
      std::ofstream(dir) << "a file where the store's directory belongs";
    }
  }

  void RepairStore() const {
    fs::remove_all(m_storeFile.parent_path());
    StoreBindings();
  }

  std::string RunPhase(Phase phase, const SimSurface& surface, const HostServices& services) {
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
        surface.Send(kControlChange, 60, 1);
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

  Plugin& m_plugin;
  const fs::path m_storeFile;
  const std::string m_configRoot;
  FakeHost m_host;
};

// ---- The table -------------------------------------------------------------

std::string Cell(const std::vector<std::string>& lines) {
  std::string text;
  for (std::string line : lines) {
    while (!line.empty() && line.back() == '\n') line.pop_back();
    if (line.empty()) continue;
    for (char& ch : line) {
      if (ch == '\n') ch = ' ';
      if (ch == '|') ch = '/';
    }
    if (!text.empty()) text += "<br>";
    text += "\"" + line + "\"";
  }
  return text.empty() ? "none" : text;
}

// How many headers a refused unprepare keeps depends on how the worker's
// releases fell; the table says only what was kept.
std::string LeftAfterClose(const Outcome& out) {
  std::vector<std::string> left;
  if (out.devicesLeft != 0) left.push_back("device open");
  if (out.headersLeft != 0) left.push_back("headers prepared");
  if (out.pendingLeft != 0) left.push_back("headers pending");
  if (left.empty()) return "nothing";
  std::string text = left.front();
  for (size_t i = 1; i < left.size(); ++i) text += ", " + left[i];
  return text;
}

std::string NextOpen(const Outcome& out) {
  if (out.worksAgain && out.reopenDebugLines.empty()) return "attaches, works";
  std::ostringstream text;
  text << "OpenController " << out.reopen << (out.worksAgain ? ", works" : ", does not work");
  if (!out.reopenDebugLines.empty()) text << ": " << Cell(out.reopenDebugLines);
  return text.str();
}

// Faults under which the system itself keeps a device or a header: a close
// or an unprepare refused on every try while the plug-in closes can't be
// undone by it later, as there is no plug-in left.
bool DeviceKeptBySystem(const Case& c) {
  return c.phase == Phase::kClose && c.mode == Mode::kAlways &&
         (c.function == "midiOutClose" || c.function == "midiInClose");
}
bool HeaderKeptBySystem(const Case& c) {
  return c.phase == Phase::kClose && c.mode == Mode::kAlways &&
         c.function == "midiOutUnprepareHeader";
}

// The lines only one of the two tables has, each marked with the table
// it comes from.
std::string ChangedLines(const std::string& committed, const std::string& generated) {
  auto lines = [](const std::string& text) {
    std::multiset<std::string> set;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) set.insert(line);
    return set;
  };
  const auto before = lines(committed);
  const auto after = lines(generated);
  std::string changes;
  for (const auto& line : before) {
    if (after.count(line) < before.count(line)) changes += "committed: " + line + "\n";
  }
  for (const auto& line : after) {
    if (before.count(line) < after.count(line)) changes += "generated: " + line + "\n";
  }
  return changes;
}

// The lines the plug-in documents for a surface it can't find or attach.
void ExpectDocumentedLine(const Case& c, const Outcome& out) {
  if (c.phase != Phase::kOpen) return;
  static const std::set<std::string> notFound = {"midiOutGetNumDevs", "midiInGetNumDevs",
                                                 "midiOutGetDevCapsA", "midiInGetDevCapsA"};
  static const std::set<std::string> notAttached = {"midiOutOpen",          "midiInOpen",
                                                    "midiInStart",          "midiOutLongMsg",
                                                    "midiOutPrepareHeader", "midiOutShortMsg"};
  if (notFound.count(c.function) != 0) {
    EXPECT_EQ(out.phaseResult, "OpenController 0");
    EXPECT_EQ(out.debugLines, std::vector<std::string>{"Couldn't find Quillmote Midi port\n"});
  } else if (notAttached.count(c.function) != 0) {
    EXPECT_EQ(out.phaseResult, "OpenController 1");
    ASSERT_FALSE(out.debugLines.empty());
    EXPECT_EQ(out.debugLines.front().rfind("Error attaching to Quillmote Midi port ", 0), 0u)
        << out.debugLines.front();
  }
}

class FaultMatrix : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_plugin = new Plugin; }
  static void TearDownTestSuite() {
    delete s_plugin;
    s_plugin = nullptr;
  }

  static Plugin* s_plugin;
  bindtest::ConfigDir m_config;
};

Plugin* FaultMatrix::s_plugin = nullptr;

// Ends the process with the case it was in when a case stops making
// progress: a hang is a fault like any other, and should say where it was.
class Watchdog {
 public:
  Watchdog() : m_thread([this] { Watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_done = true;
    }
    m_changed.notify_all();
    m_thread.join();
  }
  void Enter(const std::string& what) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_current = what;
    ++m_progress;
  }

 private:
  void Watch() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_done) {
      const unsigned seen = m_progress;
      if (!m_changed.wait_for(lock, std::chrono::minutes(1),
                              [&] { return m_done || m_progress != seen; })) {
        std::fprintf(stderr, "fault matrix: no progress in case %s\n", m_current.c_str());
        std::abort();
      }
    }
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::string m_current;
  unsigned m_progress = 0;
  bool m_done = false;
  std::thread m_thread;
};

TEST_F(FaultMatrix, EveryPlatformFailureInEveryPhaseLeavesThePlugInWorking) {
  ASSERT_TRUE(s_plugin->Loaded()) << dlerror();
  Matrix matrix(*s_plugin, m_config.StoreFile(), m_config.Dir().parent_path().string());
  Watchdog watchdog;

  std::ostringstream table;
  table << "# Fault matrix\n\n"
        << "Generated by the native test `FaultMatrix` (tests/native/test_fault_matrix.cpp); "
           "refresh with `scripts/fault-matrix.sh`.\n\n"
        << "Each platform function that a phase calls fails with each result code it can "
           "return, either on its first call in the phase (once) or on every call (always). "
           "After the phase the fault clears and the host closes the plug-in. "
           "\"Left after close\" counts the devices still open and the headers still "
           "prepared; \"Next open\" is a later `OpenController` with a PLAY press and a time "
           "notification. No case crashed or let an exception reach the host or the system.\n\n";

  unsigned cases = 0;
  std::map<std::string, unsigned> outcomes;
  for (Phase phase : kPhases) {
    watchdog.Enter(std::string(PhaseName(phase)) + " (no fault)");
    const Outcome clean = matrix.Run({phase, "", {0, ""}, Mode::kOnce});
    EXPECT_TRUE(clean.debugLines.empty()) << PhaseName(phase) << ": " << Cell(clean.debugLines);
    ASSERT_TRUE(clean.worksAgain) << PhaseName(phase);
    ASSERT_EQ(clean.devicesLeft + clean.headersLeft, 0u) << PhaseName(phase);

    std::vector<std::string> listed;
    table << "## " << PhaseName(phase) << "\n\n"
          << "| Function | Result | Fails | Phase result | Debugger output and messages | "
             "Left after close | Next open |\n"
          << "|---|---|---|---|---|---|---|\n";
    for (const std::string& function : clean.called) {
      if (CannotFail().count(function) != 0) {
        listed.push_back(function);
        continue;
      }
      const auto codes = ResultCodes().find(function);
      if (codes == ResultCodes().end()) {
        ADD_FAILURE() << "no result codes known for " << function;
        continue;
      }
      for (const Code& code : codes->second) {
        for (Mode mode : {Mode::kOnce, Mode::kAlways}) {
          const Case c{phase, function, code, mode};
          const std::string name =
              function + " " + code.name + " " + ModeName(mode) + " in " + PhaseName(phase);
          watchdog.Enter(name);
          const Outcome out = matrix.Run(c);
          ++cases;
          SCOPED_TRACE(name);
          EXPECT_FALSE(out.escaped) << "an exception reached the host";
          if (!DeviceKeptBySystem(c)) {
            EXPECT_EQ(out.devicesLeft, 0u);
            EXPECT_TRUE(out.worksAgain) << NextOpen(out);
            EXPECT_TRUE(out.reopenDebugLines.empty()) << Cell(out.reopenDebugLines);
          }
          if (!HeaderKeptBySystem(c)) {
            EXPECT_EQ(out.headersLeft, 0u);
          }
          EXPECT_EQ(out.pendingLeft, 0u);
          EXPECT_EQ(out.reopenDevicesLeft, DeviceKeptBySystem(c) ? out.devicesLeft : 0u);
          // A later plug-in adds nothing to what the system kept.
          EXPECT_EQ(out.reopenHeadersLeft, HeaderKeptBySystem(c) ? out.headersLeft : 0u);
          // Nothing the host sees fails silently: a refused open says why.
          if (out.phaseResult == "OpenController 0") {
            EXPECT_FALSE(out.debugLines.empty());
          }
          ExpectDocumentedLine(c, out);

          const std::string result = NextOpen(out);
          ++outcomes[result];
          table << "| " << function << " | " << code.name << " | " << ModeName(mode) << " | "
                << (out.phaseResult.empty() ? "returned" : out.phaseResult) << " | "
                << Cell(out.debugLines)
                << (out.messageBoxes.empty() ? "" : "<br>message box: " + Cell(out.messageBoxes))
                << " | " << LeftAfterClose(out) << " | " << result << " |\n";
        }
      }
    }
    // The store file is read and written through the registry functions.
    if (clean.called.count("RegOpenKeyA") != 0 || clean.called.count("RegCreateKeyExA") != 0) {
      for (const Code& code : kStoreFaults) {
        const Case c{phase, kStoreFile, code, Mode::kAlways};
        const std::string name =
            std::string(kStoreFile) + " " + code.name + " in " + PhaseName(phase);
        watchdog.Enter(name);
        const Outcome out = matrix.Run(c);
        ++cases;
        SCOPED_TRACE(name);
        EXPECT_FALSE(out.escaped) << "an exception reached the host";
        EXPECT_EQ(out.devicesLeft + out.headersLeft + out.pendingLeft, 0u);
        EXPECT_TRUE(out.worksAgain) << NextOpen(out);
        EXPECT_TRUE(out.reopenDebugLines.empty()) << Cell(out.reopenDebugLines);
        const std::string result = NextOpen(out);
        ++outcomes[result];
        table << "| " << kStoreFile << " | " << code.name << " | during the phase | "
              << (out.phaseResult.empty() ? "returned" : out.phaseResult) << " | "
              << Cell(out.debugLines)
              << (out.messageBoxes.empty() ? "" : "<br>message box: " + Cell(out.messageBoxes))
              << " | " << LeftAfterClose(out) << " | " << result << " |\n";
      }
    }
    table << "\nAlso called, and unable to fail: ";
    for (size_t i = 0; i < listed.size(); ++i) table << (i == 0 ? "" : ", ") << listed[i];
    table << ".\n\n";
  }
  table << "## Summary\n\n" << cases << " cases.\n\n";
  for (const auto& [result, count] : outcomes) table << "- " << result << ": " << count << "\n";

  const fs::path artifacts = fs::path(QM_BINARY_DIR) / "artifacts";
  fs::create_directories(artifacts);
  std::ofstream(artifacts / "fault-matrix.md") << table.str();
  const std::string committed =
      bindtest::ReadFile(fs::path(QM_SOURCE_DIR) / "docs/fault-matrix.md");
  EXPECT_TRUE(committed == table.str())
      << ChangedLines(committed, table.str())
      << "The fault matrix changed: compare docs/fault-matrix.md with "
      << (artifacts / "fault-matrix.md").string()
      << " and refresh it with scripts/fault-matrix.sh if the change is meant.";
}

}  // namespace
