// quillmote-bridge: the 32-bit Windows host end of `quillmote-desk --wine`.
// It loads the real plug-in DLL on the simulated MIDI system (the test
// winmm.dll beside it) and speaks a line protocol with the native desk over
// standard input and output, so that the desk's host and surface drive the
// Windows binary exactly as they drive the native library.
//
// Desk to bridge, one request at a time, each answered by "ok ..." once done:
//   machine 0|1                  fresh MIDI system, with the surface or not
//   query                        QueryController; "ok <result> <hex record>"
//   open <command count>         OpenController; "ok <result>"
//   update <code> <arg> <arg>    UpdateController; "ok <result>"; an argument
//                                is a number, d:<double> or s:<hex text>,
//                                passed by address ("ok &1": the first address)
//   close                        CloseController
//   send <packed message>        one short message from the surface, waited
//                                for; "ok 1" delivered, "ok 0" dropped
//   idle                         waits for the output; "ok 1", or "ok 0"
//   debug                        "dbg <hex text>" for each new debugger line
//   store [<name>:<type>:<hex data> ...]   replaces the plug-in's bindings
//                                key in the registry with these values (none:
//                                the key is removed); names are hex too
//   stored                       "ok <name>:<type>:<hex data> ..." of that key
//   dialog <count> <id> [<hex command>]   ConfigureController with the command
//                                count; once the dialog shows, the user reads
//                                it and presses Cancel (id 0), or picks the
//                                command in box <id> and presses OK (Cancel
//                                when the box lacks it), and says first what
//                                the dialog showed: "dlg <chosen 0|1> <hex
//                                caption> <id>:<selected 0|1>:<items>:<hex
//                                text> ..." (boxes 1000 to 1015, when
//                                reading). "ok <result> <shown 0|1>"
//   quit
// Bridge to desk, at any time:
//   out <hex bytes>              a message the surface received
//   call <id> action <code> <value> <track>   answered by "ret <id>"
//   call <id> query <code> <track>   "ret <id> -|i:<n>|d:<x>|s:<hex>"
//   call <id> name <index>           "ret <id> -|s:<hex>"
//   call <id> run <index> <status>   "ret <id>"
// A line that is not understood is answered "error <why>"; a desk that goes
// away ends the bridge. The first line is "ready <1|0>": whether the plug-in
// exports ConfigureController.
#include <windows.h>

#include "bridge.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "bindings/binding_table.h"
#include "host/host_services.h"
#include "protocol.h"
#include "simctl.h"

namespace bridge {

constexpr char kPortName[] = "Quillmote Port";
constexpr char kOtherPortName[] = "Desk Synth";
constexpr unsigned kIdleTimeoutMs = 10000;
constexpr std::size_t kNameSize = 64;

std::mutex g_outMutex;

void Say(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_outMutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

using desk::protocol::Hex;
using desk::protocol::Unhex;

// ---- Callbacks to the desk --------------------------------------------------

// Answers to callbacks, by id; the reader thread fills them in.
std::mutex g_callMutex;
std::condition_variable g_callAnswered;
std::map<unsigned, std::string> g_answers;
unsigned g_nextCall = 1;
bool g_deskGone = false;

// Asks the desk and waits for its answer: the plug-in's callback returns
// only once the desk's host has done what it asked.
std::string Ask(const std::string& request) {
  std::unique_lock<std::mutex> lock(g_callMutex);
  const unsigned id = g_nextCall++;
  Say("call " + std::to_string(id) + " " + request);
  g_callAnswered.wait(lock, [&] { return g_deskGone || g_answers.count(id) != 0; });
  if (g_deskGone) return "-";
  std::string answer = g_answers[id];
  g_answers.erase(id);
  return answer;
}

void __cdecl DoAction(int32_t code, int32_t value, int32_t track, int32_t) {
  Ask("action " + std::to_string(code) + " " + std::to_string(value) + " " + std::to_string(track));
}

void __cdecl QueryValue(int32_t code, int32_t track, void* result, int32_t) {
  const std::string answer = Ask("query " + std::to_string(code) + " " + std::to_string(track));
  if (answer.size() < 2 || answer[1] != ':') return;  // the slot stays as it is
  const std::string value = answer.substr(2);
  switch (answer[0]) {
    case 'i':
      *static_cast<int32_t*>(result) =
          static_cast<int32_t>(std::strtol(value.c_str(), nullptr, 10));
      break;
    case 'd':
      *static_cast<double*>(result) = std::strtod(value.c_str(), nullptr);
      break;
    case 's': {
      std::string text;
      if (!Unhex(value, &text)) return;
      text.resize(std::min(text.size(), kNameSize - 1));
      std::memcpy(result, text.c_str(), text.size() + 1);
      break;
    }
    default:
      break;
  }
}

void __cdecl GetCommandName(int32_t index, char* buffer, int32_t size, int32_t* valid) {
  *valid = 0;
  const std::string answer = Ask("name " + std::to_string(index));
  std::string text;
  if (answer.rfind("s:", 0) != 0 || !Unhex(answer.substr(2), &text) || size <= 0) return;
  text.resize(std::min<std::size_t>(text.size(), static_cast<std::size_t>(size) - 1));
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  *valid = 1;
}

void __cdecl RunCommand(int32_t index, int32_t status) {
  Ask("run " + std::to_string(index) + " " + std::to_string(status));
}

void OnOutput(void*, unsigned, const unsigned char* bytes, std::size_t length) {
  try {
    Say("out " + Hex(bytes, length));
  } catch (...) {
    // Nothing may leave the system's thread.
  }
}

template <class Fn>
void Find(HMODULE module, const char* name, Fn* fn) {
  *fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// One argument of UpdateController; what it points to lives in `keep`.
bool Argument(const std::string& token, std::deque<std::string>* keep, std::deque<double>* numbers,
              HostArg* arg) {
  if (token.rfind("d:", 0) == 0) {
    numbers->push_back(std::strtod(token.c_str() + 2, nullptr));
    *arg = reinterpret_cast<HostArg>(&numbers->back());
    return true;
  }
  if (token.rfind("s:", 0) == 0) {
    keep->emplace_back();
    if (!Unhex(token.substr(2), &keep->back())) return false;
    *arg = reinterpret_cast<HostArg>(keep->back().c_str());
    return true;
  }
  char* end = nullptr;
  *arg = static_cast<HostArg>(std::strtol(token.c_str(), &end, 10));
  return !token.empty() && *end == '\0';
}

// Carries out one request on the host's thread; returns its answer line.
std::string Handle(Plugin& plugin, const std::string& line, std::size_t* debugSeen) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  if (verb == "machine") {
    // machine WITH_PORTS [LATENESS [WIRE_RATE]]: a lateness in milliseconds
    // (not negative) turns on real-driver timing, a wire rate in bytes a
    // second the cable's pace.
    int withPorts = 1;
    int lateness = -1;
    unsigned wireRate = 0;
    in >> withPorts;
    if (!(in >> lateness)) lateness = -1;
    if (!(in >> wireRate)) wireRate = 0;
    sim_set_output_listener(nullptr, nullptr);
    sim_reset();
    *debugSeen = 0;
    sim_add_output(withPorts ? kPortName : kOtherPortName);
    sim_add_input(withPorts ? kPortName : kOtherPortName);
    if (lateness >= 0) sim_set_late_callbacks(static_cast<unsigned>(lateness), 0);
    sim_set_wire_rate(wireRate);
    sim_set_output_listener(&OnOutput, nullptr);
    return "ok";
  }
  if (verb == "query") {
    unsigned char record[64] = {};
    const int result = plugin.query(record);
    return "ok " + std::to_string(result) + " " + Hex(record, sizeof record);
  }
  if (verb == "open") {
    int32_t count = 0;
    in >> count;
    const HostServices services = {&DoAction, &QueryValue, &GetCommandName, 0, &RunCommand, count};
    return "ok " + std::to_string(plugin.open(&services));
  }
  if (verb == "update") {
    int32_t code = 0;
    std::string tokens[2];
    in >> code >> tokens[0] >> tokens[1];
    std::deque<std::string> keep;
    std::deque<double> numbers;
    HostArg args[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
      if (!Argument(tokens[i], &keep, &numbers, &args[i])) return "error bad argument " + tokens[i];
    }
    const HostArg result = plugin.update(code, args[0], args[1], 0);
    // An address handed back is named by its argument: "ok &1" for the first,
    // so that the answer doesn't depend on where the bridge kept the value.
    for (int i = 0; i < 2; ++i) {
      if (tokens[i].find(':') != std::string::npos && result == args[i]) {
        return "ok &" + std::to_string(i + 1);
      }
    }
    return "ok " + std::to_string(result);
  }
  if (verb == "close") {
    plugin.close();
    return "ok";
  }
  if (verb == "send") {
    unsigned long packed = 0;
    in >> packed;
    return "ok " + std::to_string(sim_send_input(0, static_cast<unsigned>(packed), 0, 1));
  }
  if (verb == "idle") {
    return "ok " + std::to_string(sim_wait_idle(kIdleTimeoutMs));
  }
  if (verb == "store") return Store(in);
  if (verb == "stored") return Stored();
  if (verb == "dialog") return RunDialog(plugin, in);
  if (verb == "debug") {
    for (; *debugSeen < sim_debug_count(); ++*debugSeen) {
      std::vector<char> text(sim_debug_line(*debugSeen, nullptr, 0) + 1);
      sim_debug_line(*debugSeen, text.data(), text.size());
      Say("dbg " + Hex(text.data(), std::strlen(text.data())));
    }
    return "ok";
  }
  return "error unknown request \"" + verb + "\"";
}

// Requests for the host's thread, filled by the reader thread.
std::mutex g_requestMutex;
std::condition_variable g_requestCame;
std::deque<std::string> g_requests;

// Reads standard input: answers go to the callbacks waiting for them,
// requests to the host's thread.
DWORD WINAPI ReadDesk(LPVOID) {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("ret ", 0) == 0) {
      std::istringstream in(line.substr(4));
      unsigned id = 0;
      std::string value;
      in >> id >> value;
      std::lock_guard<std::mutex> lock(g_callMutex);
      g_answers[id] = value;
      g_callAnswered.notify_all();
      continue;
    }
    std::lock_guard<std::mutex> lock(g_requestMutex);
    g_requests.push_back(line);
    g_requestCame.notify_one();
  }
  {
    std::lock_guard<std::mutex> lock(g_callMutex);
    g_deskGone = true;
    g_callAnswered.notify_all();
  }
  std::lock_guard<std::mutex> lock(g_requestMutex);
  g_requests.push_back("quit");
  g_requestCame.notify_one();
  return 0;
}

}  // namespace bridge

using namespace bridge;

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "Quillmote1_5.cv2";
  Plugin plugin;
  plugin.module = LoadLibraryA(path);
  if (plugin.module == nullptr) {
    std::fprintf(stderr, "quillmote-bridge: cannot load %s (error %lu)\n", path, GetLastError());
    return 1;
  }
  Find(plugin.module, "QueryController", &plugin.query);
  Find(plugin.module, "OpenController", &plugin.open);
  Find(plugin.module, "UpdateController", &plugin.update);
  Find(plugin.module, "CloseController", &plugin.close);
  Find(plugin.module, "ConfigureController", &plugin.configure);
  if (!plugin.query || !plugin.open || !plugin.update || !plugin.close) {
    std::fprintf(stderr, "quillmote-bridge: %s is not a controller plug-in\n", path);
    return 1;
  }
  HANDLE reader = CreateThread(nullptr, 0, &ReadDesk, nullptr, 0, nullptr);
  if (reader == nullptr) {
    std::fprintf(stderr, "quillmote-bridge: cannot start (error %lu)\n", GetLastError());
    return 1;
  }
  Say(plugin.configure != nullptr ? "ready 1" : "ready 0");
  std::size_t debugSeen = 0;
  for (;;) {
    std::string request;
    {
      std::unique_lock<std::mutex> lock(g_requestMutex);
      g_requestCame.wait(lock, [] { return !g_requests.empty(); });
      request = g_requests.front();
      g_requests.pop_front();
    }
    if (request == "quit") break;
    if (request.empty()) continue;
    Say(Handle(plugin, request, &debugSeen));
  }
  sim_set_output_listener(nullptr, nullptr);
  Say("bye");
  // The reader may still wait on standard input; the process ends it.
  std::fflush(stdout);
  ExitProcess(0);
}
