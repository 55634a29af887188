#include "wine_rig.h"

namespace wine {

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

}  // namespace wine
