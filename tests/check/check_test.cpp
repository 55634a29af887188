// quillmote-check in the test's own process, on the simulated MIDI system:
// natively over libqmplatform, under Wine over the test winmm.dll.
#include <windows.h>

#include "tools/check/check.h"

#include <mmsystem.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "simctl.h"
#include "tools/check/console_pause.h"
#include <gtest/gtest.h>

#ifndef _WIN32
#include <stdlib.h>

#include <csignal>
#include <filesystem>
#endif

namespace {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome Doctor(const std::vector<std::string>& args, const std::atomic<bool>& stop) {
  std::ostringstream out;
  std::ostringstream err;
  const int status = qmcheck::Run(args, out, err, stop);
  return {status, out.str(), err.str()};
}

Outcome Doctor(const std::vector<std::string>& args) {
  static const std::atomic<bool> kNoStop{false};
  return Doctor(args, kNoStop);
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The line of the listing that shows this device name.
std::string LineOf(const std::string& text, const std::string& quotedName) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (Has(line, quotedName)) return line;
  }
  return "";
}

class CheckTest : public ::testing::Test {
 protected:
  void SetUp() override { sim_reset(); }
  void TearDown() override { sim_reset(); }
};

// ---- Finding the pair ----------------------------------------------------------

TEST_F(CheckTest, SurfacePresentIsReady) {
  sim_add_output("Speakers");
  sim_add_output("Quillmote Port");
  sim_add_input("Quillmote Port");
  const Outcome run = Doctor({});
  EXPECT_EQ(qmcheck::kReady, run.status) << run.out;
  EXPECT_TRUE(Has(LineOf(run.out, "\"Speakers\""), " 0  \"Speakers\"")) << run.out;
  EXPECT_TRUE(Has(LineOf(run.out, "\"Quillmote Port\""), "the plug-in attaches to this one"));
  EXPECT_TRUE(Has(run.out, "The plug-in attaches to output 1 and input 0."));
  EXPECT_TRUE(Has(run.out, "Ready: the plug-in will drive the surface."));
  EXPECT_EQ("", run.err);
  // The probe leaves nothing open and sends the surface nothing.
  EXPECT_EQ(0u, sim_open_devices());
  EXPECT_EQ(0u, sim_sent_count(1));
}

TEST_F(CheckTest, AbsentSurfaceIsNotFound) {
  sim_add_output("Speakers");
  const Outcome run = Doctor({});
  EXPECT_EQ(qmcheck::kNotFound, run.status) << run.out;
  EXPECT_TRUE(Has(run.out, "no MIDI output and no MIDI input has a name that begins with"));
  EXPECT_TRUE(Has(run.out, "Connect the surface"));
  EXPECT_EQ(0u, sim_call_count("midiOutOpen") + sim_call_count("midiInOpen"));
}

TEST_F(CheckTest, OnlyOnePortIsNotFoundAndSaysWhichIsMissing) {
  sim_add_output("Quillmote Port");
  Outcome run = Doctor({});
  EXPECT_EQ(qmcheck::kNotFound, run.status);
  EXPECT_TRUE(Has(run.out, "MIDI output 0 is the surface's, but no MIDI input")) << run.out;

  sim_reset();
  sim_add_input("Quillmote Port");
  run = Doctor({});
  EXPECT_EQ(qmcheck::kNotFound, run.status);
  EXPECT_TRUE(Has(run.out, "MIDI input 0 is the surface's, but no MIDI output")) << run.out;
}

TEST_F(CheckTest, NamesThePluginRejectsAreCalledOutAsSuch) {
  sim_add_output("2- Quillmote Port");
  sim_add_output("QUILLMOTE Port");
  sim_add_output("quillmote port");
  sim_add_input("Quillmote Port");
  const Outcome run = Doctor({});
  EXPECT_EQ(qmcheck::kNotFound, run.status) << run.out;
  EXPECT_TRUE(Has(LineOf(run.out, "\"2- Quillmote Port\""),
                  "holds \"Quillmote\" but does not begin with it"))
      << run.out;
  EXPECT_TRUE(Has(LineOf(run.out, "\"QUILLMOTE Port\""), "in other letter case"));
  EXPECT_TRUE(Has(LineOf(run.out, "\"quillmote port\""), "in other letter case"));
  EXPECT_TRUE(Has(run.out, "under a name the driver changed"));
}

TEST_F(CheckTest, TheLastAcceptedDeviceIsChosenAsThePluginChoosesIt) {
  sim_add_output("Quillmote Port");
  sim_add_output("Quillmote");
  sim_add_output("Other");
  sim_add_input("Quillmote Port");
  const Outcome run = Doctor({});
  EXPECT_EQ(qmcheck::kReady, run.status);
  EXPECT_TRUE(Has(LineOf(run.out, "\"Quillmote Port\""),
                  "passed over: the plug-in takes the last of them, output 1"))
      << run.out;
  EXPECT_TRUE(Has(run.out, "attaches to output 1 and input 0"));
  EXPECT_EQ(1u, sim_call_count("midiOutOpen"));
}

// ---- Opening the pair ----------------------------------------------------------

TEST_F(CheckTest, PortHeldByAnotherProgramIsNotUsable) {
  sim_add_output("Quillmote Port");
  sim_add_input("Quillmote Port");
  ASSERT_EQ(1, sim_set_device_taken(SIM_INPUT, 0, 1));
  const Outcome run = Doctor({});
  EXPECT_EQ(qmcheck::kNotUsable, run.status);
  EXPECT_TRUE(Has(run.out, "Opening output 0 \"Quillmote Port\": ready.")) << run.out;
  EXPECT_TRUE(Has(run.out, "Opening input 0 \"Quillmote Port\": in use by another program."));
  EXPECT_TRUE(Has(run.out, "the host's own MIDI settings may"));
  EXPECT_TRUE(Has(run.out, "Not usable"));
  EXPECT_EQ(0u, sim_open_devices());
}

TEST_F(CheckTest, OtherOpenFailuresGiveTheDriversText) {
  sim_add_output("Quillmote Port");
  sim_add_input("Quillmote Port");
  sim_fail("midiOutOpen", MMSYSERR_NODRIVER, 0, 0);
  const Outcome run = Doctor({});
  EXPECT_EQ(qmcheck::kNotUsable, run.status);
  char text[MAXERRORLENGTH] = {};
  midiOutGetErrorTextA(MMSYSERR_NODRIVER, text, sizeof text);
  EXPECT_TRUE(Has(run.out, std::string("failed. The driver says: ") + text)) << run.out;
}

// ---- JSON ----------------------------------------------------------------------

// Enough of a reader to take the output apart again: the value of a member
// that is a string, number, true, false or null, by its name's first place.
std::string Member(const std::string& json, const std::string& name, std::size_t from = 0) {
  const std::string key = "\"" + name + "\": ";
  const std::size_t at = json.find(key, from);
  if (at == std::string::npos) return "<missing>";
  std::size_t start = at + key.size();
  std::size_t end = start;
  if (json[start] == '"') {
    end = start + 1;
    while (end < json.size() && json[end] != '"') end += json[end] == '\\' ? 2 : 1;
    return json.substr(start, end + 1 - start);
  }
  while (end < json.size() && json[end] != ',' && json[end] != '}' && json[end] != '\n') ++end;
  return json.substr(start, end - start);
}

// Braces and brackets balance outside strings, and nothing follows the value.
bool Balanced(const std::string& json) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (inString) {
      if (c == '\\') ++i;
      if (c == '"') inString = false;
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
        return false;
      }
      continue;
    }
    if (c == '"') inString = true;
    if (c == '{' || c == '[') ++depth;
    if (c == '}' || c == ']') --depth;
    if (depth < 0) return false;
  }
  return depth == 0 && !inString && json.back() == '\n';
}

TEST_F(CheckTest, JsonCarriesTheSameFacts) {
  sim_add_output("Quillmote Port");
  sim_add_output("2- Quillmote \"Port\"\xE9");
  sim_add_input("Quillmote Port");
  sim_set_device_taken(SIM_OUTPUT, 0, 1);
  const Outcome run = Doctor({"--json"});
  EXPECT_EQ(qmcheck::kNotUsable, run.status);
  ASSERT_TRUE(Balanced(run.out)) << run.out;
  EXPECT_EQ("\"" QM_VERSION "\"", Member(run.out, "version"));
  EXPECT_EQ("0", Member(run.out, "output"));
  EXPECT_EQ("0", Member(run.out, "input"));
  EXPECT_EQ("\"not-usable\"", Member(run.out, "status"));
  EXPECT_EQ("2", Member(run.out, "exit"));
  const std::size_t openOutput = run.out.find("\"open_output\"");
  EXPECT_EQ("false", Member(run.out, "ok", openOutput));
  EXPECT_EQ("true", Member(run.out, "in_use", openOutput));
  EXPECT_EQ(std::to_string(MMSYSERR_ALLOCATED), Member(run.out, "result", openOutput));
  const std::size_t openInput = run.out.find("\"open_input\"");
  EXPECT_EQ("true", Member(run.out, "ok", openInput));
  const std::size_t second = run.out.find("\"index\": 1");
  EXPECT_EQ("\"2- Quillmote \\\"Port\\\"\\u00e9\"", Member(run.out, "name", second));
  EXPECT_EQ("\"prefixed\"", Member(run.out, "name_check", second));
  EXPECT_EQ("false", Member(run.out, "accepted", second));
}

TEST_F(CheckTest, JsonOfAnAbsentSurface) {
  const Outcome run = Doctor({"--json"});
  EXPECT_EQ(qmcheck::kNotFound, run.status);
  ASSERT_TRUE(Balanced(run.out)) << run.out;
  EXPECT_TRUE(Has(run.out, "\"outputs\": []"));
  EXPECT_EQ("null", Member(run.out, "output"));
  EXPECT_EQ("null", Member(run.out, "open_input"));
  EXPECT_EQ("\"not-found\"", Member(run.out, "status"));
}

// ---- The test mode -------------------------------------------------------------

constexpr unsigned kButtonNotes[] = {121, 94, 93, 95, 86, 91,  92,  48, 49, 76,
                                     82,  84, 85, 87, 88, 120, 103, 16, 8,  0};
constexpr unsigned kFootswitch = 103;
constexpr unsigned kLampNotes[] = {95, 86, 120, 115, 8, 16, 0};

// The surface's side of a test run: sees the test pattern arrive, then plays.
class SurfaceRig {
 public:
  SurfaceRig() {
    m_out = sim_add_output("Quillmote Port");
    m_in = sim_add_input("Quillmote Port");
    sim_set_output_listener(&SurfaceRig::Listen, this);
  }
  ~SurfaceRig() { sim_set_output_listener(nullptr, nullptr); }

  // True once the display shows the test pattern, which the doctor writes
  // after it has started the input port. Bounded only against a hang.
  bool WaitForPattern() {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_pattern; });
  }

  void Press(unsigned note, bool pressed) {
    EXPECT_EQ(1, sim_send_input(m_in, 0x90 | (note << 8) | ((pressed ? 0x7F : 0) << 16), 0, 1));
  }
  void Wheel(int steps) {
    const unsigned value = steps > 0 ? steps : 64 - steps;
    EXPECT_EQ(1, sim_send_input(m_in, 0xB0 | (60u << 8) | (value << 16), 0, 1));
  }

  // What the surface shows after everything it received.
  std::string Display() const { return Replay().display; }
  std::vector<int> LampsLit() const {
    std::vector<int> lit;
    const State state = Replay();
    for (unsigned note : kLampNotes) {
      if (state.lamps[note] != 0) lit.push_back(static_cast<int>(note));
    }
    return lit;
  }
  // The lamp notes switched on, in order.
  std::vector<unsigned> LampsLitInTurn() const {
    std::vector<unsigned> notes;
    for (const auto& message : Messages()) {
      if (message.size() == 3 && message[0] == 0x90 && message[2] != 0) notes.push_back(message[1]);
    }
    return notes;
  }
  bool PatternShown() const {
    for (const auto& message : Messages()) {
      if (Frame(message) == "12345678901234567890quillmote-check test") return true;
    }
    return false;
  }

 private:
  struct State {
    std::string display = std::string(40, '?');
    int lamps[128] = {};
  };

  static std::string Frame(const std::vector<unsigned char>& message) {
    if (message.size() < 8 || message[0] != 0xF0 || message.back() != 0xF7) return "";
    return std::string(message.begin() + 7, message.end() - 1);
  }

  std::vector<std::vector<unsigned char>> Messages() const {
    std::vector<std::vector<unsigned char>> messages;
    for (size_t i = 0; i < sim_sent_count(m_out); ++i) {
      std::vector<unsigned char> bytes(sim_sent_message(m_out, i, nullptr, 0));
      sim_sent_message(m_out, i, bytes.data(), bytes.size());
      messages.push_back(bytes);
    }
    return messages;
  }

  State Replay() const {
    State state;
    for (const auto& message : Messages()) {
      if (message.size() == 3 && message[0] == 0x90) state.lamps[message[1] & 0x7F] = message[2];
      const std::string cells = Frame(message);
      if (!cells.empty()) {
        const size_t first = message[6];
        for (size_t i = 0; i < cells.size() && first + i < 40; ++i)
          state.display[first + i] = cells[i];
      }
    }
    return state;
  }

  static void Listen(void* context, unsigned, const unsigned char* bytes, size_t length) {
    auto* rig = static_cast<SurfaceRig*>(context);
    const std::string text(reinterpret_cast<const char*>(bytes), length);
    if (text.find("quillmote-check test") == std::string::npos) return;
    std::lock_guard<std::mutex> lock(rig->m_mutex);
    rig->m_pattern = true;
    rig->m_changed.notify_all();
  }

  unsigned m_out = 0;
  unsigned m_in = 0;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_pattern = false;
};

// Runs --test on its own thread; the test plays the surface meanwhile and
// stops it as Ctrl+C does.
class TestModeRun {
 public:
  explicit TestModeRun(std::vector<std::string> args) {
    m_thread = std::thread([this, args] { m_outcome = Doctor(args, m_stop); });
  }
  Outcome Stop() {
    m_stop = true;
    m_thread.join();
    return m_outcome;
  }
  ~TestModeRun() {
    if (m_thread.joinable()) Stop();
  }

 private:
  std::atomic<bool> m_stop{false};
  Outcome m_outcome;
  std::thread m_thread;
};

TEST_F(CheckTest, TestModeShowsEveryControlAndLeavesTheSurfaceBlank) {
  SurfaceRig surface;
  TestModeRun run({"--test"});
  ASSERT_TRUE(surface.WaitForPattern());
  for (unsigned note : kButtonNotes) {
    surface.Press(note, true);
    surface.Press(note, false);
  }
  surface.Wheel(3);
  surface.Wheel(-1);
  const Outcome outcome = run.Stop();
  EXPECT_EQ(qmcheck::kReady, outcome.status) << outcome.err;
  for (const char* line : {"  SHIFT pressed\n", "  SHIFT released\n", "  FOOTSWITCH pressed\n",
                           "  FLAG-19 released\n", "  wheel forward 3 steps\n",
                           "  wheel back 1 step\n", "Every control was seen.\n", "Stopped.\n"}) {
    EXPECT_TRUE(Has(outcome.out, line)) << line << " in\n" << outcome.out;
  }
  EXPECT_LT(outcome.out.find("  PLAY pressed"), outcome.out.find("  PLAY released"));
  EXPECT_TRUE(surface.PatternShown());
  EXPECT_EQ(std::string(40, ' '), surface.Display());
  EXPECT_TRUE(surface.LampsLit().empty());
  EXPECT_EQ(0u, sim_open_devices());
}

TEST_F(CheckTest, TestModeListsTheControlsNeverSeen) {
  SurfaceRig surface;
  TestModeRun run({"--test"});
  ASSERT_TRUE(surface.WaitForPattern());
  for (unsigned note : kButtonNotes) {
    if (note == kFootswitch) continue;
    surface.Press(note, true);
    surface.Press(note, false);
  }
  surface.Press(kFootswitch, false);  // a release alone is no press
  surface.Press(60, true);            // not a control of the surface
  surface.Wheel(2);
  const Outcome outcome = run.Stop();
  EXPECT_TRUE(Has(outcome.out, "Never seen: FOOTSWITCH, wheel back\n")) << outcome.out;
  EXPECT_TRUE(Has(outcome.out, "  note 60 pressed (not a Quillmote control)\n"));
  EXPECT_EQ(std::string(40, ' '), surface.Display());
  EXPECT_TRUE(surface.LampsLit().empty());
}

TEST_F(CheckTest, TestModeLightsEachLampInTurnAndEndsAfterItsSeconds) {
  SurfaceRig surface;
  const Outcome outcome = Doctor({"--test", "--seconds", "1"});
  EXPECT_EQ(qmcheck::kReady, outcome.status) << outcome.out << outcome.err;
  EXPECT_EQ(std::vector<unsigned>(std::begin(kLampNotes), std::end(kLampNotes)),
            surface.LampsLitInTurn());
  EXPECT_TRUE(Has(outcome.out, "The test ends after 1 second, or with Ctrl+C."));
  EXPECT_TRUE(Has(outcome.out, "Never seen: SHIFT, PLAY, STOP,")) << outcome.out;
  EXPECT_FALSE(Has(outcome.out, "Stopped."));
  EXPECT_EQ(std::string(40, ' '), surface.Display());
  EXPECT_TRUE(surface.LampsLit().empty());
}

TEST_F(CheckTest, TestModeStoppedWhileALampIsLitStillBlanks) {
  SurfaceRig surface;
  TestModeRun run({"--test", "--json"});
  ASSERT_TRUE(surface.WaitForPattern());
  surface.Press(94, true);
  const Outcome outcome = run.Stop();
  EXPECT_EQ(qmcheck::kReady, outcome.status);
  ASSERT_TRUE(Balanced(outcome.out)) << outcome.out;
  EXPECT_EQ("true", Member(outcome.out, "interrupted"));
  EXPECT_EQ("\"PLAY\"", Member(outcome.out, "control", outcome.out.find("\"events\"")));
  EXPECT_EQ("true", Member(outcome.out, "blanked"));
  EXPECT_TRUE(Has(outcome.out, "\"never_seen\": [\"SHIFT\", \"STOP\","));
  EXPECT_EQ(std::string(40, ' '), surface.Display());
  EXPECT_TRUE(surface.LampsLit().empty());
}

TEST_F(CheckTest, TestModeOnAPortInUseOpensNothingAndSaysSo) {
  sim_add_output("Quillmote Port");
  sim_add_input("Quillmote Port");
  sim_set_device_taken(SIM_OUTPUT, 0, 1);
  const Outcome run = Doctor({"--test", "--seconds", "1"});
  EXPECT_EQ(qmcheck::kNotUsable, run.status);
  EXPECT_TRUE(Has(run.out, "in use by another program")) << run.out;
  EXPECT_EQ(0u, sim_open_devices());
  EXPECT_EQ(0u, sim_sent_count(0));
}

#ifndef _WIN32
TEST_F(CheckTest, CtrlCEndsTheTestModeAndTheSurfaceIsBlanked) {
  SurfaceRig surface;
  qmcheck::InterruptFlag() = false;
  qmcheck::InstallInterruptHandler();
  std::thread doctor([&] {
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(qmcheck::kReady, qmcheck::Run({"--test"}, out, err, qmcheck::InterruptFlag()));
    EXPECT_TRUE(Has(out.str(), "Stopped.")) << out.str();
  });
  ASSERT_TRUE(surface.WaitForPattern());
  std::raise(SIGINT);
  doctor.join();
  signal(SIGINT, SIG_DFL);
  qmcheck::InterruptFlag() = false;
  EXPECT_EQ(std::string(40, ' '), surface.Display());
  EXPECT_TRUE(surface.LampsLit().empty());
}
#endif

// ---- The command line ----------------------------------------------------------

TEST_F(CheckTest, BadInputIsNamedAndGivesStatus3) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
      {{"test"}, "unknown option 'test'"},
      {{"--test", "--seconds", "ten"}, "not 'ten'"},
      {{"--test", "--seconds", "0"}, "from 1 to 86400, not '0'"},
      {{"--test", "--seconds=-5"}, "not '-5'"},
      {{"--test", "--seconds", "99999999999"}, "not '99999999999'"},
      {{"--test", "--seconds"}, "--seconds needs a number"},
      {{"--seconds", "5"}, "--seconds goes with --test only"},
      {{"--test", "--bindings"}, "can't be given together"},
  };
  for (const auto& [args, message] : cases) {
    const Outcome run = Doctor(args);
    EXPECT_EQ(qmcheck::kBadInput, run.status) << args[0];
    EXPECT_TRUE(Has(run.err, "quillmote-check: ") && Has(run.err, message)) << run.err;
    EXPECT_EQ("", run.out);
  }
  EXPECT_EQ(0u, sim_call_count("midiOutGetNumDevs"));
}

TEST_F(CheckTest, VersionIsTheProjectsAndHelpListsTheExitStatuses) {
  Outcome run = Doctor({"--version"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("quillmote-check " QM_VERSION "\n", run.out);
  run = Doctor({"--help"});
  EXPECT_EQ(0, run.status);
  EXPECT_TRUE(Has(run.out, "Exit status: 0 ready, 1 surface not found, 2 found but not usable"));
}

// ---- The end of the program ---------------------------------------------------

TEST(ConsolePause, OnlyAConsoleOfItsOwnWithAPersonAtItWaitsForEnter) {
  qmcheck::ConsoleFacts alone;
  alone.processes = 1;
  alone.inputIsConsole = true;
  alone.outputIsConsole = true;
  EXPECT_TRUE(qmcheck::ShouldPause(alone)) << "double-clicked";

  qmcheck::ConsoleFacts facts = alone;
  facts.processes = 2;
  EXPECT_FALSE(qmcheck::ShouldPause(facts)) << "run from a prompt, which shares the console";
  facts.processes = 0;
  EXPECT_FALSE(qmcheck::ShouldPause(facts)) << "no console at all";
  facts = alone;
  facts.inputIsConsole = false;
  EXPECT_FALSE(qmcheck::ShouldPause(facts)) << "input from a file or a pipe";
  facts = alone;
  facts.outputIsConsole = false;
  EXPECT_FALSE(qmcheck::ShouldPause(facts)) << "output to a file or a pipe";
  facts = alone;
  facts.json = true;
  EXPECT_FALSE(qmcheck::ShouldPause(facts)) << "--json";
}

#ifndef _WIN32
TEST(ConsolePause, OnlyWindowsGivesTheProgramAConsoleOfItsOwn) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"--test", "--seconds", "1"}}) {
    const qmcheck::ConsoleFacts facts = qmcheck::GatherConsoleFacts(args);
    EXPECT_EQ(0u, facts.processes);
    EXPECT_FALSE(facts.inputIsConsole || facts.outputIsConsole);
    EXPECT_FALSE(qmcheck::ShouldPause(facts));
  }
  EXPECT_TRUE(qmcheck::GatherConsoleFacts({"--bindings", "--json"}).json);
  EXPECT_FALSE(qmcheck::GatherConsoleFacts({"--bindings"}).json);
}

TEST(ConsolePause, TheWaitEndsAtEnterOrAtTheEndOfTheInput) {
  std::FILE* typed = std::tmpfile();
  ASSERT_NE(nullptr, typed);
  std::fputs("ok\nnext", typed);
  std::rewind(typed);
  std::ostringstream out;
  qmcheck::WaitForEnter(typed, out);
  EXPECT_EQ("\nPress Enter to close this window.\n", out.str());
  EXPECT_EQ('n', std::fgetc(typed)) << "reads one line, no more";
  std::fclose(typed);

  std::FILE* empty = std::tmpfile();
  ASSERT_NE(nullptr, empty);
  qmcheck::WaitForEnter(empty, out);  // returns: nothing more will come
  EXPECT_NE(0, std::feof(empty));
  std::fclose(empty);
}
#endif

// ---- The bindings --------------------------------------------------------------

#ifndef _WIN32
class BindingsTest : public CheckTest {
 protected:
  void SetUp() override {
    CheckTest::SetUp();
    char pattern[] = "/tmp/quillmote-check-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    m_dir = pattern;
    setenv("XDG_CONFIG_HOME", m_dir.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("XDG_CONFIG_HOME");
    std::filesystem::remove_all(m_dir);
    CheckTest::TearDown();
  }
  void Store(const char* name, DWORD type, const std::string& data) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Harrowgate\\QuillmoteVelloran", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                             static_cast<DWORD>(data.size() + 1)));
    RegCloseKey(key);
  }

  std::string m_dir;
};

TEST_F(BindingsTest, EachBindingIsMarkedStoredOrDefault) {
  Store("Shift Play", REG_SZ, "Transport: Play");
  Store("Footswitch", REG_DWORD, "abc");
  const Outcome run = Doctor({"--bindings"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_TRUE(Has(LineOf(run.out, "Shift Play "), "\"Transport: Play\"")) << run.out;
  EXPECT_TRUE(Has(LineOf(run.out, "Shift Play "), " stored"));
  EXPECT_TRUE(Has(LineOf(run.out, "Footswitch "), "\"Record/Stop toggle\""));
  EXPECT_TRUE(Has(LineOf(run.out, "Footswitch "), "default (the stored value is not a name)"));
  EXPECT_TRUE(Has(LineOf(run.out, "  In "), "\"Selection Anchor Left when playing\""));
  EXPECT_TRUE(Has(LineOf(run.out, "  In "), " default"));
  int lines = 0;
  std::istringstream text(run.out);
  for (std::string line; std::getline(text, line);) {
    lines += line.rfind("  ", 0) == 0 && (Has(line, " stored") || Has(line, " default")) ? 1 : 0;
  }
  EXPECT_EQ(16, lines);

  const Outcome json = Doctor({"--bindings", "--json"});
  ASSERT_TRUE(Balanced(json.out)) << json.out;
  const std::size_t play = json.out.find("\"input\": \"Shift Play\"");
  EXPECT_EQ("\"stored\"", Member(json.out, "source", play));
  EXPECT_EQ("\"Transport: Play\"", Member(json.out, "command", play));
  const std::size_t foot = json.out.find("\"input\": \"Footswitch\"");
  EXPECT_EQ("\"default\"", Member(json.out, "source", foot));
  EXPECT_EQ("true", Member(json.out, "unusable_value", foot));
}

TEST_F(BindingsTest, AnUnreadableKeyIsSaidAndNothingStoredIsLost) {
  Store("Shift Play", REG_SZ, "Transport: Play");
  sim_fail("RegOpenKeyA", ERROR_ACCESS_DENIED, 0, 0);
  const Outcome run = Doctor({"--bindings"});
  EXPECT_EQ(qmcheck::kNotUsable, run.status);
  EXPECT_TRUE(Has(run.err, "couldn't read the bindings (registry error 5)")) << run.err;
  EXPECT_EQ("", run.out);
  sim_clear_faults();
  EXPECT_TRUE(Has(LineOf(Doctor({"--bindings"}).out, "Shift Play "), " stored"));
}
#endif

}  // namespace
