// The registry's store file: JSON, read and replaced whole.
#include "store.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

namespace qmsim::registry {

namespace {

using json = nlohmann::json;

}  // namespace

// ---- The store file ----

fs::path StorePath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  fs::path base;
  // A relative XDG_CONFIG_HOME is to be ignored.
  if (config != nullptr && config[0] == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == 0) {
      const passwd* user = getpwuid(getuid());
      home = user != nullptr ? user->pw_dir : "/tmp";
    }
    base = fs::path(home) / ".config";
  }
  return base / "quillmote" / "registry.json";
}

const std::map<DWORD, const char*>& TypeNames() {
  static const std::map<DWORD, const char*> names = {
      {REG_NONE, "REG_NONE"},     {REG_SZ, "REG_SZ"},       {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
      {REG_BINARY, "REG_BINARY"}, {REG_DWORD, "REG_DWORD"}, {REG_MULTI_SZ, "REG_MULTI_SZ"}};
  return names;
}

DWORD ParseType(const json& type) {
  if (type.is_number_unsigned()) return type.get<DWORD>();
  const std::string name = type.get<std::string>();
  for (const auto& [value, text] : TypeNames()) {
    if (name == text) return value;
  }
  throw std::runtime_error("unknown value type \"" + name + "\"");
}

Value ParseValue(const json& entry) {
  Value value;
  value.type = ParseType(entry.at("type"));
  if (entry.contains("data")) {
    // Text as written: its terminator is part of the data.
    const std::string text = entry.at("data").get<std::string>();
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
  } else {
    for (const json& byte : entry.at("bytes")) value.data.push_back(byte.get<BYTE>());
  }
  return value;
}

json ValueJson(const Value& value) {
  json entry = json::object();
  const auto name = TypeNames().find(value.type);
  if (name != TypeNames().end()) {
    entry["type"] = name->second;
  } else {
    entry["type"] = value.type;
  }
  // Text values are kept readable when they are exactly one terminated
  // UTF-8 text; anything else keeps its bytes.
  const bool textType = value.type == REG_SZ || value.type == REG_EXPAND_SZ;
  if (textType && !value.data.empty() && value.data.back() == 0 &&
      std::find(value.data.begin(), value.data.end() - 1, 0) == value.data.end() - 1) {
    const std::string text(value.data.begin(), value.data.end() - 1);
    try {
      (void)json(text).dump();
      entry["data"] = text;
      return entry;
    } catch (const json::exception&) {
      // Not UTF-8: kept as bytes below.
    }
  }
  entry["bytes"] = value.data;
  return entry;
}

Store ReadStore(const fs::path& path) {
  Store store;
  std::error_code error;
  if (!fs::exists(path, error)) {
    if (error) store.unreadable = error.message();
    return store;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    store.unreadable = std::strerror(errno);
    return store;
  }
  try {
    const json root = json::parse(file);
    if (!root.is_object()) throw std::runtime_error("not a JSON object");
    for (const auto& [hive, keys] : root.items()) {
      if (hive == "format") continue;
      auto& list = store.hives[hive];
      for (const auto& [keyPath, values] : keys.items()) {
        Key key;
        key.path = keyPath;
        for (const auto& [valueName, entry] : values.items()) {
          key.values.emplace_back(valueName, ParseValue(entry));
        }
        list.push_back(std::move(key));
      }
    }
  } catch (const std::exception& e) {
    store.hives.clear();
    store.unreadable = e.what();
  }
  return store;
}

// The reason, or nothing when written.
std::optional<std::string> WriteStore(const fs::path& path, const Store& store, LONG& error) {
  json root = json::object();
  root["format"] = 1;
  for (const auto& [hive, keys] : store.hives) {
    json hiveJson = json::object();
    for (const Key& key : keys) {
      json values = json::object();
      for (const auto& [name, value] : key.values) values[name] = ValueJson(value);
      hiveJson[key.path] = values;
    }
    root[hive] = hiveJson;
  }
  std::string text;
  try {
    text = root.dump(2) + "\n";
  } catch (const json::exception& e) {
    error = ERROR_INVALID_PARAMETER;  // a key or value name that is not UTF-8
    return std::string(e.what());
  }

  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  static unsigned counter = 0;
  const fs::path temporary =
      path.string() + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  auto failed = [&](int code) -> std::optional<std::string> {
    error = (code == EACCES || code == EPERM || code == EROFS) ? ERROR_ACCESS_DENIED
            : code == ENOSPC                                   ? ERROR_DISK_FULL
                                                               : ERROR_WRITE_FAULT;
    return std::string(std::strerror(code));
  };
  if (fd < 0) return failed(errno);
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int code = errno;
      ::close(fd);
      ::unlink(temporary.c_str());
      return failed(code);
    }
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    const int code = errno;
    ::unlink(temporary.c_str());
    return failed(code);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int code = errno;
    ::unlink(temporary.c_str());
    return failed(code);
  }
  return std::nullopt;
}

void Say(const std::string& line) { OutputDebugStringA(line.c_str()); }

// Reads the store for a lookup: an unreadable one holds no keys.
Store ReadForLookup(const fs::path& path) {
  Store store = ReadStore(path);
  if (store.unreadable) {
    Say("Registry store " + path.string() + " could not be read (" + *store.unreadable +
        "); its keys count as absent\n");
  }
  return store;
}

// Reads the store for a change: an unreadable one is first kept aside under
// a name of its own, so that the change does not destroy it.
std::optional<Store> ReadForChange(const fs::path& path, LONG& error) {
  Store store = ReadStore(path);
  if (!store.unreadable) return store;
  for (unsigned n = 1;; ++n) {
    const fs::path aside = path.string() + ".unreadable-" + std::to_string(n);
    std::error_code ec;
    if (fs::exists(aside, ec)) continue;
    if (::rename(path.c_str(), aside.c_str()) != 0) {
      const int code = errno;
      error = (code == EACCES || code == EPERM || code == EROFS) ? ERROR_ACCESS_DENIED
                                                                 : ERROR_WRITE_FAULT;
      Say("Registry store " + path.string() + " could not be read (" + *store.unreadable +
          ") nor kept aside (" + std::strerror(code) + "); nothing was changed\n");
      return std::nullopt;
    }
    Say("Registry store " + path.string() + " could not be read (" + *store.unreadable +
        "); it was kept as " + aside.string() + " and a new store begun\n");
    return Store{};
  }
}

LONG Save(const fs::path& path, const Store& store) {
  LONG error = ERROR_SUCCESS;
  if (auto reason = WriteStore(path, store, error)) {
    Say("Registry store " + path.string() + " could not be written (" + *reason + ")\n");
    return error;
  }
  return ERROR_SUCCESS;
}

}  // namespace qmsim::registry
