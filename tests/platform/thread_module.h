// What the tests hand to thread_module's worker.
#ifndef QUILLMOTE_TESTS_PLATFORM_THREAD_MODULE_H
#define QUILLMOTE_TESTS_PLATFORM_THREAD_MODULE_H

#include <windows.h>

struct ModuleWorkerJob {
  HANDLE referenced;  // set once the worker holds its module
  HANDLE go;          // the worker ends when this is set
  DWORD exit_code;
};

// The worker's thread, started with CreateThread.
typedef HANDLE (*StartModuleWorkerFn)(ModuleWorkerJob* job);

#endif
