// The fault matrix's machinery: the plug-in loaded as a host loads it, the
// phases a case runs through, and one case run from a fresh machine to the
// next open with the fault cleared.
#ifndef QUILLMOTE_TESTS_FAULT_MATRIX_MATRIX_H
#define QUILLMOTE_TESTS_FAULT_MATRIX_MATRIX_H

#include <dlfcn.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "fake_host.h"
#include "host/host_services.h"
#include "plugin_library.h"
#include "result_codes.h"
#include "sim_surface.h"

namespace faultmatrix {

namespace fs = std::filesystem;

enum class Phase { kOpen, kNotifications, kInput, kDialog, kClose };
constexpr Phase kPhases[] = {Phase::kOpen, Phase::kNotifications, Phase::kInput, Phase::kDialog,
                             Phase::kClose};

const char* PhaseName(Phase phase);

enum class Mode { kOnce, kAlways };

const char* ModeName(Mode mode);

// Faults of the registry's store file rather than of a function: the file
// holds no valid store, or its directory can't be made because a file stands
// in its place.
inline constexpr char kStoreFile[] = "store file";
inline constexpr Code kStoreFaults[] = {{1, "not valid"}, {2, "directory is a file"}};

// One case of the matrix, or the clean run of a phase with no fault.
struct Case {
  Phase phase;
  std::string function;  // empty: no fault
  Code code{0, ""};
  Mode mode = Mode::kOnce;
};

struct Outcome {
  std::string phaseResult;
  std::vector<std::string> debugLines;
  std::vector<std::string> messageBoxes;
  bool escaped = false;
  unsigned devicesLeft = 0;
  unsigned headersLeft = 0;
  unsigned pendingLeft = 0;
  // The next open, with the fault cleared.
  int reopen = -1;
  bool worksAgain = false;
  std::vector<std::string> reopenDebugLines;
  unsigned reopenDevicesLeft = 0;
  unsigned reopenHeadersLeft = 0;
  std::set<std::string> called;  // with call counts that rose during the phase
};

// The plug-in as the host sees it. Each call notes an exception that got out
// instead of letting it end the test: an export that lets one out is a
// fault of its own.
class Plugin {
 public:
  Plugin() {
    // A device that never closes makes the plug-in keep memory for its late
    // callbacks; the library stays loaded, so that it is still kept (and the
    // leak checker sees it so) after a case unloads its handle.
    static void* const pinned =
        dlopen(QM_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE | RTLD_NOLOAD);
    (void)pinned;
  }

  bool Loaded() const { return m_library.Loaded(); }
  int Open(const HostServices* host) {
    return Guard(0, [&] { return m_library.Open(host); });
  }
  HostArg Update(int32_t code, HostArg first, HostArg second = 0) {
    return Guard<HostArg>(0, [&] { return m_library.Update(code, first, second); });
  }
  void Close() {
    Guard(0, [&] {
      m_library.Close();
      return 0;
    });
  }
  int Configure(int32_t count, HostGetCommandNameFn names) {
    return Guard(0, [&] { return m_library.Configure(count, names); });
  }

  bool TakeEscaped() { return m_escaped.exchange(false); }

 private:
  template <class R, class F>
  R Guard(R fallback, F&& call) {
    try {
      return call();
    } catch (...) {
      m_escaped = true;
      return fallback;
    }
  }

  test::PluginLibrary m_library;
  std::atomic<bool> m_escaped{false};
};

// Runs the cases, each on a fresh simulated machine with the bindings
// stored in the private store at `storeFile`.
class Matrix {
 public:
  Matrix(Plugin& plugin, fs::path storeFile, std::string configRoot);

  Outcome Run(const Case& c);

 private:
  // One stored binding, so that loading reads a value as well as the key.
  static void StoreBindings();

  void BreakStore(unsigned fault) const;

  void RepairStore() const;

  std::string RunPhase(Phase phase, const test::SimSurface& surface, const HostServices& services);

  Plugin& m_plugin;
  const fs::path m_storeFile;
  const std::string m_configRoot;
  test::FakeHost m_host;
};

}  // namespace faultmatrix

#endif
