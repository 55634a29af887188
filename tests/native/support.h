// Shared test support: a scripted host that records every callback, and the
// surface as seen through the simulated MIDI system.
#ifndef QUILLMOTE_TESTS_SUPPORT_H
#define QUILLMOTE_TESTS_SUPPORT_H

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/host_services.h"
#include "simctl.h"

namespace test {

using Bytes = std::vector<uint8_t>;

struct HostCall {
  enum Kind { kAction, kQuery, kRun } kind;
  int32_t code;   // action or query code; command index for kRun
  int32_t value;  // action value; status for kRun; unused for queries
  int32_t track;  // action or query track
  int32_t reserved;
  std::thread::id thread;

  bool operator==(const HostCall& other) const {
    return kind == other.kind && code == other.code && value == other.value &&
           track == other.track && reserved == other.reserved;
  }
};

HostCall Action(int32_t code, int32_t value, int32_t track);
HostCall Query(int32_t code, int32_t track);
HostCall Run(int32_t index, int32_t status);
std::string Describe(const HostCall& call);
void PrintTo(const HostCall& call, std::ostream* os);

// A host whose answers the test sets. Its callbacks are plain functions, so
// one host at a time is current; constructing one makes it current.
class FakeHost {
 public:
  FakeHost();
  ~FakeHost();
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  HostServices Services() const;

  // Command list: names by index; an invalid one answers with flag 0.
  void SetCommands(const std::vector<std::string>& names);
  void SetCommandValid(int32_t index, bool valid);

  // Answers to queries by (code, track). Unset answers leave the slot alone.
  void SetFlag(int32_t code, int32_t track, int32_t value);
  void SetVolume(int32_t track, double volume);
  void SetPan(int32_t track, int32_t pan);
  void SetName(int32_t track, const std::string& name);
  // A name query writes these 64 raw bytes (no NUL needed).
  void SetRawName(int32_t track, const std::vector<char>& bytes);

  std::vector<HostCall> Calls() const;
  std::vector<HostCall> CallsOf(HostCall::Kind kind) const;
  void ClearCalls();
  int GetNameCalls() const;

  static FakeHost* Current();

 private:
  static void __cdecl DoAction(int32_t code, int32_t value, int32_t track, int32_t reserved);
  static void __cdecl QueryValue(int32_t code, int32_t track, void* result, int32_t reserved);
  static void __cdecl GetCommandName(int32_t index, char* buffer, int32_t size, int32_t* valid);
  static void __cdecl RunCommand(int32_t index, int32_t status);
  void Record(const HostCall& call);

  mutable std::mutex m_mutex;
  std::vector<HostCall> m_calls;
  std::vector<std::string> m_commands;
  std::vector<bool> m_valid;
  std::map<std::pair<int32_t, int32_t>, int32_t> m_flags;
  std::map<int32_t, double> m_volumes;
  std::map<int32_t, int32_t> m_pans;
  std::map<int32_t, std::vector<char>> m_names;
  int m_getNameCalls = 0;
};

// The simulated machine with the surface's two ports, "Quillmote Port".
class SimSurface {
 public:
  // Fresh machine; adds the surface's ports unless told not to.
  explicit SimSurface(bool withSurface = true);
  ~SimSurface();

  unsigned output() const { return m_output; }
  unsigned input() const { return m_input; }

  // Everything the surface received so far (waits for messages in flight).
  std::vector<Bytes> Received() const;
  void ClearReceived() const;
  // Sends a short message from the surface and waits until it was handled.
  bool Send(uint8_t status, uint8_t data1, uint8_t data2) const;
  std::vector<std::string> DebugLines() const;

 private:
  unsigned m_output = 0;
  unsigned m_input = 0;
};

// Waits until `condition` holds, looking again every millisecond, for what a
// thread does in its own time. False when `limit` passed first: the caller
// fails the test then, so that the limit only keeps a broken run from
// hanging and never makes a slow one pass or fail.
template <class F>
bool WaitUntil(F&& condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// sim_wait_idle with its result checked: a system that never went idle fails
// the current test.
bool WaitIdle(unsigned milliseconds = 10000);

// Messages the controller sends, for comparison with what was received.
Bytes Lcd(uint8_t firstCell, const std::string& cells);
Bytes Lamp(uint8_t note, bool on);
std::string Hex(const Bytes& bytes);

}  // namespace test

#endif
