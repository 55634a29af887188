// The registry's per-user JSON store file, which the registry functions read
// and rewrite whole for every lookup and change (registry.cpp).
#ifndef QUILLMOTE_PLATFORM_ADVAPI32_STORE_H
#define QUILLMOTE_PLATFORM_ADVAPI32_STORE_H

#include <windows.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qmsim::registry {

namespace fs = std::filesystem;

struct Value {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct Key {
  std::string path;  // as first created
  std::vector<std::pair<std::string, Value>> values;
};

struct Store {
  // Hive name to keys.
  std::map<std::string, std::vector<Key>> hives;
  // Set when the file exists but could not be read or parsed.
  std::optional<std::string> unreadable;
};

// $XDG_CONFIG_HOME/quillmote/registry.json, or under ~/.config.
fs::path StorePath();
// Reads the store for a lookup: an unreadable one holds no keys.
Store ReadForLookup(const fs::path& path);
// Reads the store for a change: an unreadable one is first kept aside under
// a name of its own, so that the change does not destroy it.
std::optional<Store> ReadForChange(const fs::path& path, LONG& error);
// Writes the store whole (atomically replaced); the registry's error code.
LONG Save(const fs::path& path, const Store& store);

}  // namespace qmsim::registry

#endif
