// A scripted host that records every callback the plug-in makes, shared by
// the native tests (the library over the simulated system) and the Windows
// tests (the real DLL under Wine).
#ifndef QUILLMOTE_TESTS_COMMON_FAKE_HOST_H
#define QUILLMOTE_TESTS_COMMON_FAKE_HOST_H

#include <cstdint>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/host_services.h"

namespace test {

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
// A RunCommand call (the name Run is taken by a test's own method).
HostCall Ran(int32_t index, int32_t status);
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

}  // namespace test

#endif
