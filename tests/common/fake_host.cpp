#include "fake_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ostream>

namespace test {

namespace {

FakeHost* g_current = nullptr;

}  // namespace

HostCall Action(int32_t code, int32_t value, int32_t track) {
  return {HostCall::kAction, code, value, track, 0, {}};
}
HostCall Query(int32_t code, int32_t track) { return {HostCall::kQuery, code, 0, track, 0, {}}; }
HostCall Ran(int32_t index, int32_t status) { return {HostCall::kRun, index, status, 0, 0, {}}; }

std::string Describe(const HostCall& call) {
  char text[96];
  switch (call.kind) {
    case HostCall::kAction:
      std::snprintf(text, sizeof text, "DoAction(%d, %d, %d, %d)", call.code, call.value,
                    call.track, call.reserved);
      break;
    case HostCall::kQuery:
      std::snprintf(text, sizeof text, "QueryValue(%d, %d, %d)", call.code, call.track,
                    call.reserved);
      break;
    case HostCall::kRun:
      std::snprintf(text, sizeof text, "RunCommand(%d, 0x%X)", call.code, call.value);
      break;
  }
  return text;
}

void PrintTo(const HostCall& call, std::ostream* os) { *os << Describe(call); }

FakeHost::FakeHost() { g_current = this; }

FakeHost::~FakeHost() {
  if (g_current == this) g_current = nullptr;
}

FakeHost* FakeHost::Current() { return g_current; }

HostServices FakeHost::Services() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  HostServices services{};
  services.DoAction = &DoAction;
  services.QueryValue = &QueryValue;
  services.GetCommandName = &GetCommandName;
  services.Reserved = 0;
  services.RunCommand = &RunCommand;
  services.CommandCount = static_cast<int32_t>(m_commands.size());
  return services;
}

void FakeHost::SetCommands(const std::vector<std::string>& names) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_commands = names;
  m_valid.assign(names.size(), true);
}

void FakeHost::SetCommandValid(int32_t index, bool valid) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_valid.at(static_cast<size_t>(index)) = valid;
}

void FakeHost::SetFlag(int32_t code, int32_t track, int32_t value) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_flags[{code, track}] = value;
}

void FakeHost::SetVolume(int32_t track, double volume) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_volumes[track] = volume;
}

void FakeHost::SetPan(int32_t track, int32_t pan) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_pans[track] = pan;
}

void FakeHost::SetName(int32_t track, const std::string& name) {
  std::vector<char> bytes(name.begin(), name.end());
  bytes.push_back(0);
  SetRawName(track, bytes);
}

void FakeHost::SetRawName(int32_t track, const std::vector<char>& bytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_names[track] = bytes;
}

std::vector<HostCall> FakeHost::Calls() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_calls;
}

std::vector<HostCall> FakeHost::CallsOf(HostCall::Kind kind) const {
  std::vector<HostCall> result;
  for (const HostCall& call : Calls()) {
    if (call.kind == kind) result.push_back(call);
  }
  return result;
}

void FakeHost::ClearCalls() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.clear();
  m_getNameCalls = 0;
}

int FakeHost::GetNameCalls() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_getNameCalls;
}

void FakeHost::Record(const HostCall& call) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.push_back(call);
  m_calls.back().thread = std::this_thread::get_id();
}

void __cdecl FakeHost::DoAction(int32_t code, int32_t value, int32_t track, int32_t reserved) {
  if (g_current) g_current->Record({HostCall::kAction, code, value, track, reserved, {}});
}

void __cdecl FakeHost::QueryValue(int32_t code, int32_t track, void* result, int32_t reserved) {
  FakeHost* host = g_current;
  if (!host) return;
  host->Record({HostCall::kQuery, code, 0, track, reserved, {}});
  std::lock_guard<std::mutex> lock(host->m_mutex);
  switch (code) {
    case HostCode::kQueryFlag15:
    case HostCode::kQueryFlag16:
    case HostCode::kQueryFlag19: {
      auto it = host->m_flags.find({code, track});
      if (it != host->m_flags.end()) std::memcpy(result, &it->second, sizeof(int32_t));
      break;
    }
    case HostCode::kQueryVolume: {
      auto it = host->m_volumes.find(track);
      if (it != host->m_volumes.end()) std::memcpy(result, &it->second, sizeof(double));
      break;
    }
    case HostCode::kQueryPan: {
      auto it = host->m_pans.find(track);
      if (it != host->m_pans.end()) std::memcpy(result, &it->second, sizeof(int32_t));
      break;
    }
    case HostCode::kQueryName: {
      auto it = host->m_names.find(track);
      if (it != host->m_names.end()) {
        std::memcpy(result, it->second.data(), std::min<size_t>(64, it->second.size()));
      }
      break;
    }
    default:
      break;
  }
}

void __cdecl FakeHost::GetCommandName(int32_t index, char* buffer, int32_t size, int32_t* valid) {
  FakeHost* host = g_current;
  *valid = 0;
  if (!host) return;
  std::lock_guard<std::mutex> lock(host->m_mutex);
  ++host->m_getNameCalls;
  if (index < 0 || static_cast<size_t>(index) >= host->m_commands.size() || size <= 0) return;
  std::snprintf(buffer, static_cast<size_t>(size), "%s",
                host->m_commands[static_cast<size_t>(index)].c_str());
  *valid = host->m_valid[static_cast<size_t>(index)] ? 1 : 0;
}

void __cdecl FakeHost::RunCommand(int32_t index, int32_t status) {
  if (g_current) g_current->Record({HostCall::kRun, index, status, 0, 0, {}});
}

}  // namespace test
