// The per-user store that stands for the registry on this platform: what a
// person finds in the file, and how it fails.
#include <string>

#include "bindings_fixture.h"
#include <nlohmann/json.hpp>

namespace {

using bindtest::BindingsTest;

using Store = BindingsTest;

TEST_F(Store, KeepsTheBindingsAsReadableTextReplacedWhole) {
  bindtest::Store("Shift Play", "Undo (1)");
  bindtest::Store("In", "Play");
  const auto root = nlohmann::json::parse(bindtest::ReadFile(m_config.StoreFile()));
  const auto& key = root.at("HKEY_CURRENT_USER").at("Software\\Harrowgate\\QuillmoteVelloran");
  EXPECT_EQ(key.at("Shift Play"), (nlohmann::json{{"type", "REG_SZ"}, {"data", "Undo (1)"}}));
  EXPECT_EQ(key.at("In").at("data"), "Play");
  // Nothing but the store itself is left behind by a save.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(m_config.Dir())) {
    ++files;
    EXPECT_EQ(entry.path().filename(), "registry.json");
  }
  EXPECT_EQ(files, 1);
}

TEST_F(Store, NamesIgnoreCaseAndShortBuffersAreToldTheSizeNeeded) {
  bindtest::Store("Shift Play", "Metronome On/Off toggle");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "SOFTWARE\\harrowgate\\QuillmoteVelloran", &key),
            ERROR_SUCCESS);
  char small[8];
  DWORD size = sizeof small;
  DWORD type = 0;
  EXPECT_EQ(
      RegQueryValueExA(key, "shift play", nullptr, &type, reinterpret_cast<BYTE*>(small), &size),
      ERROR_MORE_DATA);
  EXPECT_EQ(size, 24u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(Store, AStoreThatCannotBeWrittenFailsTheSaveAndSaysWhy) {
  // A file where the store's directory should be.
  bindtest::WriteFile(m_config.Dir().parent_path() / "blocked", "");
  setenv("XDG_CONFIG_HOME", (m_config.Dir().parent_path() / "blocked").c_str(), 1);
  HKEY key = nullptr;
  char noClass[] = "";
  EXPECT_NE(RegCreateKeyExA(HKEY_CURRENT_USER, kBindingsKey, 0, noClass, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  const std::vector<std::string> lines = bindtest::DebugLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("could not be written"), std::string::npos) << lines[0];
}

TEST_F(Store, ADialogThatCannotBeShownIsReported) {
  m_host.SetCommands({"Play"});
  sim_fail("DialogBoxParamA", ERROR_RESOURCE_NAME_NOT_FOUND, 0, 1);
  EXPECT_EQ(Dialog().DoModal(), -1);
  const std::vector<std::string> lines = bindtest::DebugLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Couldn't show dialog 1000 (system error 1814)\n");
}

}  // namespace
