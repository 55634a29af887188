// Windows: the MIDI functions come from the system directory's winmm.dll,
// loaded at run time. The plug-in's code calls each winmm function through
// the import pointer the compiler names "__imp__NAME@BYTES"; this file
// defines those pointers itself, so the linker takes no import of winmm.dll
// and the loader never looks for one beside the program. LoadWinmm fills
// them before anything calls through them.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "tools/check/winmm_loader.h"

// Each pointer under the symbol name of the import it stands for.
#define QM_WINMM_IMPORT(name, bytes)                                    \
  extern "C" FARPROC qm_imp_##name __asm__("__imp__" #name "@" #bytes); \
  FARPROC qm_imp_##name = nullptr;

QM_WINMM_IMPORT(midiInAddBuffer, 12)
QM_WINMM_IMPORT(midiInClose, 4)
QM_WINMM_IMPORT(midiInGetDevCapsA, 12)
QM_WINMM_IMPORT(midiInGetErrorTextA, 12)
QM_WINMM_IMPORT(midiInGetNumDevs, 0)
QM_WINMM_IMPORT(midiInOpen, 20)
QM_WINMM_IMPORT(midiInPrepareHeader, 12)
QM_WINMM_IMPORT(midiInReset, 4)
QM_WINMM_IMPORT(midiInStart, 4)
QM_WINMM_IMPORT(midiInStop, 4)
QM_WINMM_IMPORT(midiInUnprepareHeader, 12)
QM_WINMM_IMPORT(midiOutClose, 4)
QM_WINMM_IMPORT(midiOutGetDevCapsA, 12)
QM_WINMM_IMPORT(midiOutGetErrorTextA, 12)
QM_WINMM_IMPORT(midiOutGetNumDevs, 0)
QM_WINMM_IMPORT(midiOutLongMsg, 12)
QM_WINMM_IMPORT(midiOutOpen, 20)
QM_WINMM_IMPORT(midiOutPrepareHeader, 12)
QM_WINMM_IMPORT(midiOutReset, 4)
QM_WINMM_IMPORT(midiOutShortMsg, 8)
QM_WINMM_IMPORT(midiOutUnprepareHeader, 12)

namespace qmcheck {
namespace {

struct Import {
  const char* name;
  FARPROC* slot;
};

#define QM_WINMM_SLOT(name) \
  { #name, &qm_imp_##name }
const Import kImports[] = {
    QM_WINMM_SLOT(midiInAddBuffer),
    QM_WINMM_SLOT(midiInClose),
    QM_WINMM_SLOT(midiInGetDevCapsA),
    QM_WINMM_SLOT(midiInGetErrorTextA),
    QM_WINMM_SLOT(midiInGetNumDevs),
    QM_WINMM_SLOT(midiInOpen),
    QM_WINMM_SLOT(midiInPrepareHeader),
    QM_WINMM_SLOT(midiInReset),
    QM_WINMM_SLOT(midiInStart),
    QM_WINMM_SLOT(midiInStop),
    QM_WINMM_SLOT(midiInUnprepareHeader),
    QM_WINMM_SLOT(midiOutClose),
    QM_WINMM_SLOT(midiOutGetDevCapsA),
    QM_WINMM_SLOT(midiOutGetErrorTextA),
    QM_WINMM_SLOT(midiOutGetNumDevs),
    QM_WINMM_SLOT(midiOutLongMsg),
    QM_WINMM_SLOT(midiOutOpen),
    QM_WINMM_SLOT(midiOutPrepareHeader),
    QM_WINMM_SLOT(midiOutReset),
    QM_WINMM_SLOT(midiOutShortMsg),
    QM_WINMM_SLOT(midiOutUnprepareHeader),
};

constexpr char kTestHook[] = "QUILLMOTE_CHECK_WINMM";

std::string SystemError(const char* what, DWORD code) {
  return std::string(what) + " (Windows error " + std::to_string(code) + ")";
}

bool IsFullPath(const char* path) {
  const bool drive = std::strlen(path) > 2 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  const bool share = path[0] == '\\' && path[1] == '\\';
  return drive || share;
}

}  // namespace

WinmmSource LoadWinmm(std::string& error) {
  // From here on, no DLL the process loads by name comes from the program's
  // folder or the current one. Windows before 8 without its 2011 loader update
  // lacks the call; the full system path below still holds there.
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const auto setDirectories = reinterpret_cast<SetDirectories>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (setDirectories != nullptr) setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

  WinmmSource source = WinmmSource::kSystem;
  HMODULE winmm = nullptr;
  const char* hook = std::getenv(kTestHook);
  if (hook != nullptr && hook[0] != 0) {
    if (!IsFullPath(hook)) {
      error = std::string(kTestHook) + " must name winmm.dll by its full path, not '" + hook + "'";
      return WinmmSource::kFailed;
    }
    source = WinmmSource::kTestHook;
    winmm = LoadLibraryExA(hook, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  } else {
    char path[MAX_PATH];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + std::strlen("\\winmm.dll") >= MAX_PATH) {
      error = SystemError("the system directory could not be found", GetLastError());
      return WinmmSource::kFailed;
    }
    std::strcat(path, "\\winmm.dll");
    winmm =
        LoadLibraryExA(path, nullptr, setDirectories != nullptr ? LOAD_LIBRARY_SEARCH_SYSTEM32 : 0);
  }
  if (winmm == nullptr) {
    error = SystemError("Windows' MIDI system (winmm.dll) could not be loaded", GetLastError());
    return WinmmSource::kFailed;
  }
  for (const Import& import : kImports) {
    *import.slot = GetProcAddress(winmm, import.name);
    if (*import.slot == nullptr) {
      error = std::string("Windows' MIDI system (winmm.dll) lacks ") + import.name;
      return WinmmSource::kFailed;
    }
  }
  return source;
}

}  // namespace qmcheck
