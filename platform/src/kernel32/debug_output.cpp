// The debugger output, collected for the tests (and echoed on standard error
// when QUILLMOTE_DEBUG_STDERR is set), and the native build's check of code
// that is still loaded.
#include <windows.h>

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "sim_state.h"

extern "C" {

// ---- Debugger output ----

void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
  qmsim::Guarded([&] {
    qmsim::EnterCall("OutputDebugStringA");
    if (lpOutputString == nullptr) return;
    qmsim::AddDebugLine(lpOutputString);
    if (std::getenv("QUILLMOTE_DEBUG_STDERR") != nullptr) {
      std::fputs(lpOutputString, stderr);
      std::fflush(stderr);
    }
  });
}

}  // extern "C"

// The native build's half of the simulated system's checks.
bool qmsim::CodeIsLoaded(std::uintptr_t address) {
  Dl_info info{};
  return dladdr(reinterpret_cast<void*>(address), &info) != 0;
}
