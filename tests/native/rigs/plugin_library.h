// The plug-in library as a host holds it: loaded by its file name, driven
// through the exports the loader finds in it, and unloaded.
#ifndef QUILLMOTE_TESTS_PLUGIN_LIBRARY_H
#define QUILLMOTE_TESTS_PLUGIN_LIBRARY_H

#include <dlfcn.h>

#include <cstdint>

#include "host/host_services.h"

namespace test {

class PluginLibrary {
 public:
  PluginLibrary() : m_library(dlopen(QM_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {}
  ~PluginLibrary() { Unload(); }
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  bool Loaded() const { return m_library != nullptr; }
  void Unload() {
    if (m_library != nullptr) dlclose(m_library);
    m_library = nullptr;
  }

  template <class Fn>
  Fn Get(const char* name) const {
    return reinterpret_cast<Fn>(dlsym(m_library, name));
  }
  int Query(void* info) const { return Get<int (*)(void*)>("QueryController")(info); }
  int Open(const HostServices* host) const {
    return Get<int (*)(const HostServices*)>("OpenController")(host);
  }
  HostArg Update(int32_t code, HostArg first = 0, HostArg second = 0) const {
    using Fn = HostArg (*)(int32_t, HostArg, HostArg, HostArg);
    return Get<Fn>("UpdateController")(code, first, second, 0);
  }
  void Close() const { Get<void (*)()>("CloseController")(); }
  int Configure(int32_t count, HostGetCommandNameFn names, int32_t first = 0,
                int32_t second = 0) const {
    using Fn = int (*)(int32_t, int32_t, int32_t, HostGetCommandNameFn);
    return Get<Fn>("ConfigureController")(first, second, count, names);
  }

  // Memory kept for a late callback is kept for good: a library that kept
  // some must stay loaded, so that the leak checker still sees it kept. Only
  // in a process of its own, so that other tests can still unload it.
  static void Pin() { dlopen(QM_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE); }
  static bool StillLoaded() {
    void* handle = dlopen(QM_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
  }

 private:
  void* m_library;
};

}  // namespace test

#endif
