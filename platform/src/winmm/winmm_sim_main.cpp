// Windows only: the replacement MIDI DLL collects the process's debugger
// output, so that sim_debug_line reads the same lines as on Linux.
#include <windows.h>

#include "sim_state.h"

namespace {

// OutputDebugStringA raises this exception before it looks for a debugger;
// a vectored handler sees it first and lets it go on.
constexpr DWORD kDebugPrint = 0x40010006;

LONG CALLBACK CollectDebugString(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode == kDebugPrint && record->NumberParameters >= 2) {
    const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    if (text != nullptr) qmsim::Guarded([&] { qmsim::AddDebugLine(text); });
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

PVOID g_handler = nullptr;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_handler = AddVectoredExceptionHandler(1, &CollectDebugString);
  } else if (reason == DLL_PROCESS_DETACH && g_handler != nullptr) {
    RemoveVectoredExceptionHandler(g_handler);
  }
  return TRUE;
}

namespace qmsim {

bool CodeIsLoaded(std::uintptr_t address) {
  HMODULE module = nullptr;
  return GetModuleHandleExA(
             GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
             reinterpret_cast<LPCSTR>(address), &module) != FALSE;
}

}  // namespace qmsim
