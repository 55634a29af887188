// The desk's end of --wine without Wine: WineMachine drives fake_wine.sh,
// which speaks the bridge's protocol with made-up answers and logs what it
// reads. What crosses is checked on both sides: the requests the desk sends,
// its answers to the plug-in's calls (made by the host's callbacks), and what
// it makes of the bridge's lines.
#include <windows.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "wine_machine.h"
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

std::vector<std::string> g_actions;

void __cdecl DoAction(int32_t code, int32_t value, int32_t track, int32_t) {
  g_actions.push_back("action " + std::to_string(code) + " " + std::to_string(value) + " " +
                      std::to_string(track));
}

void __cdecl QueryValue(int32_t code, int32_t track, void* result, int32_t) {
  if (code == 20) {
    const double volume = -3.5 - track;
    std::memcpy(result, &volume, sizeof volume);
  } else if (code == 44) {
    std::strcpy(static_cast<char*>(result), "Bass");
  } else if (code == 15 || code == 21) {
    const int32_t number = code == 21 ? -20 : track;
    std::memcpy(result, &number, sizeof number);
  }
}

void __cdecl GetCommandName(int32_t index, char* buffer, int32_t size, int32_t* valid) {
  *valid = index == 0 && size > 8;
  if (*valid) std::strcpy(buffer, "Undo (1)");
}

void __cdecl RunCommand(int32_t index, int32_t status) {
  g_actions.push_back("run " + std::to_string(index) + " " + std::to_string(status));
}

void __cdecl DialogCommandName(int32_t, char* buffer, int32_t, int32_t* valid) {
  std::strcpy(buffer, "Redo");
  *valid = 1;
}

class WineMachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/desk-wine-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    m_dir = dir;
    m_build = m_dir + "/build-windows";
    mkdir(m_build.c_str(), 0700);
    for (const char* file : {"quillmote-bridge.exe", "winmm.dll", "Quillmote1_5.cv2"}) {
      std::ofstream(m_build + "/" + file) << "MZ";
    }
    m_log = m_dir + "/bridge.log";
    setenv("QM_FAKE_LOG", m_log.c_str(), 1);
    // The desk's own store, where the bindings are kept.
    setenv("XDG_CONFIG_HOME", (m_dir + "/config").c_str(), 1);
    m_setup.windowsBuild = m_build;
    m_setup.wine = QM_FAKE_WINE;
    g_actions.clear();
  }
  void TearDown() override {
    // Only the directory SetUp made: none when it could not make one.
    if (m_dir.empty()) return;
    const std::string command = "rm -rf '" + m_dir + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  // What the fake bridge read, line by line.
  std::vector<std::string> Log() const {
    std::ifstream in(m_log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  bool Logged(const std::string& line) const {
    for (const std::string& logged : Log()) {
      if (logged == line) return true;
    }
    return false;
  }

  std::string m_dir;
  std::string m_build;
  std::string m_log;
  desk::WineSetup m_setup;
};

TEST_F(WineMachineTest, SaysWhatIsMissingBeforeStartingWine) {
  std::remove((m_build + "/winmm.dll").c_str());
  desk::WineMachine machine;
  std::string error;
  EXPECT_FALSE(machine.Start(m_setup, &error));
  EXPECT_NE(error.find(m_build + "/winmm.dll"), std::string::npos) << error;
  EXPECT_NE(error.find("--windows-build DIR"), std::string::npos) << error;

  std::ofstream(m_build + "/winmm.dll") << "MZ";
  m_setup.wine = "no-such-wine-program";
  EXPECT_FALSE(machine.Start(m_setup, &error));
  EXPECT_NE(error.find("Wine"), std::string::npos) << error;
}

TEST_F(WineMachineTest, StartsTheBridgeInThePrivatePrefixAndCopiesTheBindingsIn) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Harrowgate\\QuillmoteVelloran", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "In", 0, REG_SZ, reinterpret_cast<const BYTE*>("Redo"), 5),
            ERROR_SUCCESS);
  RegCloseKey(key);

  desk::WineMachine machine;
  std::string error;
  ASSERT_TRUE(machine.Start(m_setup, &error)) << error;
  EXPECT_EQ(machine.Name(), "Quillmote1_5.cv2 under Wine");
  EXPECT_TRUE(Logged("args " + m_build + "/quillmote-bridge.exe Quillmote1_5.cv2"));
  EXPECT_TRUE(Logged("env WINEPREFIX=" + m_build +
                     "/wineprefix WINEDLLOVERRIDES=" + "mscoree,mshtml=;winmm=n,b"));
  EXPECT_TRUE(Logged("cwd " + m_build));
  // "In" = "Redo\0" as a REG_SZ (1).
  EXPECT_TRUE(Logged("store 496E:1:5265646F00"));
}

TEST_F(WineMachineTest, AnswersThePluginsCallsWithTheHostsCallbacks) {
  desk::WineMachine machine;
  std::string error;
  ASSERT_TRUE(machine.Start(m_setup, &error)) << error;
  unsigned char record[32];
  EXPECT_EQ(machine.Query(record, sizeof record), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record), 4), "zvlk");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record + 12)), "Quill");

  const HostServices services = {&DoAction, &QueryValue, &GetCommandName, 0, &RunCommand, 30};
  EXPECT_EQ(machine.Open(services), 1);
  EXPECT_TRUE(Logged("open 30"));
  EXPECT_TRUE(Logged("ret 1 s:556E646F20283129"));  // "Undo (1)"
  EXPECT_TRUE(Logged("ret 2 -"));                   // no such command
  EXPECT_TRUE(Logged("ret 3 d:-4.5"));
  EXPECT_TRUE(Logged("ret 4 s:42617373"));  // "Bass"
  EXPECT_TRUE(Logged("ret 5 i:5"));
  EXPECT_TRUE(Logged("ret 6 i:-20"));
  EXPECT_TRUE(Logged("ret 7 -"));  // no such query
  EXPECT_TRUE(Logged("ret 8"));
  EXPECT_TRUE(Logged("ret 9"));
  EXPECT_EQ(g_actions, (std::vector<std::string>{"action 3 1 0", "run 2 144"}));
}

TEST_F(WineMachineTest, PassesUpdatesAsTheBridgeTakesThem) {
  desk::WineMachine machine;
  std::string error;
  ASSERT_TRUE(machine.Start(m_setup, &error)) << error;
  machine.Update(40, desk::UpdateArg::Double(0.5), desk::UpdateArg::Double(-0.1));
  machine.Update(41, desk::UpdateArg::Text("1:02"), desk::UpdateArg::Number(0));
  machine.Update(18, desk::UpdateArg::Number(3), desk::UpdateArg::Number(8));
  machine.Update(41, desk::UpdateArg::Text(""), desk::UpdateArg::Number(0));
  EXPECT_TRUE(Logged("update 40 d:0.5 d:-0.10000000000000001"));
  EXPECT_TRUE(Logged("update 41 s:313A3032 0"));
  EXPECT_TRUE(Logged("update 18 3 8"));
  EXPECT_TRUE(Logged("update 41 s: 0"));
}

TEST_F(WineMachineTest, TheSurfacesOutputArrivesBeforeIdle) {
  desk::WineMachine machine;
  std::string error;
  ASSERT_TRUE(machine.Start(m_setup, &error)) << error;
  std::vector<std::vector<uint8_t>> received;
  machine.Install(true, [&](const uint8_t* bytes, std::size_t length) {
    received.emplace_back(bytes, bytes + length);
  });
  EXPECT_TRUE(Logged("machine 1"));
  EXPECT_TRUE(machine.WaitIdle());
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0], (std::vector<uint8_t>{0x90, 0x5F, 0x7F}));
  EXPECT_EQ(received[1].size(), 10u);
  // Input that the plug-in's port dropped.
  EXPECT_FALSE(machine.SendInput(0x7F5E90));
  EXPECT_TRUE(Logged("send 8347280"));

  machine.Detach();
  EXPECT_TRUE(machine.WaitIdle());
  EXPECT_EQ(received.size(), 2u);
}

TEST_F(WineMachineTest, DebuggerLinesLoseTheirLineEnds) {
  desk::WineMachine machine;
  std::string error;
  ASSERT_TRUE(machine.Start(m_setup, &error)) << error;
  EXPECT_EQ(machine.TakeDebugLines(), (std::vector<std::string>{"Hi there!", ""}));
}

TEST_F(WineMachineTest, TheDialogIsReadInTheDesksOrderAndOkCopiesTheBindingsBack) {
  desk::WineMachine machine;
  std::string error;
  ASSERT_TRUE(machine.Start(m_setup, &error)) << error;
  setenv("DISPLAY", ":99", 1);
  std::string why;
  EXPECT_TRUE(machine.HasDialog(&why)) << why;
  unsetenv("DISPLAY");
  EXPECT_FALSE(machine.HasDialog(&why));
  EXPECT_NE(why.find("DISPLAY"), std::string::npos);

  desk::DialogSeen seen;
  bool shown = false;
  const auto keep = [&](const desk::DialogSeen& view) { seen = view; };
  EXPECT_EQ(machine.RunDialog(30, &DialogCommandName, desk::DialogRequest{}, keep, &shown), 2);
  EXPECT_TRUE(shown);
  EXPECT_TRUE(Logged("dialog 30 0"));
  EXPECT_EQ(seen.caption, "Caption");
  ASSERT_EQ(seen.boxes.size(), desk::kSlotCount);
  // kSlotInputs begins with IN (box 1001), then Shift + IN (box 1000).
  EXPECT_EQ(seen.boxes[0].controlId, 1001);
  EXPECT_FALSE(seen.boxes[0].selected);
  EXPECT_EQ(seen.boxes[1].controlId, 1000);
  EXPECT_TRUE(seen.boxes[1].selected);
  EXPECT_EQ(seen.boxes[1].text, "Redo");
  EXPECT_EQ(seen.boxes[1].items, 30);
  EXPECT_FALSE(Logged("stored"));

  EXPECT_EQ(
      machine.RunDialog(30, &DialogCommandName, desk::DialogRequest{1013, "Redo"}, keep, &shown),
      1);
  EXPECT_TRUE(Logged("dialog 30 1013 5265646F"));
  EXPECT_TRUE(seen.chosen);
  // OK: what the DLL stored comes back to the desk's store.
  EXPECT_TRUE(Logged("stored"));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Harrowgate\\QuillmoteVelloran", &key),
            ERROR_SUCCESS);
  char value[16] = {};
  DWORD size = sizeof value;
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueExA(key, "In", nullptr, &type, reinterpret_cast<BYTE*>(value), &size),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(value, "Redo");
}

TEST_F(WineMachineTest, ABridgeThatEndsIsLostWithWhatItSaid) {
  desk::WineMachine machine;
  std::string error;
  ASSERT_TRUE(machine.Start(m_setup, &error)) << error;
  std::string why;
  EXPECT_FALSE(machine.Lost(&why));
  machine.Close();  // the fake falls over here
  ASSERT_TRUE(machine.Lost(&why));
  EXPECT_NE(why.find("ended during \"close\""), std::string::npos) << why;
  EXPECT_NE(why.find("the plug-in fell over"), std::string::npos) << why;
  // Nothing more is asked of it, and nothing waits.
  EXPECT_FALSE(machine.WaitIdle());
}

}  // namespace
