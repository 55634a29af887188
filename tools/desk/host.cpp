#include <windows.h>

#include "host.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>

#include "host_parts.h"

namespace desk {

std::atomic<Host*> host_parts::g_host{nullptr};

using namespace host_parts;

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

}  // namespace desk
