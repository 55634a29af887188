// What the bindings tests share: a private per-user store for each test, the
// stored values read back through the registry functions, and a scripted
// user for the bindings dialog.
#ifndef QUILLMOTE_TESTS_BINDINGS_FIXTURE_H
#define QUILLMOTE_TESTS_BINDINGS_FIXTURE_H

#include <windows.h>

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings/binding_table.h"
#include "bindings/settings_dlg.h"
#include "dialog_layout.h"
#include "fake_host.h"
#include "sim_surface.h"
#include "simctl.h"
#include <gtest/gtest.h>

namespace bindtest {

namespace fs = std::filesystem;

// Points XDG_CONFIG_HOME at a fresh directory for as long as it lives. A
// directory that can't be made fails the test (the constructor throws, and
// the test fixture with it): there is no shared directory to fall back on,
// and only the directory made here is ever removed.
class ConfigDir {
 public:
  ConfigDir() {
    const char* temp = std::getenv("TMPDIR");
    std::string pattern = std::string(temp != nullptr && temp[0] == '/' ? temp : "/tmp") +
                          "/quillmote-bindings-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      const std::string why = std::strerror(errno);
      ADD_FAILURE() << "cannot make a private configuration directory " << pattern << ": " << why;
      throw std::runtime_error("no private configuration directory: " + why);
    }
    m_path = pattern;
    if (const char* previous = std::getenv("XDG_CONFIG_HOME")) m_previous = previous;
    setenv("XDG_CONFIG_HOME", m_path.c_str(), 1);
  }
  ~ConfigDir() {
    if (m_previous) {
      setenv("XDG_CONFIG_HOME", m_previous->c_str(), 1);
    } else {
      unsetenv("XDG_CONFIG_HOME");
    }
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
  }
  ConfigDir(const ConfigDir&) = delete;
  ConfigDir& operator=(const ConfigDir&) = delete;

  fs::path StoreFile() const { return m_path / "quillmote" / "registry.json"; }
  fs::path Dir() const { return m_path / "quillmote"; }

 private:
  fs::path m_path;
  std::optional<std::string> m_previous;
};

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Stores a value under the bindings key exactly as given.
inline void StoreRaw(const char* valueName, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  char noClass[] = "";
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kBindingsKey, 0, noClass, 0, KEY_ALL_ACCESS, nullptr,
                            &key, &disposition),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, valueName, 0, type, static_cast<const BYTE*>(data), size),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

// A name as the product stores it: REG_SZ, the text and its terminator.
inline void Store(const char* valueName, const std::string& name) {
  StoreRaw(valueName, REG_SZ, name.c_str(), static_cast<DWORD>(name.size() + 1));
}

struct Stored {
  LONG result = ERROR_FILE_NOT_FOUND;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;

  std::string Text() const {
    return std::string(reinterpret_cast<const char*>(data.data()),
                       strnlen(reinterpret_cast<const char*>(data.data()), data.size()));
  }
};

inline Stored Read(const char* valueName) {
  Stored stored;
  HKEY key = nullptr;
  stored.result = RegOpenKeyA(HKEY_CURRENT_USER, kBindingsKey, &key);
  if (stored.result != ERROR_SUCCESS) return stored;
  stored.data.resize(4096);
  DWORD size = static_cast<DWORD>(stored.data.size());
  stored.result =
      RegQueryValueExA(key, valueName, nullptr, &stored.type, stored.data.data(), &size);
  stored.data.resize(stored.result == ERROR_SUCCESS ? size : 0);
  RegCloseKey(key);
  return stored;
}

inline bool KeyExists() {
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, kBindingsKey, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

inline int32_t Slot(std::size_t row) { return BindingTable[row].m_commandIndex.load(); }

inline void SetAllSlots(int32_t index) {
  for (BindingSlot& slot : BindingTable) slot.m_commandIndex = index;
}

// The sixteen default names in table order.
inline std::vector<std::string> DefaultNames() {
  std::vector<std::string> names;
  for (const BindingSlot& slot : BindingTable) names.emplace_back(slot.m_defaultName);
  return names;
}

inline std::vector<std::string> DebugLines() {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < sim_debug_count(); ++i) {
    char text[2048];
    sim_debug_line(i, text, sizeof text);
    lines.emplace_back(text);
  }
  return lines;
}

inline std::vector<std::string> MessageBoxes() {
  std::vector<std::string> boxes;
  for (std::size_t i = 0; i < sim_message_box_count(); ++i) {
    char text[2048];
    sim_message_box_text(i, text, sizeof text);
    boxes.emplace_back(text);
  }
  return boxes;
}

// Plays the user of every modal dialog while it lives.
class DialogUser {
 public:
  explicit DialogUser(std::function<void(HWND)> play) : m_play(std::move(play)) {
    sim_set_dialog_script(&DialogUser::Run, this);
  }
  ~DialogUser() { sim_set_dialog_script(nullptr, nullptr); }
  DialogUser(const DialogUser&) = delete;
  DialogUser& operator=(const DialogUser&) = delete;

  int Runs() const { return m_runs; }

 private:
  static void Run(void* context, void* dialog) {
    auto* self = static_cast<DialogUser*>(context);
    ++self->m_runs;
    self->m_play(static_cast<HWND>(dialog));
  }
  std::function<void(HWND)> m_play;
  int m_runs = 0;
};

using test::Items;
using test::Selected;

inline int Choose(HWND dialog, int id, const std::string& name) {
  HWND box = GetDlgItem(dialog, id);
  const LRESULT index = SendMessageA(box, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(name.c_str()));
  return index == CB_ERR ? 0 : sim_user_choose(box, static_cast<int>(index));
}

// A machine with no surface, a private store, and no dialog user left over.
class BindingsTest : public ::testing::Test {
 protected:
  BindingsTest() : m_machine(false) { sim_user_reset(); }
  ~BindingsTest() override { sim_user_reset(); }

  CUserSettingsDlg& Dialog() {
    const HostServices services = m_host.Services();
    m_dialog.SetCommandSource(services.CommandCount, services.GetCommandName);
    return m_dialog;
  }

  ConfigDir m_config;
  test::SimSurface m_machine;
  test::FakeHost m_host;
  CUserSettingsDlg m_dialog;
};

}  // namespace bindtest

#endif
