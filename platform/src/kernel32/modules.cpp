// kernel32's modules over the dynamic loader: a module is named by its load
// address, and its reference count is the loader's own, so that references
// taken here and those of a plain dlopen add up as on Windows.
#include <windows.h>

#include <dlfcn.h>
#include <link.h>

#include <mutex>

#include "kernel32_parts.h"
#include "native.h"
#include "sim_state.h"

namespace {

using qmsim::kernel32::Fail;

// The loader's record of the module at this address and its file's name,
// or null. The record is only compared, never read: another thread's
// dlclose may free it at any moment once its own reference is gone, and
// the loader's lock that orders the two is one no race checker sees.
link_map* MapOf(const void* address, const char** name) {
  Dl_info info{};
  link_map* map = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) return nullptr;
  *name = info.dli_fname;
  return map;
}

// Taking and giving back references one at a time: two threads that leave
// a library together must not read its record while the other frees it,
// and the loader's own lock, which orders them, is one no race checker sees.
std::mutex& ReferencesLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

// The executable's record (dlopen's handle of the main program is its
// record); it is never unloaded.
bool IsExecutable(const link_map* map) {
  static void* const program = dlopen(nullptr, RTLD_NOW);
  return map == program;
}

int FirstModule(dl_phdr_info* info, size_t, void* result) {
  *static_cast<HMODULE*>(result) = reinterpret_cast<HMODULE>(info->dlpi_addr);
  return 1;
}

// One more reference on the library at `address` (none for the executable):
// dlopen of a library already loaded counts it once more.
bool Reference(const void* address, bool pin) {
  std::lock_guard<std::mutex> lock(ReferencesLock());
  const char* name = nullptr;
  link_map* map = MapOf(address, &name);
  if (map == nullptr) return false;
  if (IsExecutable(map)) return true;
  const int mode = RTLD_NOW | RTLD_NOLOAD | (pin ? RTLD_NODELETE : 0);
  return dlopen(name, mode) != nullptr;
}

}  // namespace

HMODULE qmsim::native::ModuleOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0) return nullptr;
  return static_cast<HMODULE>(info.dli_fbase);
}

HMODULE qmsim::native::Executable() {
  HMODULE module = nullptr;
  dl_iterate_phdr(&FirstModule, &module);
  return module;
}

BOOL qmsim::native::FreeModule(HMODULE module) {
  std::lock_guard<std::mutex> lock(ReferencesLock());
  const char* name = nullptr;
  link_map* map = module != nullptr ? MapOf(module, &name) : nullptr;
  if (map == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (IsExecutable(map)) return TRUE;
  // The handle that dlopen gives for the loaded library, taken and given
  // back, and then the reference being freed.
  void* handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
  dlclose(handle);
  // Fails for a library that only stands in another's dependencies: nobody
  // opened it, so nobody can give it back.
  if (dlclose(handle) != 0) return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

extern "C" {

BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule) {
  return qmsim::Guarded(FALSE, [&]() -> BOOL {
    if (auto fault = qmsim::EnterCall("GetModuleHandleExA")) {
      if (phModule != nullptr) *phModule = nullptr;
      SetLastError(*fault);
      return FALSE;
    }
    if (phModule == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    HMODULE module = nullptr;
    if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0) {
      module = qmsim::native::ModuleOf(lpModuleName);
      const bool counted = (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) == 0;
      if (module != nullptr && counted &&
          !Reference(lpModuleName, (dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) != 0)) {
        module = nullptr;
      }
    } else if (lpModuleName == nullptr) {
      module = qmsim::native::Executable();
    }
    *phModule = module;
    if (module == nullptr) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    return TRUE;
  });
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  return qmsim::Guarded<HMODULE>(nullptr, [&]() -> HMODULE {
    if (auto fault = qmsim::EnterCall("LoadLibraryA")) {
      Fail(*fault);
      return nullptr;
    }
    if (lpLibFileName == nullptr) {
      Fail(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    void* handle = dlopen(lpLibFileName, RTLD_NOW | RTLD_LOCAL);
    link_map* map = nullptr;
    if (handle == nullptr || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
      if (handle != nullptr) dlclose(handle);
      Fail(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    // Named by its load address, as the module of any address inside it is.
    return qmsim::native::ModuleOf(map->l_ld);
  });
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  return qmsim::Guarded(FALSE, [&]() -> BOOL {
    if (auto fault = qmsim::EnterCall("FreeLibrary")) return Fail(*fault);
    return qmsim::native::FreeModule(hLibModule);
  });
}

}  // extern "C"
