// A module that starts a thread of its own which holds the module loaded
// and ends through FreeLibraryAndExitThread: the last reference on the
// module is given back by code inside it. Kept free of C++ statics so that
// the loader can unload it.
#include <windows.h>

#include "thread_module.h"

namespace {

DWORD WINAPI Worker(LPVOID parameter) {
  auto* job = static_cast<ModuleWorkerJob*>(parameter);
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&Worker),
                          &self)) {
    return 1;
  }
  const DWORD code = job->exit_code;
  SetEvent(job->referenced);
  WaitForSingleObject(job->go, INFINITE);
  FreeLibraryAndExitThread(self, code);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HANDLE StartModuleWorker(ModuleWorkerJob* job) {
  return CreateThread(nullptr, 0, &Worker, job, 0, nullptr);
}
