#include <windows.h>

#include "wine_machine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <vector>

#include "bindings/binding_table.h"
#include "wine_machine_parts.h"
#include <sys/stat.h>
#include <sys/wait.h>

namespace desk {

using namespace wine;

namespace {

constexpr char kBridgeFile[] = "quillmote-bridge.exe";
constexpr char kWinmmFile[] = "winmm.dll";
constexpr char kPluginFile[] = "Quillmote1_5.cv2";
// Wine takes the test winmm.dll beside the bridge over its own; mscoree and
// mshtml would only ask to install Mono and Gecko.
constexpr char kDllOverrides[] = "mscoree,mshtml=;winmm=n,b";
// A fresh Wine prefix takes a while to be made; a made one starts in seconds.
constexpr int kStartTimeoutMs = 180000;
// The bridge answers every request within its own idle timeout (10 s).
constexpr int kQuitTimeoutMs = 10000;

bool IsFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The program as the shell would find it, or "" when it cannot be found.
std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

// A Unix path as Wine's Z: drive shows it.
std::string WindowsPath(const std::string& path) {
  std::string windows = "Z:" + Absolute(path);
  for (char& c : windows) {
    if (c == '/') c = '\\';
  }
  return windows;
}

}  // namespace

WineMachine::~WineMachine() {
  if (m_pid > 0) {
    {
      std::lock_guard<std::mutex> lock(m_requestMutex);
      Write("quit");
      // Whatever comes until "bye" no longer matters.
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(kQuitTimeoutMs);
      std::string line;
      while (std::chrono::steady_clock::now() < deadline && WaitForLine(&line, 1000)) {
        if (line == "bye") break;
        if (StartsWith(line, "call ")) AnswerCall(line);
      }
    }
    int status = 0;
    bool ended = false;
    for (int i = 0; i < kQuitTimeoutMs / 10 && !ended; ++i) {
      ended = waitpid(m_pid, &status, WNOHANG) == m_pid;
      if (!ended) usleep(10000);
    }
    if (!ended) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
  }
  m_stopping = true;
  if (m_reader.joinable()) m_reader.join();
  for (int fd : {m_toBridge, m_fromBridge, m_stderr}) {
    if (fd >= 0) close(fd);
  }
}

bool WineMachine::Start(const WineSetup& setup, std::string* error) {
  const std::string dir = Absolute(setup.windowsBuild);
  const std::string build =
      "Build the windows configuration first (cmake --preset windows && cmake --build "
      "build-windows), or name its folder with --windows-build DIR.";
  for (const char* file : {kBridgeFile, kWinmmFile}) {
    if (!IsFile(dir + "/" + file)) {
      *error = "cannot find " + dir + "/" + file + " for --wine.\n" + build;
      return false;
    }
  }
  const std::string plugin = setup.plugin.empty() ? dir + "/" + kPluginFile : setup.plugin;
  if (!IsFile(plugin)) {
    *error = "cannot find the plug-in DLL " + plugin + " for --wine.\n" +
             (setup.plugin.empty() ? build : "Name the DLL with --plugin PATH.");
    return false;
  }
  const std::string wine = FindProgram(setup.wine);
  if (wine.empty()) {
    *error = "--wine needs Wine, and \"" + setup.wine +
             "\" is not installed (scripts/install-deps.sh installs it).";
    return false;
  }
  const std::string prefix = Absolute(setup.prefix.empty() ? dir + "/wineprefix" : setup.prefix);
  if (!IsFile(prefix + "/system.reg")) {
    std::cerr << "quillmote-desk: making the Wine prefix " << prefix
              << " (the first time only; this takes a while)...\n";
  }
  m_name = plugin.substr(plugin.rfind('/') + 1) + " under Wine";

  // The bridge reads a pipe and writes one; what it says on standard error
  // (Wine's own complaints too) is kept aside for a failure.
  int toBridge[2], fromBridge[2];
  if (pipe2(toBridge, O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  if (pipe2(fromBridge, O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    close(toBridge[0]);
    close(toBridge[1]);
    return false;
  }
  char stderrPath[] = "/tmp/quillmote-bridge-XXXXXX";
  m_stderr = mkostemp(stderrPath, O_CLOEXEC);
  if (m_stderr >= 0) unlink(stderrPath);
  // A bridge that goes away must not end the desk on its next write.
  signal(SIGPIPE, SIG_IGN);

  const std::string bridge = dir + "/" + kBridgeFile;
  const std::string pluginArg = setup.plugin.empty() ? kPluginFile : WindowsPath(plugin);
  const char* debug = std::getenv("WINEDEBUG");
  const std::string wineDebug = debug != nullptr && debug[0] != 0 ? debug : "-all";
  m_pid = fork();
  if (m_pid < 0) {
    *error = std::string("cannot start Wine: ") + std::strerror(errno);
    for (int fd : {toBridge[0], toBridge[1], fromBridge[0], fromBridge[1]}) close(fd);
    return false;
  }
  if (m_pid == 0) {
    dup2(toBridge[0], STDIN_FILENO);
    dup2(fromBridge[1], STDOUT_FILENO);
    if (m_stderr >= 0) dup2(m_stderr, STDERR_FILENO);
    if (chdir(dir.c_str()) != 0) _exit(126);
    setenv("WINEPREFIX", prefix.c_str(), 1);
    setenv("WINEDEBUG", wineDebug.c_str(), 1);
    setenv("WINEDLLOVERRIDES", kDllOverrides, 1);
    execl(wine.c_str(), wine.c_str(), bridge.c_str(), pluginArg.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toBridge[0]);
  close(fromBridge[1]);
  m_toBridge = toBridge[1];
  m_fromBridge = fromBridge[0];
  m_reader = std::thread(&WineMachine::ReadBridge, this);

  std::string ready;
  if (!WaitForLine(&ready, kStartTimeoutMs) || !StartsWith(ready, "ready")) {
    const std::string said = StderrText();
    *error = "the Windows plug-in did not start under Wine" +
             (said.empty() ? std::string(".") : ":\n" + said);
    m_failed = true;
    return false;
  }
  m_configure = ready == "ready 1";
  PushStore();
  return !m_failed.load();
}

std::string WineMachine::StderrText() {
  if (m_stderr < 0) return "";
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  off_t offset = 0;
  while ((got = pread(m_stderr, buffer, sizeof buffer, offset)) > 0) {
    text.append(buffer, static_cast<std::size_t>(got));
    offset += got;
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

void WineMachine::Fail(const std::string& why) {
  if (m_failed.load()) return;
  // Wine's own words (a crash's backtrace, say) come after the desk's.
  const std::string said = StderrText();
  {
    std::lock_guard<std::mutex> lock(m_failureMutex);
    m_failure = why + (said.empty() ? "" : "\n" + said);
  }
  m_failed = true;
}

bool WineMachine::Lost(std::string* why) const {
  if (!m_failed.load()) return false;
  std::lock_guard<std::mutex> lock(m_failureMutex);
  if (why != nullptr) *why = m_failure;
  return true;
}

void WineMachine::Write(const std::string& line) {
  std::lock_guard<std::mutex> lock(m_writeMutex);
  const std::string text = line + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = write(m_toBridge, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;  // the reader finds the bridge gone
    done += static_cast<std::size_t>(wrote);
  }
}

void WineMachine::ReadBridge() {
  std::string pending;
  char buffer[8192];
  while (!m_stopping.load()) {
    pollfd fd{m_fromBridge, POLLIN, 0};
    const int ready = poll(&fd, 1, 200);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) continue;
    const ssize_t got = ready > 0 ? read(m_fromBridge, buffer, sizeof buffer) : -1;
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(got));
    std::size_t end = 0;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (StartsWith(line, "out ")) {
        std::string bytes;
        if (!Unhex(line.substr(4), &bytes)) continue;
        std::lock_guard<std::mutex> lock(m_listenerMutex);
        try {
          if (m_listener) {
            m_listener(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
          }
        } catch (...) {
          // The surface's output must keep flowing.
        }
        continue;
      }
      bool answerHere = false;
      {
        std::lock_guard<std::mutex> lock(m_inboxMutex);
        // A call while no request waits (none is expected) is answered here,
        // so that the plug-in never waits for nobody.
        answerHere = !m_waiting && StartsWith(line, "call ");
        if (!answerHere) m_inbox.push_back(line);
      }
      if (answerHere) {
        AnswerCall(line);
      } else {
        m_inboxChanged.notify_all();
      }
    }
  }
  {
    std::lock_guard<std::mutex> lock(m_inboxMutex);
    m_gone = true;
  }
  m_inboxChanged.notify_all();
}

bool WineMachine::WaitForLine(std::string* line, int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_inboxMutex);
  if (!m_inboxChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [this] { return !m_inbox.empty() || m_gone; })) {
    return false;
  }
  if (m_inbox.empty()) return false;  // gone
  *line = std::move(m_inbox.front());
  m_inbox.pop_front();
  return true;
}

bool WineMachine::Request(const std::string& line, std::string* answer, const LineHandler& other) {
  std::lock_guard<std::mutex> request(m_requestMutex);
  if (m_failed.load() || m_pid <= 0) return false;
  {
    std::lock_guard<std::mutex> lock(m_inboxMutex);
    m_waiting = true;
  }
  Write(line);
  bool ok = false;
  for (;;) {
    std::string reply;
    if (!WaitForLine(&reply, kReplyTimeoutMs)) {
      bool gone = false;
      {
        std::lock_guard<std::mutex> lock(m_inboxMutex);
        gone = m_gone;
      }
      Fail(gone ? "the Wine bridge ended during \"" + line + "\""
                : "the Wine bridge did not answer \"" + line + "\"");
      break;
    }
    if (StartsWith(reply, "call ")) {
      AnswerCall(reply);
    } else if (reply == "ok" || StartsWith(reply, "ok ")) {
      if (answer != nullptr) *answer = reply.size() > 3 ? reply.substr(3) : "";
      ok = true;
      break;
    } else if (StartsWith(reply, "error")) {
      std::cerr << "quillmote-desk: the Wine bridge refused \"" << line << "\": " << reply << "\n";
      break;
    } else if (other) {
      other(reply);
    }
  }
  {
    std::lock_guard<std::mutex> lock(m_inboxMutex);
    m_waiting = false;
  }
  return ok;
}

void WineMachine::AnswerCall(const std::string& line) {
  std::istringstream in(line.substr(5));
  unsigned id = 0;
  std::string kind;
  in >> id >> kind;
  HostServices services{};
  HostGetCommandNameFn dialogNames = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_callMutex);
    services = m_services;
    dialogNames = m_dialogNames;
  }
  std::string answer = "ret " + std::to_string(id);
  if (kind == "action" && services.DoAction != nullptr) {
    int32_t code = 0, value = 0, track = 0;
    in >> code >> value >> track;
    services.DoAction(code, value, track, 0);
  } else if (kind == "query" && services.QueryValue != nullptr) {
    int32_t code = 0, track = 0;
    in >> code >> track;
    // Room for the largest answer, a name; the code tells its type.
    alignas(double) unsigned char result[kNameBufferSize] = {};
    services.QueryValue(code, track, result, 0);
    switch (code) {
      case HostCode::kQueryFlag15:
      case HostCode::kQueryFlag16:
      case HostCode::kQueryFlag19:
      case HostCode::kQueryPan: {
        int32_t number = 0;
        std::memcpy(&number, result, sizeof number);
        answer += " i:" + std::to_string(number);
        break;
      }
      case HostCode::kQueryVolume: {
        double value = 0.0;
        std::memcpy(&value, result, sizeof value);
        answer += " d:" + FormatDouble(value);
        break;
      }
      case HostCode::kQueryName: {
        const std::size_t length = strnlen(reinterpret_cast<const char*>(result), sizeof result);
        answer += " s:" + Hex(result, length);
        break;
      }
      default:
        answer += " -";
        break;
    }
  } else if (kind == "name") {
    int32_t index = 0;
    in >> index;
    const HostGetCommandNameFn names =
        dialogNames != nullptr ? dialogNames : services.GetCommandName;
    char name[kCommandNameSize] = {};
    int32_t valid = 0;
    if (names != nullptr) names(index, name, sizeof name, &valid);
    answer += valid ? " s:" + Hex(name, strnlen(name, sizeof name)) : std::string(" -");
  } else if (kind == "run" && services.RunCommand != nullptr) {
    int32_t index = 0, status = 0;
    in >> index >> status;
    services.RunCommand(index, status);
  } else if (kind == "query" || kind == "name") {
    answer += " -";
  }
  Write(answer);
}

}  // namespace desk
