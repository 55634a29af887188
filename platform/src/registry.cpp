// advapi32's registry over a per-user JSON store file (see winreg.h).
#include <windows.h>

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "sim_state.h"
#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

// ---- Names ----

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool SameName(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

// "A\\B\\" and "\\A\\B" name the same key as "A\\B".
std::string JoinPath(const std::string& base, const char* sub) {
  std::string path = base;
  std::string rest = sub != nullptr ? sub : "";
  std::stringstream parts(rest);
  std::string part;
  while (std::getline(parts, part, '\\')) {
    if (part.empty()) continue;
    if (!path.empty()) path += '\\';
    path += part;
  }
  return path;
}

const char* HiveName(HKEY key) {
  if (key == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
  if (key == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
  if (key == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  if (key == HKEY_USERS) return "HKEY_USERS";
  return nullptr;
}

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

// ---- Keys ----

struct OpenKey {
  std::string hive;
  std::string path;
};

std::mutex g_mutex;
std::map<ULONG_PTR, OpenKey> g_open;
ULONG_PTR g_nextHandle = 0x1000;

Key* FindKey(Store& store, const std::string& hive, const std::string& path) {
  for (Key& key : store.hives[hive]) {
    if (SameName(key.path, path)) return &key;
  }
  return nullptr;
}

// A key exists when it was created, or when a key below it was.
bool KeyExists(Store& store, const std::string& hive, const std::string& path) {
  if (path.empty()) return true;
  const std::string prefix = Lower(path) + '\\';
  for (const Key& key : store.hives[hive]) {
    const std::string name = Lower(key.path);
    if (name == Lower(path) || name.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

Key& MakeKey(Store& store, const std::string& hive, const std::string& path) {
  if (Key* key = FindKey(store, hive, path)) return *key;
  store.hives[hive].push_back(Key{path, {}});
  return store.hives[hive].back();
}

// The hive and path a handle names, or nothing for a bad handle.
std::optional<OpenKey> Resolve(HKEY key) {
  if (const char* hive = HiveName(key)) return OpenKey{hive, ""};
  const auto it = g_open.find(reinterpret_cast<ULONG_PTR>(key));
  if (it == g_open.end()) return std::nullopt;
  return it->second;
}

HKEY NewHandle(const OpenKey& key) {
  const ULONG_PTR handle = g_nextHandle;
  g_nextHandle += 4;
  g_open[handle] = key;
  return reinterpret_cast<HKEY>(handle);
}

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

std::optional<LONG> Injected(const char* function) {
  if (auto fault = qmsim::EnterCall(function)) return static_cast<LONG>(*fault);
  return std::nullopt;
}

LONG OpenKeyCommon(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(g_mutex);
  const auto base = Resolve(hKey);
  if (!base) return ERROR_INVALID_HANDLE;
  const OpenKey key{base->hive, JoinPath(base->path, lpSubKey)};
  Store store = ReadForLookup(StorePath());
  if (!KeyExists(store, key.hive, key.path)) return ERROR_FILE_NOT_FOUND;
  *phkResult = NewHandle(key);
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  return qmsim::Guarded<LONG>(ERROR_OUTOFMEMORY, [&]() -> LONG {
    if (auto fault = Injected("RegOpenKeyA")) return *fault;
    return OpenKeyCommon(hKey, lpSubKey, phkResult);
  });
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  return qmsim::Guarded<LONG>(ERROR_OUTOFMEMORY, [&]() -> LONG {
    if (auto fault = Injected("RegOpenKeyExA")) return *fault;
    return OpenKeyCommon(hKey, lpSubKey, phkResult);
  });
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM,
                            LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  return qmsim::Guarded<LONG>(ERROR_OUTOFMEMORY, [&]() -> LONG {
    if (auto fault = Injected("RegCreateKeyExA")) return *fault;
    if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto base = Resolve(hKey);
    if (!base) return ERROR_INVALID_HANDLE;
    const OpenKey key{base->hive, JoinPath(base->path, lpSubKey)};
    const fs::path path = StorePath();
    LONG error = ERROR_SUCCESS;
    std::optional<Store> store = ReadForChange(path, error);
    if (!store) return error;
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    if (!KeyExists(*store, key.hive, key.path)) {
      MakeKey(*store, key.hive, key.path);
      if (const LONG saved = Save(path, *store); saved != ERROR_SUCCESS) return saved;
      disposition = REG_CREATED_NEW_KEY;
    }
    *phkResult = NewHandle(key);
    if (lpdwDisposition != nullptr) *lpdwDisposition = disposition;
    return ERROR_SUCCESS;
  });
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
  return qmsim::Guarded<LONG>(ERROR_OUTOFMEMORY, [&]() -> LONG {
    if (auto fault = Injected("RegQueryValueExA")) return *fault;
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto key = Resolve(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    Store store = ReadForLookup(StorePath());
    const Key* found = FindKey(store, key->hive, key->path);
    if (found == nullptr) return ERROR_FILE_NOT_FOUND;
    const std::string name = lpValueName != nullptr ? lpValueName : "";
    for (const auto& [valueName, value] : found->values) {
      if (!SameName(valueName, name)) continue;
      if (lpType != nullptr) *lpType = value.type;
      const DWORD size = static_cast<DWORD>(value.data.size());
      if (lpcbData == nullptr) return ERROR_SUCCESS;
      if (lpData == nullptr) {
        *lpcbData = size;
        return ERROR_SUCCESS;
      }
      const DWORD room = *lpcbData;
      *lpcbData = size;
      // Too small: the first bytes land anyway, which Windows allows. An
      // empty value has no bytes to copy from.
      if (size != 0 && room != 0) std::memcpy(lpData, value.data.data(), std::min(room, size));
      return room < size ? ERROR_MORE_DATA : ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
  });
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                           DWORD cbData) {
  return qmsim::Guarded<LONG>(ERROR_OUTOFMEMORY, [&]() -> LONG {
    if (auto fault = Injected("RegSetValueExA")) return *fault;
    if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto key = Resolve(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    const fs::path path = StorePath();
    LONG error = ERROR_SUCCESS;
    std::optional<Store> store = ReadForChange(path, error);
    if (!store) return error;
    // Made again if the store lost it meanwhile: the value is not dropped.
    Key& target = MakeKey(*store, key->hive, key->path);
    Value value;
    value.type = dwType;
    if (cbData != 0) value.data.assign(lpData, lpData + cbData);
    const std::string name = lpValueName != nullptr ? lpValueName : "";
    auto existing = std::find_if(target.values.begin(), target.values.end(),
                                 [&](const auto& entry) { return SameName(entry.first, name); });
    if (existing != target.values.end()) {
      existing->second = std::move(value);
    } else {
      target.values.emplace_back(name, std::move(value));
    }
    return Save(path, *store);
  });
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  return qmsim::Guarded<LONG>(ERROR_OUTOFMEMORY, [&]() -> LONG {
    if (auto fault = Injected("RegDeleteValueA")) return *fault;
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto key = Resolve(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    const fs::path path = StorePath();
    Store store = ReadForLookup(path);
    if (store.unreadable) return ERROR_FILE_NOT_FOUND;
    Key* target = FindKey(store, key->hive, key->path);
    if (target == nullptr) return ERROR_FILE_NOT_FOUND;
    const std::string name = lpValueName != nullptr ? lpValueName : "";
    const auto before = target->values.size();
    std::erase_if(target->values, [&](const auto& entry) { return SameName(entry.first, name); });
    if (target->values.size() == before) return ERROR_FILE_NOT_FOUND;
    return Save(path, store);
  });
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  return qmsim::Guarded<LONG>(ERROR_OUTOFMEMORY, [&]() -> LONG {
    if (auto fault = Injected("RegCloseKey")) return *fault;
    if (HiveName(hKey) != nullptr) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_open.erase(reinterpret_cast<ULONG_PTR>(hKey)) != 0 ? ERROR_SUCCESS
                                                                : ERROR_INVALID_HANDLE;
  });
}

}  // extern "C"
