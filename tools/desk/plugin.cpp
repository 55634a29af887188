#include "plugin.h"

#include <dlfcn.h>

namespace desk {

namespace {

template <class Fn>
Fn Find(void* handle, const char* name) {
  return reinterpret_cast<Fn>(dlsym(handle, name));
}

}  // namespace

PluginLibrary::~PluginLibrary() {
  if (m_handle != nullptr) dlclose(m_handle);
}

bool PluginLibrary::Load(const std::string& path, std::string* error) {
  m_path = path;
  m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (m_handle == nullptr) {
    const char* why = dlerror();
    *error = "cannot load the plug-in library " + path + ": " + (why ? why : "unknown error") +
             "\nBuild it (target quillmote) or name another one with --plugin PATH.";
    return false;
  }
  m_query = Find<QueryFn>(m_handle, "QueryController");
  m_open = Find<OpenFn>(m_handle, "OpenController");
  m_update = Find<UpdateFn>(m_handle, "UpdateController");
  m_close = Find<CloseFn>(m_handle, "CloseController");
  m_configure = Find<ConfigureFn>(m_handle, "ConfigureController");
  std::string missing;
  const auto note = [&](bool found, const char* name) {
    if (found) return;
    missing += missing.empty() ? " " : ", ";
    missing += name;
  };
  note(m_query != nullptr, "QueryController");
  note(m_open != nullptr, "OpenController");
  note(m_update != nullptr, "UpdateController");
  note(m_close != nullptr, "CloseController");
  if (!missing.empty()) {
    *error = path + " is not a controller plug-in: it does not export" + missing + ".";
    dlclose(m_handle);
    m_handle = nullptr;
    return false;
  }
  return true;
}

}  // namespace desk
