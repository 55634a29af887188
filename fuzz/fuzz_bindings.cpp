// Stored bindings: arbitrary bytes as the registry store file, or arbitrary
// values (any type, any bytes) under the bindings key, then a load. Every
// slot must end up at the command its stored name names, or else at its
// default. Optionally the user then presses OK in the bindings dialog: the
// bindings the plug-in runs with must be those a later load gives, and a
// store file that could not be read must survive beside the new one.
//
// Input: a mode byte (bit 0: values rather than a file; bit 1: the dialog),
// then the file's bytes, or up to 24 records of a value-name selector, a type
// selector, a length byte and the data.
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bindings/binding_table.h"
#include "bindings/settings_dlg.h"
#include "fuzz_rig.h"
#include "plugin/exports.h"
#include "simctl.h"

namespace {

namespace fs = std::filesystem;

constexpr int kMaxRecords = 24;
constexpr DWORD kTypes[] = {REG_SZ,        REG_SZ,     REG_SZ,    REG_SZ,
                            REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ};

const char* ValueName(uint8_t selector) {
  const std::size_t slot = selector % (kBindingCount + 2);
  if (slot < kBindingCount) return BindingTable[slot].m_valueName;
  return slot == kBindingCount ? "" : "Shift Other";
}

void WriteValues(fuzz::Reader& in) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  char noClass[] = "";
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kBindingsKey, 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key,
                      &disposition) != ERROR_SUCCESS) {
    fuzz::Fail("the bindings key could not be made");
  }
  // More records than value names only rewrite values.
  for (int record = 0; record < kMaxRecords && !in.Empty(); ++record) {
    const char* name = ValueName(in.U8());
    const uint8_t typeSelector = in.U8();
    const DWORD type = typeSelector < 0xF8 ? kTypes[typeSelector % (sizeof kTypes / sizeof *kTypes)]
                                           : static_cast<DWORD>(typeSelector);
    const std::vector<uint8_t> bytes = in.Take(in.U8());
    if (RegSetValueExA(key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size())) !=
        ERROR_SUCCESS) {
      fuzz::Fail("value \"%s\" could not be stored", name);
    }
  }
  RegCloseKey(key);
}

int32_t FirstCommandNamed(const std::string& name) {
  std::string candidate;
  for (int32_t index = 0; index < static_cast<int32_t>(fuzz::Host().names.size()); ++index) {
    if (fuzz::CommandName(index, candidate) && candidate == name) return index;
  }
  return -1;
}

// The command a slot's stored value names, or -1 when the value is not a
// usable name: a text value that fits a 128-byte name buffer and names a
// command.
int32_t StoredCommand(HKEY key, const char* valueName) {
  std::vector<BYTE> data(4096);
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(data.size());
  if (key == nullptr ||
      RegQueryValueExA(key, valueName, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) {
    return -1;
  }
  if (type != REG_SZ || size > 128) return -1;
  const std::size_t length = strnlen(reinterpret_cast<const char*>(data.data()), size);
  if (length == 0 || length >= 128) return -1;
  return FirstCommandNamed(std::string(reinterpret_cast<const char*>(data.data()), length));
}

void CheckLoaded() {
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, kBindingsKey, &key) != ERROR_SUCCESS) key = nullptr;
  for (const BindingSlot& slot : BindingTable) {
    int32_t expected = StoredCommand(key, slot.m_valueName);
    if (expected == -1) expected = FirstCommandNamed(slot.m_defaultName);
    if (slot.m_commandIndex.load() != expected) {
      fuzz::Fail("slot \"%s\" holds %d, not %d", slot.m_valueName, slot.m_commandIndex.load(),
                 expected);
    }
  }
  if (key != nullptr) RegCloseKey(key);
}

bool StoreWasUnreadable() {
  char line[2048];
  for (std::size_t i = 0; i < sim_debug_count(); ++i) {
    sim_debug_line(i, line, sizeof line);
    if (std::strstr(line, "could not be read") != nullptr) return true;
  }
  return false;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const uint8_t mode = in.U8();
  fuzz::ResetSurface();
  fuzz::RemoveStore();
  fuzz::SetCommands(fuzz::KnownCommandNames());
  fuzz::Host().answers.clear();

  std::string original;
  if (mode & 1) {
    WriteValues(in);
  } else {
    const std::vector<uint8_t> bytes = in.Take(in.Left());
    original.assign(bytes.begin(), bytes.end());
    fs::create_directories(fs::path(fuzz::StoreFile()).parent_path());
    std::ofstream(fuzz::StoreFile(), std::ios::binary) << original;
  }

  {
    CUserSettingsDlg loader;
    loader.SetCommandSource(static_cast<int32_t>(fuzz::Host().names.size()), &fuzz::GetName);
    loader.LoadBindings();
  }
  CheckLoaded();
  if ((mode & 2) == 0) return 0;

  const bool unreadable = StoreWasUnreadable();
  sim_user_reset();
  sim_set_dialog_script(&fuzz::PressOk, nullptr);
  const int result =
      ConfigureController(0, 0, static_cast<int32_t>(fuzz::Host().names.size()), &fuzz::GetName);
  sim_set_dialog_script(nullptr, nullptr);
  if (result != IDOK) fuzz::Fail("the bindings dialog closed with %d, not OK", result);
  const auto saved = fuzz::BindingSnapshot();
  {
    CUserSettingsDlg loader;
    loader.SetCommandSource(static_cast<int32_t>(fuzz::Host().names.size()), &fuzz::GetName);
    loader.LoadBindings();
  }
  if (fuzz::BindingSnapshot() != saved) fuzz::Fail("the saved bindings load back differently");
  if (unreadable && (mode & 1) == 0) {
    const fs::path aside = fuzz::StoreFile() + ".unreadable-1";
    if (ReadFile(aside) != original) fuzz::Fail("the unreadable store was not kept as it was");
  }
  return 0;
}
