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
#include "store.h"

namespace {

using namespace qmsim::registry;

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
