// The fault matrix: every platform function the plug-in calls is made to fail
// in turn, with each result code it can return, while the plug-in opens,
// follows notifications, handles surface input, runs the bindings dialog and
// closes. The plug-in is driven as a host drives it, through its exports.
//
// Which functions a phase calls is not listed here: a clean run of the phase
// names them (every platform function counts its calls). A function without
// known result codes fails the test, so a new system call can't slip past.
//
// For every case: no crash, no exception out of an export, no device or
// header left once the plug-in is closed, the documented debugger line where
// there is one, and a later OpenController that attaches and works. The
// outcomes are written as a Markdown table to artifacts/fault-matrix.md in the
// build directory and compared with docs/fault-matrix.md, so that any change
// in behaviour shows up as a diff (scripts/fault-matrix.sh refreshes it).
#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bindings_fixture.h"
#include "fault_matrix/matrix.h"
#include "fault_matrix/result_codes.h"
#include "fault_matrix/table.h"
#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using faultmatrix::CannotFail;
using faultmatrix::Case;
using faultmatrix::Cell;
using faultmatrix::ChangedLines;
using faultmatrix::Code;
using faultmatrix::kPhases;
using faultmatrix::kStoreFaults;
using faultmatrix::kStoreFile;
using faultmatrix::LeftAfterClose;
using faultmatrix::Matrix;
using faultmatrix::Mode;
using faultmatrix::ModeName;
using faultmatrix::NextOpen;
using faultmatrix::Outcome;
using faultmatrix::Phase;
using faultmatrix::PhaseName;
using faultmatrix::Plugin;
using faultmatrix::ResultCodes;

// Faults under which the system itself keeps a device or a header: a close
// or an unprepare refused on every try while the plug-in closes can't be
// undone by it later, as there is no plug-in left.
bool DeviceKeptBySystem(const Case& c) {
  return c.phase == Phase::kClose && c.mode == Mode::kAlways &&
         (c.function == "midiOutClose" || c.function == "midiInClose");
}
bool HeaderKeptBySystem(const Case& c) {
  return c.phase == Phase::kClose && c.mode == Mode::kAlways &&
         c.function == "midiOutUnprepareHeader";
}

// The lines the plug-in documents for a surface it can't find or attach.
void ExpectDocumentedLine(const Case& c, const Outcome& out) {
  if (c.phase != Phase::kOpen) return;
  static const std::set<std::string> notFound = {"midiOutGetNumDevs", "midiInGetNumDevs",
                                                 "midiOutGetDevCapsA", "midiInGetDevCapsA"};
  static const std::set<std::string> notAttached = {"midiOutOpen",          "midiInOpen",
                                                    "midiInStart",          "midiOutLongMsg",
                                                    "midiOutPrepareHeader", "midiOutShortMsg"};
  if (notFound.count(c.function) != 0) {
    EXPECT_EQ(out.phaseResult, "OpenController 0");
    EXPECT_EQ(out.debugLines, std::vector<std::string>{"Couldn't find Quillmote Midi port\n"});
  } else if (notAttached.count(c.function) != 0) {
    EXPECT_EQ(out.phaseResult, "OpenController 1");
    ASSERT_FALSE(out.debugLines.empty());
    EXPECT_EQ(out.debugLines.front().rfind("Error attaching to Quillmote Midi port ", 0), 0u)
        << out.debugLines.front();
  }
}

class FaultMatrix : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_plugin = new Plugin; }
  static void TearDownTestSuite() {
    delete s_plugin;
    s_plugin = nullptr;
  }

  static Plugin* s_plugin;
  bindtest::ConfigDir m_config;
};

Plugin* FaultMatrix::s_plugin = nullptr;

// Ends the process with the case it was in when a case stops making
// progress: a hang is a fault like any other, and should say where it was.
class Watchdog {
 public:
  Watchdog() : m_thread([this] { Watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_done = true;
    }
    m_changed.notify_all();
    m_thread.join();
  }
  void Enter(const std::string& what) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_current = what;
    ++m_progress;
  }

 private:
  void Watch() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_done) {
      const unsigned seen = m_progress;
      if (!m_changed.wait_for(lock, std::chrono::minutes(1),
                              [&] { return m_done || m_progress != seen; })) {
        std::fprintf(stderr, "fault matrix: no progress in case %s\n", m_current.c_str());
        std::abort();
      }
    }
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::string m_current;
  unsigned m_progress = 0;
  bool m_done = false;
  std::thread m_thread;
};

TEST_F(FaultMatrix, EveryPlatformFailureInEveryPhaseLeavesThePlugInWorking) {
  ASSERT_TRUE(s_plugin->Loaded()) << dlerror();
  Matrix matrix(*s_plugin, m_config.StoreFile(), m_config.Dir().parent_path().string());
  Watchdog watchdog;

  std::ostringstream table;
  table << "# Fault matrix\n\n"
        << "Generated by the native test `FaultMatrix` (tests/native/test_fault_matrix.cpp); "
           "refresh with `scripts/fault-matrix.sh`.\n\n"
        << "Each platform function that a phase calls fails with each result code it can "
           "return, either on its first call in the phase (once) or on every call (always). "
           "After the phase the fault clears and the host closes the plug-in. "
           "\"Left after close\" counts the devices still open and the headers still "
           "prepared; \"Next open\" is a later `OpenController` with a PLAY press and a time "
           "notification. No case crashed or let an exception reach the host or the system.\n\n";

  unsigned cases = 0;
  std::map<std::string, unsigned> outcomes;
  for (Phase phase : kPhases) {
    watchdog.Enter(std::string(PhaseName(phase)) + " (no fault)");
    const Outcome clean = matrix.Run({phase, "", {0, ""}, Mode::kOnce});
    EXPECT_TRUE(clean.debugLines.empty()) << PhaseName(phase) << ": " << Cell(clean.debugLines);
    ASSERT_TRUE(clean.worksAgain) << PhaseName(phase);
    ASSERT_EQ(clean.devicesLeft + clean.headersLeft, 0u) << PhaseName(phase);

    std::vector<std::string> listed;
    table << "## " << PhaseName(phase) << "\n\n"
          << "| Function | Result | Fails | Phase result | Debugger output and messages | "
             "Left after close | Next open |\n"
          << "|---|---|---|---|---|---|---|\n";
    for (const std::string& function : clean.called) {
      if (CannotFail().count(function) != 0) {
        listed.push_back(function);
        continue;
      }
      const auto codes = ResultCodes().find(function);
      if (codes == ResultCodes().end()) {
        ADD_FAILURE() << "no result codes known for " << function;
        continue;
      }
      for (const Code& code : codes->second) {
        for (Mode mode : {Mode::kOnce, Mode::kAlways}) {
          const Case c{phase, function, code, mode};
          const std::string name =
              function + " " + code.name + " " + ModeName(mode) + " in " + PhaseName(phase);
          watchdog.Enter(name);
          const Outcome out = matrix.Run(c);
          ++cases;
          SCOPED_TRACE(name);
          EXPECT_FALSE(out.escaped) << "an exception reached the host";
          if (!DeviceKeptBySystem(c)) {
            EXPECT_EQ(out.devicesLeft, 0u);
            EXPECT_TRUE(out.worksAgain) << NextOpen(out);
            EXPECT_TRUE(out.reopenDebugLines.empty()) << Cell(out.reopenDebugLines);
          }
          if (!HeaderKeptBySystem(c)) {
            EXPECT_EQ(out.headersLeft, 0u);
          }
          EXPECT_EQ(out.pendingLeft, 0u);
          EXPECT_EQ(out.reopenDevicesLeft, DeviceKeptBySystem(c) ? out.devicesLeft : 0u);
          // A later plug-in adds nothing to what the system kept.
          EXPECT_EQ(out.reopenHeadersLeft, HeaderKeptBySystem(c) ? out.headersLeft : 0u);
          // Nothing the host sees fails silently: a refused open says why.
          if (out.phaseResult == "OpenController 0") {
            EXPECT_FALSE(out.debugLines.empty());
          }
          ExpectDocumentedLine(c, out);

          const std::string result = NextOpen(out);
          ++outcomes[result];
          table << "| " << function << " | " << code.name << " | " << ModeName(mode) << " | "
                << (out.phaseResult.empty() ? "returned" : out.phaseResult) << " | "
                << Cell(out.debugLines)
                << (out.messageBoxes.empty() ? "" : "<br>message box: " + Cell(out.messageBoxes))
                << " | " << LeftAfterClose(out) << " | " << result << " |\n";
        }
      }
    }
    // The store file is read and written through the registry functions.
    if (clean.called.count("RegOpenKeyA") != 0 || clean.called.count("RegCreateKeyExA") != 0) {
      for (const Code& code : kStoreFaults) {
        const Case c{phase, kStoreFile, code, Mode::kAlways};
        const std::string name =
            std::string(kStoreFile) + " " + code.name + " in " + PhaseName(phase);
        watchdog.Enter(name);
        const Outcome out = matrix.Run(c);
        ++cases;
        SCOPED_TRACE(name);
        EXPECT_FALSE(out.escaped) << "an exception reached the host";
        EXPECT_EQ(out.devicesLeft + out.headersLeft + out.pendingLeft, 0u);
        EXPECT_TRUE(out.worksAgain) << NextOpen(out);
        EXPECT_TRUE(out.reopenDebugLines.empty()) << Cell(out.reopenDebugLines);
        const std::string result = NextOpen(out);
        ++outcomes[result];
        table << "| " << kStoreFile << " | " << code.name << " | during the phase | "
              << (out.phaseResult.empty() ? "returned" : out.phaseResult) << " | "
              << Cell(out.debugLines)
              << (out.messageBoxes.empty() ? "" : "<br>message box: " + Cell(out.messageBoxes))
              << " | " << LeftAfterClose(out) << " | " << result << " |\n";
      }
    }
    table << "\nAlso called, and unable to fail: ";
    for (size_t i = 0; i < listed.size(); ++i) table << (i == 0 ? "" : ", ") << listed[i];
    table << ".\n\n";
  }
  table << "## Summary\n\n" << cases << " cases.\n\n";
  for (const auto& [result, count] : outcomes) table << "- " << result << ": " << count << "\n";

  const fs::path artifacts = fs::path(QM_BINARY_DIR) / "artifacts";
  fs::create_directories(artifacts);
  std::ofstream(artifacts / "fault-matrix.md") << table.str();
  const std::string committed =
      bindtest::ReadFile(fs::path(QM_SOURCE_DIR) / "docs/fault-matrix.md");
  EXPECT_TRUE(committed == table.str())
      << ChangedLines(committed, table.str())
      << "The fault matrix changed: compare docs/fault-matrix.md with "
      << (artifacts / "fault-matrix.md").string()
      << " and refresh it with scripts/fault-matrix.sh if the change is meant.";
}

}  // namespace
