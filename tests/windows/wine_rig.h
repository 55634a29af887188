// The real plug-in DLL under Wine, loaded once per process as a host loads
// it, with its three host-facing exports. The host and the surface the tests
// play are the shared ones (tests/common).
#ifndef QUILLMOTE_TESTS_WINDOWS_WINE_RIG_H
#define QUILLMOTE_TESTS_WINDOWS_WINE_RIG_H

#include <windows.h>

#include <cstdint>

#include "fake_host.h"
#include "sim_surface.h"

namespace wine {

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

}  // namespace wine

#endif
