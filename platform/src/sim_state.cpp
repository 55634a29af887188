#include "sim_state.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace qmsim {

namespace {

struct Fault {
  unsigned result = 0;
  unsigned skip = 0;
  unsigned count = 0;  // 0: every call after the skipped ones
  unsigned failed = 0;
};

struct State {
  std::mutex mutex;
  // std::less<> lets a string_view find its entry without building a string
  // on every call.
  std::map<std::string, unsigned, std::less<>> calls;
  std::map<std::string, Fault, std::less<>> faults;
  std::vector<std::string> debug_lines;
};

// Never destroyed: threads of the simulated system may still count calls
// while the process exits.
State& TheState() {
  static State* state = new State;
  return *state;
}

thread_local bool t_system_thread = false;

}  // namespace

std::optional<unsigned> EnterCall(std::string_view function) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto call = s.calls.find(function);
  if (call == s.calls.end()) call = s.calls.emplace(std::string(function), 0).first;
  ++call->second;

  auto it = s.faults.find(function);
  if (it == s.faults.end()) return std::nullopt;
  Fault& fault = it->second;
  if (fault.skip > 0) {
    --fault.skip;
    return std::nullopt;
  }
  if (fault.count != 0 && fault.failed >= fault.count) return std::nullopt;
  ++fault.failed;
  return fault.result;
}

void SetFault(std::string_view function, unsigned result, unsigned skip, unsigned count) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.faults[std::string(function)] = Fault{result, skip, count, 0};
}

void ClearFaults() {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.faults.clear();
}

unsigned CallCount(std::string_view function) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.calls.find(function);
  return it == s.calls.end() ? 0 : it->second;
}

std::size_t CalledFunction(std::size_t index, char* buf, std::size_t cap) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (index >= s.calls.size()) return 0;
  const std::string& name = std::next(s.calls.begin(), static_cast<std::ptrdiff_t>(index))->first;
  if (buf != nullptr && cap > 0) {
    const std::size_t n = std::min(name.size(), cap - 1);
    std::memcpy(buf, name.data(), n);
    buf[n] = '\0';
  }
  return name.size();
}

void ClearCallCounts() {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.clear();
}

void AddDebugLine(std::string_view text) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.debug_lines.emplace_back(text);
}

std::size_t DebugCount() {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.debug_lines.size();
}

std::size_t DebugLine(std::size_t index, char* buf, std::size_t cap) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (index >= s.debug_lines.size()) return 0;
  const std::string& line = s.debug_lines[index];
  if (buf != nullptr && cap > 0) {
    const std::size_t n = std::min(line.size(), cap - 1);
    std::memcpy(buf, line.data(), n);
    buf[n] = '\0';
  }
  return line.size();
}

void ClearDebugLines() {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.debug_lines.clear();
}

void MarkSystemThread() { t_system_thread = true; }

bool OnSystemThread() { return t_system_thread; }

}  // namespace qmsim
