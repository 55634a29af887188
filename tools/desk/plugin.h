// The plug-in library as the host knows it: loaded by path and reached only
// through its exported functions.
#ifndef QUILLMOTE_TOOLS_DESK_PLUGIN_H
#define QUILLMOTE_TOOLS_DESK_PLUGIN_H

#include <cstdint>
#include <string>

#include "plugin/exports.h"

namespace desk {

class PluginLibrary {
 public:
  // The declarations give the types; the functions come from the library.
  using QueryFn = decltype(&::QueryController);
  using OpenFn = decltype(&::OpenController);
  using UpdateFn = decltype(&::UpdateController);
  using CloseFn = decltype(&::CloseController);
  using ConfigureFn = decltype(&::ConfigureController);

  PluginLibrary() = default;
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // Loads the library and finds its functions. On failure returns false and
  // says why in `error`, in words meant for the user.
  bool Load(const std::string& path, std::string* error);

  const std::string& Path() const { return m_path; }
  QueryFn Query() const { return m_query; }
  OpenFn Open() const { return m_open; }
  UpdateFn Update() const { return m_update; }
  CloseFn Close() const { return m_close; }
  // Null when the library does not export it.
  ConfigureFn Configure() const { return m_configure; }

 private:
  void* m_handle = nullptr;
  std::string m_path;
  QueryFn m_query = nullptr;
  OpenFn m_open = nullptr;
  UpdateFn m_update = nullptr;
  CloseFn m_close = nullptr;
  ConfigureFn m_configure = nullptr;
};

}  // namespace desk

#endif
