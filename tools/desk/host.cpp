#include <windows.h>

#include "host.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>

#include "bindings/binding_table.h"

namespace desk {

namespace {

// The plug-in's callbacks are plain functions; they reach the one host here.
std::atomic<Host*> g_host{nullptr};

constexpr std::size_t kNameBufferSize = 64;
constexpr auto kTickInterval = std::chrono::milliseconds(100);
constexpr double kMinVolume = -160.0;
constexpr double kMaxVolume = 24.0;
constexpr int32_t kMaxPan = 100;

std::vector<std::string> MakeCommands() {
  std::vector<std::string> commands = {"File: Save",  "File: Save As",   "Undo (1)",
                                       "Redo",        "Edit: Cut",       "Edit: Copy",
                                       "Edit: Paste", "Edit: Select All"};
  for (const BindingSlot& slot : BindingTable) commands.push_back(slot.m_defaultName);
  for (const char* name : {"Split Clip", "Normalize", "Toggle Snap to Grid", "Zoom to Selection",
                           "Go to Start", "Add Marker"}) {
    commands.push_back(name);
  }
  return commands;
}

std::vector<Track> MakeTracks() {
  return {
      {"Drums", 0.0, 0, false, false, false},
      {"Bass", -3.5, -20, false, false, false},
      {"Guitar L", -6.0, -60, false, false, false},
      {"Guitar R", -6.0, 60, false, false, false},
      {"Keys", -8.5, 15, false, false, false},
      {"Lead Vocal", 2.0, 0, false, false, true},
      {"Backing Vocals", -4.0, -35, false, false, false},
      {"Room Mics", -12.0, 0, true, false, false},
  };
}

double Triangle(int64_t ms, int64_t period) {
  const double x = static_cast<double>(ms % period) / static_cast<double>(period);
  return x < 0.5 ? 2.0 * x : 2.0 - 2.0 * x;
}

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

std::string TrackName(int track) { return "track " + std::to_string(track + 1); }

// Runs a callback body; nothing may leave a callback into the plug-in.
template <class F>
void Guard(Log& log, const char* what, F&& body) noexcept {
  try {
    body();
  } catch (const std::exception& e) {
    try {
      log.Add(Source::kError, std::string(what) + ": " + e.what());
    } catch (...) {
    }
  } catch (...) {
  }
}

}  // namespace

std::string FormatTime(int64_t ms) {
  if (ms < 0) ms = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%02" PRId64 ":%02" PRId64 ":%02" PRId64 ".%02" PRId64,
                ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms / 10 % 100);
  return text;
}

std::string FormatPan(int32_t pan) {
  if (pan == 0) return "CTR";
  return (pan < 0 ? "L" : "R") + std::to_string(pan < 0 ? -pan : pan);
}

std::string FormatNumber(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

void LevelsAt(int64_t ms, double* first, double* second) {
  *first = 0.15 + 0.8 * Triangle(ms, 1300);
  *second = 0.1 + 0.75 * Triangle(ms + 400, 1700);
}

Host::Host(Log& log, Machine& machine)
    : m_log(log), m_machine(machine), m_commands(MakeCommands()), m_tracks(MakeTracks()) {
  g_host = this;
}

Host::~Host() {
  Stop();
  g_host = nullptr;
}

HostServices Host::Services() const {
  HostServices services{};
  services.DoAction = &Host::OnDoAction;
  services.QueryValue = &Host::OnQueryValue;
  services.GetCommandName = &Host::OnGetCommandName;
  services.Reserved = 0;
  services.RunCommand = &Host::OnRunCommand;
  services.CommandCount = static_cast<int32_t>(m_commands.size());
  return services;
}

void Host::SetCommandObserver(std::function<void(int32_t, bool)> observer) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_commandObserver = std::move(observer);
}

int Host::FindCommand(const std::string& name) const {
  for (std::size_t i = 0; i < m_commands.size(); ++i) {
    if (m_commands[i] == name) return static_cast<int>(i);
  }
  return -1;
}

// ---- The host's thread ----

void Host::Start(bool stepMode, std::function<void()> afterItem) {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_stepMode = stepMode;
    m_afterItem = std::move(afterItem);
    m_quit = false;
  }
  m_thread = std::thread(&Host::ThreadMain, this);
}

void Host::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_quit = true;
  }
  m_queueChanged.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

void Host::Drain() {
  std::unique_lock<std::mutex> lock(m_queueMutex);
  if (!m_thread.joinable()) return;
  m_released = true;
  m_queueChanged.notify_all();
  m_queueChanged.wait(lock, [this] { return m_quit || (m_queue.empty() && !m_busy); });
  m_released = false;
}

void Host::Post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_queue.push_back(std::move(work));
  }
  m_queueChanged.notify_all();
}

void Host::ThreadMain() {
  std::unique_lock<std::mutex> lock(m_queueMutex);
  for (;;) {
    const bool canRun = !m_queue.empty() && (!m_stepMode || m_released);
    if (m_quit) break;
    if (canRun) {
      std::function<void()> work = std::move(m_queue.front());
      m_queue.pop_front();
      m_busy = true;
      lock.unlock();
      try {
        work();
        if (m_afterItem) m_afterItem();
      } catch (const std::exception& e) {
        m_log.Add(Source::kError, std::string("host thread: ") + e.what());
      } catch (...) {
        m_log.Add(Source::kError, "host thread: an unknown failure");
      }
      lock.lock();
      m_busy = false;
      m_queueChanged.notify_all();
      continue;
    }
    if (!m_stepMode && m_clockRunning.load()) {
      m_queueChanged.wait_for(lock, kTickInterval);
      lock.unlock();
      {
        std::lock_guard<std::mutex> state(m_mutex);
        const auto now = std::chrono::steady_clock::now();
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - m_clockMark).count();
        if (elapsed >= kTickInterval.count()) {
          m_clockMark = now;
          AdvanceLocked(elapsed);
        }
      }
      lock.lock();
    } else {
      m_queueChanged.wait(lock);
    }
  }
}

void Host::Notify(Notice notice) {
  Post([this, notice = std::move(notice)] { Deliver(notice); });
}

void Host::Deliver(const Notice& notice) {
  // A host tells only a plug-in that it has opened.
  if (!m_open.load()) return;
  const HostArg first = notice.first;
  const HostArg second = notice.second;
  const double value1 = notice.value1;
  const double value2 = notice.value2;
  UpdateArg firstArg = UpdateArg::Number(first);
  UpdateArg secondArg = UpdateArg::Number(second);
  const std::string code = std::to_string(notice.code);
  std::string text;
  switch (notice.code) {
    case HostCode::kRecordState:
      text = code + " record, " + std::to_string(first);
      break;
    case HostCode::kFlag15:
    case HostCode::kFlag16:
    case HostCode::kFlag19:
      text = code + " flag, " + std::to_string(first) + ", " + std::to_string(second);
      break;
    case HostCode::kTrackChange:
      text = code + " track, " + std::to_string(first) + ", " + std::to_string(second);
      break;
    case HostCode::kVolume:
      secondArg = UpdateArg::Double(value1);
      text = code + " volume, " + std::to_string(first) + ", " + FormatNumber(value1);
      break;
    case HostCode::kPan:
      text = code + " pan, " + std::to_string(first) + ", " + std::to_string(second);
      break;
    case HostCode::kReloadBindings:
      text = code + " reload bindings";
      break;
    case HostCode::kLevels: {
      firstArg = UpdateArg::Double(value1);
      secondArg = UpdateArg::Double(value2);
      char levels[64];
      std::snprintf(levels, sizeof levels, "%.3f, %.3f", value1, value2);
      text = code + " levels, " + levels;
      break;
    }
    case HostCode::kTime:
      firstArg = UpdateArg::Text(notice.text);
      text = code + " time, " + Quote(notice.text);
      break;
    case HostCode::kTrackName:
      text = code + " name, " + std::to_string(first);
      break;
    default:
      text = code + ", " + std::to_string(first) + ", " + std::to_string(second);
      break;
  }
  m_log.Add(Source::kUpdate, "UpdateController(" + text + ")");
  m_machine.Update(notice.code, firstArg, secondArg);
}

// ---- The plug-in's lifetime ----

void Host::Open() {
  Post([this] {
    unsigned char info[32];
    const int queried = m_machine.Query(info, sizeof info);
    char name[11] = {};
    std::memcpy(name, info + 12, 10);
    char vendor[5] = {};
    std::memcpy(vendor, info, 4);
    uint32_t version = 0;
    std::memcpy(&version, info + 4, 4);
    char text[128];
    std::snprintf(text, sizeof text, "QueryController -> %d: \"%s\", vendor \"%s\", version 0x%X",
                  queried, name, vendor, version);
    m_log.Add(Source::kUpdate, text);

    const HostServices services = Services();
    m_log.Add(Source::kUpdate, "OpenController");
    const int opened = m_machine.Open(services);
    m_log.Add(Source::kUpdate, "OpenController returned " + std::to_string(opened) +
                                   (opened ? "" : ": no surface attached"));
    m_open = true;
    // What a host tells a freshly opened controller: where it stands.
    std::lock_guard<std::mutex> lock(m_mutex);
    SelectTrackLocked(m_current);
    NotifyTimeLocked();
  });
}

void Host::Close() {
  Post([this] {
    if (!m_open.load()) return;
    m_log.Add(Source::kUpdate, "CloseController");
    m_machine.Close();
    m_open = false;
  });
}

void Host::RunDialog(DialogRequest request, Machine::DialogObserver seen,
                     std::function<void(int)> done) {
  Post([this, request = std::move(request), seen = std::move(seen), done = std::move(done)]() {
    std::string why;
    if (!m_machine.HasDialog(&why)) {
      m_log.Add(Source::kError, why);
      return;
    }
    const int32_t count = static_cast<int32_t>(m_commands.size());
    m_log.Add(Source::kUpdate,
              "ConfigureController(0, 0, " + std::to_string(count) + ", GetCommandName)");
    bool shown = false;
    const int result = m_machine.RunDialog(count, &Host::OnGetCommandName, request, seen, &shown);
    if (!shown) m_log.Add(Source::kError, "the bindings dialog did not appear");
    m_log.Add(Source::kUpdate, "ConfigureController returned " + std::to_string(result) +
                                   (result == IDOK       ? " (OK)"
                                    : result == IDCANCEL ? " (Cancel)"
                                                         : ""));
    if (done) done(result);
  });
}

// ---- What the user does in the host ----

bool& Host::FlagOf(Track& track, int code) {
  if (code == HostCode::kToggleFlag15) return track.flag15;
  if (code == HostCode::kToggleFlag16) return track.flag16;
  return track.flag19;
}

void Host::NotifyTimeLocked() {
  Notice notice;
  notice.code = HostCode::kTime;
  notice.text = FormatTime(m_position);
  Notify(std::move(notice));
}

void Host::NotifyLevelsLocked(double first, double second) {
  m_level1 = first;
  m_level2 = second;
  Notice notice;
  notice.code = HostCode::kLevels;
  notice.value1 = first;
  notice.value2 = second;
  Notify(std::move(notice));
}

void Host::SetClockRunningLocked() {
  const bool running = m_playing || m_shuttle != 0;
  if (running && !m_clockRunning.load()) m_clockMark = std::chrono::steady_clock::now();
  m_clockRunning = running;
  // Wakes the host's thread so that it starts or stops ticking.
  m_queueChanged.notify_all();
}

void Host::SelectTrackLocked(int track) {
  m_current = track;
  m_log.Add(Source::kHost, TrackName(track) + " " + Quote(m_tracks[track].name) + " selected");
  Notice notice;
  notice.code = HostCode::kTrackChange;
  notice.first = track;
  // The label shows the track's number and, after it, how many there are.
  notice.second = static_cast<HostArg>(m_tracks.size());
  Notify(std::move(notice));
}

void Host::PlayLocked(bool looped) {
  m_playing = true;
  m_looped = looped;
  if (looped && (m_position < kLoopStartMs || m_position >= kLoopEndMs)) {
    m_position = kLoopStartMs;
  }
  m_log.Add(Source::kHost,
            looped ? "plays looped, " + FormatTime(kLoopStartMs) + " to " + FormatTime(kLoopEndMs)
                   : "plays from " + FormatTime(m_position));
  SetClockRunningLocked();
  NotifyTimeLocked();
  double first = 0.0, second = 0.0;
  LevelsAt(m_position, &first, &second);
  NotifyLevelsLocked(first, second);
}

void Host::SetRecordLocked(bool on) {
  m_recording = on;
  m_log.Add(Source::kHost, on ? "records" : "stops recording");
  Notice notice;
  notice.code = HostCode::kRecordState;
  notice.first = on ? 1 : 0;
  Notify(std::move(notice));
}

void Host::StopLocked() {
  if (m_recording) SetRecordLocked(false);
  m_playing = false;
  m_looped = false;
  m_log.Add(Source::kHost, "stops at " + FormatTime(m_position));
  SetClockRunningLocked();
  NotifyTimeLocked();
  // Silence: the meter's lowest step.
  NotifyLevelsLocked(0.0, 0.0);
}

void Host::LocateLocked(int64_t ms) {
  m_position = std::clamp<int64_t>(ms, 0, kProjectEndMs);
  m_log.Add(Source::kHost, "moves to " + FormatTime(m_position));
  NotifyTimeLocked();
}

void Host::ToggleFlagLocked(int code, int track) {
  bool& flag = FlagOf(m_tracks[track], code);
  flag = !flag;
  m_log.Add(Source::kHost,
            TrackName(track) + " flag " + std::to_string(code) + (flag ? " set" : " cleared"));
  Notice notice;
  notice.code = code;
  notice.first = track;
  notice.second = flag ? 1 : 0;
  Notify(std::move(notice));
}

void Host::AdvanceLocked(int64_t ms) {
  if (!m_playing && m_shuttle == 0) return;
  if (m_playing) {
    m_position += ms;
    if (m_looped && m_position >= kLoopEndMs) {
      m_position = kLoopStartMs + (m_position - kLoopStartMs) % (kLoopEndMs - kLoopStartMs);
    }
  }
  m_position += m_shuttle * kWindSpeed * ms;
  m_position = std::clamp<int64_t>(m_position, 0, kProjectEndMs);
  NotifyTimeLocked();
  if (m_playing) {
    double first = 0.0, second = 0.0;
    LevelsAt(m_position, &first, &second);
    NotifyLevelsLocked(first, second);
  }
}

void Host::SelectTrack(int track) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (ValidTrack(track)) SelectTrackLocked(track);
}

void Host::Play(bool looped) {
  std::lock_guard<std::mutex> lock(m_mutex);
  PlayLocked(looped);
}

void Host::StopTransport() {
  std::lock_guard<std::mutex> lock(m_mutex);
  StopLocked();
}

void Host::ToggleRecord() {
  std::lock_guard<std::mutex> lock(m_mutex);
  SetRecordLocked(!m_recording);
  if (m_recording && !m_playing) PlayLocked(false);
}

void Host::SetVolume(int track, double volume) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!ValidTrack(track)) return;
  m_tracks[track].volume = std::clamp(volume, kMinVolume, kMaxVolume);
  m_log.Add(Source::kHost, TrackName(track) + " volume " + FormatNumber(m_tracks[track].volume));
  Notice notice;
  notice.code = HostCode::kVolume;
  notice.first = track;
  notice.value1 = m_tracks[track].volume;
  Notify(std::move(notice));
}

void Host::SetPan(int track, int32_t pan) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!ValidTrack(track)) return;
  m_tracks[track].pan = std::clamp(pan, -kMaxPan, kMaxPan);
  m_log.Add(Source::kHost, TrackName(track) + " pan " + FormatPan(m_tracks[track].pan));
  Notice notice;
  notice.code = HostCode::kPan;
  notice.first = track;
  notice.second = m_tracks[track].pan;
  Notify(std::move(notice));
}

void Host::ToggleFlag(int code, int track) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (ValidTrack(track)) ToggleFlagLocked(code, track);
}

void Host::Rename(int track, const std::string& name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!ValidTrack(track)) return;
  m_tracks[track].name = name;
  m_log.Add(Source::kHost, TrackName(track) + " renamed " + Quote(name));
  Notice notice;
  notice.code = HostCode::kTrackName;
  notice.first = track;
  Notify(std::move(notice));
}

void Host::ReportLevels(double first, double second) {
  std::lock_guard<std::mutex> lock(m_mutex);
  NotifyLevelsLocked(first, second);
}

void Host::Locate(int64_t ms) {
  std::lock_guard<std::mutex> lock(m_mutex);
  LocateLocked(ms);
}

void Host::ReloadBindings() {
  Notice notice;
  notice.code = HostCode::kReloadBindings;
  Notify(std::move(notice));
}

void Host::AdvanceClock(int64_t ms) {
  std::lock_guard<std::mutex> lock(m_mutex);
  AdvanceLocked(ms);
}

int Host::TrackCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<int>(m_tracks.size());
}

Host::Snapshot Host::Take() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  Snapshot snapshot;
  snapshot.tracks = m_tracks;
  snapshot.current = m_current;
  snapshot.playing = m_playing;
  snapshot.looped = m_looped;
  snapshot.recording = m_recording;
  snapshot.shuttle = m_shuttle;
  snapshot.position = m_position;
  snapshot.level1 = m_level1;
  snapshot.level2 = m_level2;
  snapshot.metronome = m_metronome;
  snapshot.monitor = m_monitor;
  snapshot.mixer = m_mixer;
  snapshot.markers = m_markers;
  snapshot.lastCommand = m_lastCommand;
  snapshot.open = m_open.load();
  return snapshot;
}

// ---- The callbacks the plug-in calls ----

void __cdecl Host::OnDoAction(int32_t code, int32_t value, int32_t track, int32_t reserved) {
  if (Host* host = g_host.load()) {
    Guard(host->m_log, "DoAction", [&] { host->DoAction(code, value, track, reserved); });
  }
}

void __cdecl Host::OnQueryValue(int32_t code, int32_t track, void* result, int32_t) {
  if (Host* host = g_host.load()) {
    Guard(host->m_log, "QueryValue", [&] { host->QueryValue(code, track, result); });
  }
}

void __cdecl Host::OnGetCommandName(int32_t index, char* buffer, int32_t size, int32_t* valid) {
  if (Host* host = g_host.load()) {
    Guard(host->m_log, "GetCommandName", [&] { host->GetCommandName(index, buffer, size, valid); });
  }
}

void __cdecl Host::OnRunCommand(int32_t index, int32_t status) {
  if (Host* host = g_host.load()) {
    Guard(host->m_log, "RunCommand", [&] { host->RunCommand(index, status); });
  }
}

void Host::DoAction(int32_t code, int32_t rawValue, int32_t rawTrack, int32_t reserved) {
  std::string call = "DoAction(" + std::to_string(code) + ", " + std::to_string(rawValue) + ", " +
                     std::to_string(rawTrack);
  if (reserved != 0) call += ", reserved " + std::to_string(reserved);
  m_log.Add(Source::kCall, call + ")");

  // Only the low 16 bits of the value and the track carry them.
  const int value = static_cast<int16_t>(rawValue & 0xFFFF);
  const int track = rawTrack & 0xFFFF;
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto needTrack = [&] {
    if (ValidTrack(track)) return true;
    m_log.Add(Source::kHost, "ignores it: there is no " + TrackName(track));
    return false;
  };
  switch (code) {
    case HostCode::kRewind:
    case HostCode::kFastForward:
      m_shuttle = value != 0 ? (code == HostCode::kRewind ? -1 : 1) : 0;
      m_log.Add(Source::kHost, m_shuttle < 0   ? "rewinds"
                               : m_shuttle > 0 ? "fast-forwards"
                                               : "stops winding at " + FormatTime(m_position));
      SetClockRunningLocked();
      if (m_shuttle == 0) NotifyTimeLocked();
      break;
    case HostCode::kStop:
      StopLocked();
      break;
    case HostCode::kPlay:
    case HostCode::kPlayLooped:
      PlayLocked(code == HostCode::kPlayLooped);
      break;
    case HostCode::kRecord:
      SetRecordLocked(!m_recording);
      if (m_recording && !m_playing) PlayLocked(false);
      break;
    case HostCode::kAdd:
      if (std::find(m_markers.begin(), m_markers.end(), m_position) == m_markers.end()) {
        m_markers.push_back(m_position);
        std::sort(m_markers.begin(), m_markers.end());
      }
      m_log.Add(Source::kHost, "marker at " + FormatTime(m_position) + " (" +
                                   std::to_string(m_markers.size()) + " in all)");
      break;
    case HostCode::kNext: {
      auto next = std::upper_bound(m_markers.begin(), m_markers.end(), m_position);
      if (next == m_markers.end()) {
        m_log.Add(Source::kHost, "no marker after " + FormatTime(m_position));
      } else {
        LocateLocked(*next);
      }
      break;
    }
    case HostCode::kPrevious: {
      auto after = std::lower_bound(m_markers.begin(), m_markers.end(), m_position);
      if (after == m_markers.begin()) {
        m_log.Add(Source::kHost, "no marker before " + FormatTime(m_position));
      } else {
        LocateLocked(*(after - 1));
      }
      break;
    }
    case HostCode::kTransportStep:
      LocateLocked(m_position + (value > 0 ? kStepMs : -kStepMs));
      break;
    case HostCode::kToggleFlag15:
    case HostCode::kToggleFlag16:
    case HostCode::kToggleFlag19:
      if (needTrack()) ToggleFlagLocked(code, track);
      break;
    case HostCode::kSelectTrack:
      // A host selects its last track for a number beyond it.
      SelectTrackLocked(std::min(track, static_cast<int>(m_tracks.size()) - 1));
      break;
    case HostCode::kSetVolume:
      if (needTrack()) {
        m_tracks[track].volume = std::clamp(value / 100.0, kMinVolume, kMaxVolume);
        m_log.Add(Source::kHost,
                  TrackName(track) + " volume " + FormatNumber(m_tracks[track].volume));
        Notice notice;
        notice.code = HostCode::kVolume;
        notice.first = track;
        notice.value1 = m_tracks[track].volume;
        Notify(std::move(notice));
      }
      break;
    case HostCode::kChangePan:
      if (needTrack()) {
        m_tracks[track].pan = std::clamp(m_tracks[track].pan + value, -kMaxPan, kMaxPan);
        m_log.Add(Source::kHost, TrackName(track) + " pan " + FormatPan(m_tracks[track].pan));
        Notice notice;
        notice.code = HostCode::kPan;
        notice.first = track;
        notice.second = m_tracks[track].pan;
        Notify(std::move(notice));
      }
      break;
    default:
      m_log.Add(Source::kHost, "ignores it: " + std::to_string(code) + " is no action");
      break;
  }
}

void Host::QueryValue(int32_t code, int32_t track, void* result) {
  m_log.AddQuery(code, track);
  std::lock_guard<std::mutex> lock(m_mutex);
  // Tracks the host does not have answer as empty ones, so that the answer is
  // always written.
  static const Track kNoTrack;
  const Track& t = ValidTrack(track) ? m_tracks[track] : kNoTrack;
  switch (code) {
    case HostCode::kQueryFlag15:
    case HostCode::kQueryFlag16:
    case HostCode::kQueryFlag19: {
      const int32_t flag = (code == HostCode::kQueryFlag15   ? t.flag15
                            : code == HostCode::kQueryFlag16 ? t.flag16
                                                             : t.flag19)
                               ? 1
                               : 0;
      std::memcpy(result, &flag, sizeof flag);
      break;
    }
    case HostCode::kQueryVolume:
      std::memcpy(result, &t.volume, sizeof t.volume);
      break;
    case HostCode::kQueryPan:
      std::memcpy(result, &t.pan, sizeof t.pan);
      break;
    case HostCode::kQueryName: {
      char name[kNameBufferSize] = {};
      std::strncpy(name, t.name.c_str(), sizeof name - 1);
      std::memcpy(result, name, sizeof name);
      break;
    }
    default:
      m_log.Add(Source::kHost, "cannot answer query " + std::to_string(code));
      break;
  }
}

void Host::GetCommandName(int32_t index, char* buffer, int32_t size, int32_t* valid) {
  m_log.AddNameLookup(index);
  if (index < 0 || index >= static_cast<int32_t>(m_commands.size()) || buffer == nullptr ||
      size <= 0) {
    if (valid != nullptr) *valid = 0;
    return;
  }
  const std::string& name = m_commands[index];
  const std::size_t length = std::min(name.size(), static_cast<std::size_t>(size - 1));
  std::memcpy(buffer, name.data(), length);
  buffer[length] = 0;
  if (valid != nullptr) *valid = 1;
}

void Host::RunCommand(int32_t index, int32_t status) {
  const bool known = index >= 0 && index < static_cast<int32_t>(m_commands.size());
  std::string edge = status == kCommandPressed    ? "press"
                     : status == kCommandReleased ? "release"
                                                 : "status " + std::to_string(status);
  m_log.Add(Source::kCall, "RunCommand(" + std::to_string(index) + ", " + edge + ") " +
                               (known ? Quote(m_commands[index]) : "-- no such command"));
  std::function<void(int32_t, bool)> observer;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    observer = m_commandObserver;
    // Commands act when their button goes down.
    if (known && status == kCommandPressed) {
      m_lastCommand = m_commands[index];
      RunCommandEffect(m_commands[index]);
    }
  }
  if (observer) observer(index, status == kCommandPressed);
}

void Host::RunCommandEffect(const std::string& name) {
  const auto toggle = [&](bool& flag, const char* what) {
    flag = !flag;
    m_log.Add(Source::kHost, std::string(what) + (flag ? " on" : " off"));
  };
  if (name == "Undo (1)") {
    m_log.Add(Source::kHost, "undoes the last edit");
  } else if (name == "Redo") {
    m_log.Add(Source::kHost, "redoes the last edit");
  } else if (name == "Record/Stop toggle") {
    if (m_recording) {
      StopLocked();
    } else {
      SetRecordLocked(true);
      if (!m_playing) PlayLocked(false);
    }
  } else if (name == "Metronome On/Off toggle") {
    toggle(m_metronome, "metronome");
  } else if (name == "Monitor Record Level toggle") {
    toggle(m_monitor, "record level monitor");
  } else if (name == "Mixer panel toggle") {
    toggle(m_mixer, "mixer panel");
  } else if (name == "Move Cursor to Beginning" || name == "Go to Start") {
    LocateLocked(0);
  } else if (name == "Move Cursor to End") {
    LocateLocked(kProjectEndMs);
  } else if (name == "Insert: Audio Track" || name == "Insert: MIDI Track") {
    if (static_cast<int>(m_tracks.size()) >= kMaxTracks) {
      m_log.Add(Source::kHost, "has " + std::to_string(kMaxTracks) + " tracks, no room for more");
      return;
    }
    Track track;
    track.name =
        (name == "Insert: Audio Track" ? "Audio " : "MIDI ") + std::to_string(m_tracks.size() + 1);
    m_tracks.push_back(track);
    m_log.Add(Source::kHost,
              "adds " + TrackName(static_cast<int>(m_tracks.size()) - 1) + " " + Quote(track.name));
    SelectTrackLocked(static_cast<int>(m_tracks.size()) - 1);
  } else {
    m_log.Add(Source::kHost, "runs " + Quote(name));
  }
}

}  // namespace desk
