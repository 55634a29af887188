// The real plug-in DLL on the simulated MIDI system under Wine: a host that
// loads it through its exports and records every callback, and the surface
// as seen through the replacement winmm.dll.
#ifndef QUILLMOTE_TESTS_WINDOWS_WINE_RIG_H
#define QUILLMOTE_TESTS_WINDOWS_WINE_RIG_H

#include <windows.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "simctl.h"

namespace wine {

using Bytes = std::vector<uint8_t>;

// The host's callback record, as the plug-in expects it.
struct HostServices {
  void(__cdecl* DoAction)(int32_t, int32_t, int32_t, int32_t);
  void(__cdecl* QueryValue)(int32_t, int32_t, void*, int32_t);
  void(__cdecl* GetCommandName)(int32_t, char*, int32_t, int32_t*);
  int32_t Reserved;
  void(__cdecl* RunCommand)(int32_t, int32_t);
  int32_t CommandCount;
};

struct HostCall {
  enum Kind { kAction, kQuery, kRun } kind;
  int32_t code;   // action or query code; command index for kRun
  int32_t value;  // action value; status for kRun
  int32_t track;  // action or query track
  DWORD thread = 0;

  bool operator==(const HostCall& other) const {
    return kind == other.kind && code == other.code && value == other.value && track == other.track;
  }
};

HostCall Action(int32_t code, int32_t value, int32_t track);
HostCall Query(int32_t code, int32_t track);
HostCall Ran(int32_t index, int32_t status);
void PrintTo(const HostCall& call, std::ostream* os);

// A host whose answers the test sets. Its callbacks are plain functions, so
// one host exists at a time.
class Host {
 public:
  Host();
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  HostServices Services() const;
  void SetCommands(const std::vector<std::string>& names);
  void SetFlag(int32_t code, int32_t track, int32_t value);
  void SetVolume(int32_t track, double volume);
  void SetPan(int32_t track, int32_t pan);
  void SetName(int32_t track, const std::string& name);

  std::vector<HostCall> Calls() const;
  void ClearCalls();

 private:
  static void __cdecl DoAction(int32_t code, int32_t value, int32_t track, int32_t reserved);
  static void __cdecl QueryValue(int32_t code, int32_t track, void* result, int32_t reserved);
  static void __cdecl GetCommandName(int32_t index, char* buffer, int32_t size, int32_t* valid);
  static void __cdecl RunCommand(int32_t index, int32_t status);
  void Record(HostCall call);

  mutable std::mutex m_mutex;
  std::vector<HostCall> m_calls;
  std::vector<std::string> m_commands;
  std::map<std::pair<int32_t, int32_t>, int32_t> m_flags;
  std::map<int32_t, double> m_volumes;
  std::map<int32_t, int32_t> m_pans;
  std::map<int32_t, std::string> m_names;
};

// The plug-in DLL, loaded once per process, and its five exports.
class Plugin {
 public:
  static Plugin& Get();
  bool Loaded() const { return m_module != nullptr; }

  int Open(const HostServices& services) const { return m_open(&services); }
  int32_t Update(int32_t code, int32_t first = 0, int32_t second = 0) const {
    return m_update(code, first, second, 0);
  }
  void Close() const { m_close(); }
  template <class T>
  static int32_t Address(const T* pointer) {
    return static_cast<int32_t>(reinterpret_cast<intptr_t>(pointer));
  }

 private:
  Plugin();
  HMODULE m_module = nullptr;
  int(__cdecl* m_open)(const HostServices*) = nullptr;
  int32_t(__cdecl* m_update)(int32_t, int32_t, int32_t, int32_t) = nullptr;
  void(__cdecl* m_close)() = nullptr;
};

// A fresh simulated machine with the surface's two ports.
class Surface {
 public:
  explicit Surface(bool withSurface = true);
  unsigned output() const { return m_output; }
  unsigned input() const { return m_input; }

  // Everything the surface received since the last call (waits for messages
  // in flight), then forgotten.
  std::vector<Bytes> Take() const;
  // One short message from the surface; returns once the plug-in handled it.
  bool Send(uint8_t status, uint8_t data1, uint8_t data2) const;
  void Press(uint8_t note) const { Send(0x90, note, 0x7F); }
  void Release(uint8_t note) const { Send(0x90, note, 0); }
  void Wheel(uint8_t value) const { Send(0xB0, 60, value); }
  std::vector<std::string> DebugLines() const;

 private:
  unsigned m_output = 0;
  unsigned m_input = 0;
};

// The surface's messages.
Bytes Lcd(uint8_t firstCell, const std::string& cells);
Bytes Lamp(uint8_t note, bool on);
Bytes Clear();
std::string Hex(const Bytes& bytes);

}  // namespace wine

#endif
