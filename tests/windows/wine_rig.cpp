#include "wine_rig.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <ostream>

#include <gtest/gtest.h>

namespace wine {

namespace {

Host* g_host = nullptr;

constexpr unsigned kWaitMs = 10000;

}  // namespace

HostCall Action(int32_t code, int32_t value, int32_t track) {
  return {HostCall::kAction, code, value, track};
}

HostCall Query(int32_t code, int32_t track) { return {HostCall::kQuery, code, 0, track}; }

HostCall Ran(int32_t index, int32_t status) { return {HostCall::kRun, index, status, 0}; }

void PrintTo(const HostCall& call, std::ostream* os) {
  static const char* const kKinds[] = {"DoAction", "QueryValue", "RunCommand"};
  *os << kKinds[call.kind] << '(' << call.code << ", " << call.value << ", " << call.track << ')';
}

Host::Host() { g_host = this; }

Host::~Host() { g_host = nullptr; }

HostServices Host::Services() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return {&DoAction, &QueryValue, &GetCommandName,
          0,         &RunCommand, static_cast<int32_t>(m_commands.size())};
}

void Host::SetCommands(const std::vector<std::string>& names) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_commands = names;
}

void Host::SetFlag(int32_t code, int32_t track, int32_t value) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_flags[{code, track}] = value;
}

void Host::SetVolume(int32_t track, double volume) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_volumes[track] = volume;
}

void Host::SetPan(int32_t track, int32_t pan) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_pans[track] = pan;
}

void Host::SetName(int32_t track, const std::string& name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_names[track] = name;
}

std::vector<HostCall> Host::Calls() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_calls;
}

void Host::ClearCalls() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.clear();
}

void Host::Record(HostCall call) {
  call.thread = GetCurrentThreadId();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.push_back(call);
}

void __cdecl Host::DoAction(int32_t code, int32_t value, int32_t track, int32_t) {
  if (g_host != nullptr) g_host->Record(Action(code, value, track));
}

void __cdecl Host::QueryValue(int32_t code, int32_t track, void* result, int32_t) {
  Host* host = g_host;
  if (host == nullptr) return;
  host->Record(Query(code, track));
  std::lock_guard<std::mutex> lock(host->m_mutex);
  switch (code) {
    case 15:
    case 16:
    case 19:
      if (auto it = host->m_flags.find({code, track}); it != host->m_flags.end()) {
        *static_cast<int32_t*>(result) = it->second;
      }
      break;
    case 20:
      if (auto it = host->m_volumes.find(track); it != host->m_volumes.end()) {
        *static_cast<double*>(result) = it->second;
      }
      break;
    case 21:
      if (auto it = host->m_pans.find(track); it != host->m_pans.end()) {
        *static_cast<int32_t*>(result) = it->second;
      }
      break;
    case 44:
      if (auto it = host->m_names.find(track); it != host->m_names.end()) {
        std::snprintf(static_cast<char*>(result), 64, "%s", it->second.c_str());
      }
      break;
    default:
      break;
  }
}

void __cdecl Host::GetCommandName(int32_t index, char* buffer, int32_t size, int32_t* valid) {
  *valid = 0;
  Host* host = g_host;
  if (host == nullptr) return;
  std::lock_guard<std::mutex> lock(host->m_mutex);
  if (index < 0 || index >= static_cast<int32_t>(host->m_commands.size()) || size <= 0) return;
  std::snprintf(buffer, static_cast<size_t>(size), "%s", host->m_commands[index].c_str());
  *valid = 1;
}

void __cdecl Host::RunCommand(int32_t index, int32_t status) {
  if (g_host != nullptr) g_host->Record(Ran(index, status));
}

Plugin& Plugin::Get() {
  static Plugin plugin;
  return plugin;
}

// Through the generic function type, which converts to any other quietly.
template <class Fn>
static Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

Plugin::Plugin() {
  m_module = LoadLibraryA(QM_PLUGIN_FILE);
  if (m_module == nullptr) return;
  m_open = Export<decltype(m_open)>(m_module, "OpenController");
  m_update = Export<decltype(m_update)>(m_module, "UpdateController");
  m_close = Export<decltype(m_close)>(m_module, "CloseController");
  if (!m_open || !m_update || !m_close) m_module = nullptr;
}

Surface::Surface(bool withSurface) {
  sim_reset();
  if (withSurface) {
    m_output = sim_add_output("Quillmote Port");
    m_input = sim_add_input("Quillmote Port");
  }
}

std::vector<Bytes> Surface::Take() const {
  if (sim_wait_idle(kWaitMs) == 0) {
    ADD_FAILURE() << "the simulated system still had messages in flight after " << kWaitMs << " ms";
  }
  std::vector<Bytes> received;
  const size_t count = sim_sent_count(m_output);
  for (size_t i = 0; i < count; ++i) {
    Bytes bytes(sim_sent_message(m_output, i, nullptr, 0));
    sim_sent_message(m_output, i, bytes.data(), bytes.size());
    received.push_back(std::move(bytes));
  }
  sim_clear_sent();
  return received;
}

bool Surface::Send(uint8_t status, uint8_t data1, uint8_t data2) const {
  const unsigned packed = status | (data1 << 8) | (data2 << 16);
  return sim_send_input(m_input, packed, 0, 1) == 1;
}

std::vector<std::string> Surface::DebugLines() const {
  std::vector<std::string> lines;
  for (size_t i = 0; i < sim_debug_count(); ++i) {
    const size_t length = sim_debug_line(i, nullptr, 0);
    std::vector<char> buffer(length + 1);
    sim_debug_line(i, buffer.data(), buffer.size());
    lines.emplace_back(buffer.data(), length);
  }
  return lines;
}

Bytes Lcd(uint8_t firstCell, const std::string& cells) {
  static const uint8_t kHead[] = {0xF0, 0x00, 0x01, 0x40, 0x10, 0x00};
  Bytes bytes(std::begin(kHead), std::end(kHead));
  bytes.push_back(firstCell);
  for (char cell : cells) bytes.push_back(static_cast<uint8_t>(cell));
  bytes.push_back(0xF7);
  return bytes;
}

Bytes Lamp(uint8_t note, bool on) { return {0x90, note, static_cast<uint8_t>(on ? 0x7F : 0x00)}; }

Bytes Clear() { return Lcd(0, std::string(40, ' ')); }

std::string Hex(const Bytes& bytes) {
  std::string text;
  char digits[4];
  for (uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02X ", byte);
    text += digits;
  }
  if (!text.empty()) text.pop_back();
  return text;
}

}  // namespace wine
