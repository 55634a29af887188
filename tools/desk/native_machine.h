// The desk's machine in this process: the plug-in library loaded with dlopen,
// on the simulated MIDI system of libqmplatform (simctl.h).
#ifndef QUILLMOTE_TOOLS_DESK_NATIVE_MACHINE_H
#define QUILLMOTE_TOOLS_DESK_NATIVE_MACHINE_H

#include <atomic>
#include <mutex>

#include "machine.h"
#include "plugin.h"

namespace desk {

class NativeMachine : public Machine {
 public:
  // `plugin` is loaded already (or not at all, for tests that never call it).
  explicit NativeMachine(PluginLibrary& plugin) : m_plugin(plugin) {}
  ~NativeMachine() override;

  std::string Name() const override;
  int Query(unsigned char* record, std::size_t size) override;
  int Open(const HostServices& services) override;
  void Update(int32_t code, const UpdateArg& first, const UpdateArg& second) override;
  void Close() override;
  bool HasDialog(std::string* why) const override;
  int RunDialog(int32_t count, HostGetCommandNameFn names, const DialogRequest& request,
                const DialogObserver& seen, bool* shown) override;

  void Install(bool withPorts, OutputListener listener) override;
  void Detach() override;
  bool SendInput(uint32_t packed) override;
  bool WaitIdle() override;
  std::vector<std::string> TakeDebugLines() override;

 private:
  static void OnOutput(void* context, unsigned device, const unsigned char* bytes,
                       std::size_t length);
  static void OnDialog(void* context, void* dialog);

  PluginLibrary& m_plugin;
  std::mutex m_mutex;  // the three below
  OutputListener m_listener;
  unsigned m_output = 0;
  unsigned m_input = 0;
  std::atomic<std::size_t> m_seen{0};
  std::mutex m_debugMutex;
  std::size_t m_debugSeen = 0;
};

}  // namespace desk

#endif
