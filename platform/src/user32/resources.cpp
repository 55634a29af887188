// kernel32's modules and resources: each module's compiled .res data, as the
// build attached it (qmresource.h), searched like a PE resource section.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <string>

#include "native.h"
#include "qmresource.h"
#include "sim_state.h"

namespace {

// An ordinal, or a name kept upper-cased for comparison.
struct ResourceId {
  bool isOrdinal = true;
  WORD ordinal = 0;
  std::string name;

  bool operator==(const ResourceId& other) const {
    return isOrdinal == other.isOrdinal &&
           (isOrdinal ? ordinal == other.ordinal : name == other.name);
  }
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

ResourceId IdFromArgument(LPCSTR id) {
  ResourceId result;
  if (IS_INTRESOURCE(id)) {
    result.ordinal = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(id));
    return result;
  }
  if (id[0] == '#') {
    result.ordinal = static_cast<WORD>(std::strtoul(id + 1, nullptr, 10));
    return result;
  }
  result.isOrdinal = false;
  result.name = Upper(id);
  return result;
}

struct Resource {
  HMODULE module;
  const void* owner;  // the attached block this entry lies in
  ResourceId type;
  ResourceId name;
  WORD language;
  const BYTE* data;
  DWORD size;
};

std::mutex g_mutex;
// A list, so that an HRSRC (the entry's address) stays valid.
std::list<Resource> g_resources;

// Reads a name or ordinal of a .res header: 0xFFFF and a WORD, or a
// NUL-terminated UTF-16 text (kept when ASCII).
bool ReadId(const BYTE* data, std::size_t end, std::size_t& at, ResourceId& id) {
  auto word = [&](WORD& out) {
    if (at + 2 > end) return false;
    out = static_cast<WORD>(data[at] | (data[at + 1] << 8));
    at += 2;
    return true;
  };
  WORD first = 0;
  if (!word(first)) return false;
  if (first == 0xFFFF) {
    id.isOrdinal = true;
    return word(id.ordinal);
  }
  id.isOrdinal = false;
  id.name.clear();
  for (WORD c = first; c != 0;) {
    id.name += static_cast<char>(c < 0x80 ? c : '?');
    if (!word(c)) return false;
  }
  id.name = Upper(id.name);
  return true;
}

DWORD ReadDword(const BYTE* p) {
  return static_cast<DWORD>(p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24));
}

}  // namespace

extern "C" {

int qm_attach_resources(const void* anchor, const void* data, size_t size) {
  return qmsim::Guarded(0, [&] {
    const HMODULE module = qmsim::native::ModuleOf(anchor);
    const auto* bytes = static_cast<const BYTE*>(data);
    std::list<Resource> parsed;
    // Each entry: data size, header size, type, name, then version, flags,
    // language and characteristics; data and entries DWORD-aligned.
    std::size_t at = 0;
    bool ok = module != nullptr;
    while (ok && at + 8 <= size) {
      const DWORD dataSize = ReadDword(bytes + at);
      const DWORD headerSize = ReadDword(bytes + at + 4);
      const std::size_t headerEnd = at + headerSize;
      if (headerSize < 8 || headerEnd > size || dataSize > size - headerEnd) {
        ok = false;
        break;
      }
      std::size_t field = at + 8;
      Resource resource{module, data, {}, {}, 0, bytes + headerEnd, dataSize};
      ok = ReadId(bytes, headerEnd, field, resource.type) &&
           ReadId(bytes, headerEnd, field, resource.name);
      field = (field + 3) & ~std::size_t{3};
      if (ok && field + 16 <= headerEnd) {
        resource.language = static_cast<WORD>(bytes[field + 6] | (bytes[field + 7] << 8));
      }
      // The leading empty entry of every .res file has type 0.
      if (ok && !(resource.type.isOrdinal && resource.type.ordinal == 0)) {
        parsed.push_back(resource);
      }
      at = (headerEnd + dataSize + 3) & ~std::size_t{3};
    }
    if (!ok) {
      OutputDebugStringA("Resources attached to a module could not be read; ignored\n");
      return 0;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    g_resources.splice(g_resources.end(), parsed);
    return 1;
  });
}

void qm_detach_resources(const void* data) {
  qmsim::Guarded([&] {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_resources.remove_if([&](const Resource& r) { return r.owner == data; });
  });
}

HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType) {
  return qmsim::Guarded<HRSRC>(nullptr, [&]() -> HRSRC {
    if (auto fault = qmsim::EnterCall("FindResourceA")) {
      SetLastError(*fault);
      return nullptr;
    }
    if (lpName == nullptr || lpType == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    const HMODULE module = hModule != nullptr ? hModule : qmsim::native::Executable();
    const ResourceId name = IdFromArgument(lpName);
    const ResourceId type = IdFromArgument(lpType);
    std::lock_guard<std::mutex> lock(g_mutex);
    bool typeFound = false;
    for (const Resource& resource : g_resources) {
      if (resource.module != module || !(resource.type == type)) continue;
      typeFound = true;
      if (resource.name == name) return reinterpret_cast<HRSRC>(const_cast<Resource*>(&resource));
    }
    SetLastError(typeFound ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  });
}

HGLOBAL WINAPI LoadResource(HMODULE, HRSRC hResInfo) {
  if (hResInfo == nullptr) return nullptr;
  return const_cast<BYTE*>(reinterpret_cast<const Resource*>(hResInfo)->data);
}

LPVOID WINAPI LockResource(HGLOBAL hResData) { return hResData; }

DWORD WINAPI SizeofResource(HMODULE, HRSRC hResInfo) {
  if (hResInfo == nullptr) return 0;
  return reinterpret_cast<const Resource*>(hResInfo)->size;
}

}  // extern "C"
