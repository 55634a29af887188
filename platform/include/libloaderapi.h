/*
 * Modules and their resources (kernel32). A module is the executable or a
 * shared library, named by its load address. Its resources are the compiled
 * .res files that the build attaches to it (qmresource.h), so that
 * FindResourceA finds in a module what the Windows build's linker would
 * have put there.
 *
 * A library's reference count is the dynamic loader's own (dlopen and
 * dlclose), so that the references these functions take and give back and
 * those of a plain dlopen add up as on Windows. The executable is never
 * unloaded: counting or freeing it changes nothing.
 */
#ifndef QUILLMOTE_PLATFORM_LIBLOADERAPI_H
#define QUILLMOTE_PLATFORM_LIBLOADERAPI_H

#include <windows.h>

DECLARE_HANDLE(HRSRC);
typedef HANDLE HGLOBAL;

#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEA
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#define RT_DIALOG MAKEINTRESOURCEA(5)
#define RT_STRING MAKEINTRESOURCEA(6)
#define RT_VERSION MAKEINTRESOURCEA(16)

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L

#ifdef __cplusplus
extern "C" {
#endif

/* Only GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS (the module holding that
   address) and a null name (the executable) are supported. With
   FROM_ADDRESS and without GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT the
   call takes a reference on the module, as on Windows: a library stays
   loaded until FreeLibrary gives it back, however often others dlclose it.
   GET_MODULE_HANDLE_EX_FLAG_PIN keeps it loaded for good. */
WINBASEAPI BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule);
/* dlopen: a path, or a name the dynamic loader searches for. NULL with
   ERROR_MOD_NOT_FOUND when it can't be loaded. */
WINBASEAPI HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
/* Gives one reference back (dlclose); the library is unloaded with its
   last. FALSE with ERROR_INVALID_HANDLE for an address that is no loaded
   module's, or a library nobody holds a reference on. */
WINBASEAPI BOOL WINAPI FreeLibrary(HMODULE hLibModule);
/* Gives one reference back and ends the calling thread with dwExitCode, so
   that a thread may end the last reference on the library its own code is
   in. On a thread that CreateThread started, the thread first goes back to
   the platform's own thread start, leaving every frame of the routine
   behind without unwinding it (no destructor runs, as on Windows); there
   the module is freed, and the thread ends: its object is signalled and
   GetExitCodeThread gives dwExitCode. On any other thread the module is
   freed in place and the thread ends with pthread_exit, which unwinds the
   caller's frames: none of them may then lie in the module being freed. */
WINBASEAPI void WINAPI FreeLibraryAndExitThread(HMODULE hLibModule, DWORD dwExitCode)
    __attribute__((noreturn));
/* Names and types are ordinals (MAKEINTRESOURCEA) or texts, compared without
   regard to case, or "#123" for ordinal 123. A null module is the
   executable. */
WINBASEAPI HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType);
WINBASEAPI HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
WINBASEAPI LPVOID WINAPI LockResource(HGLOBAL hResData);
WINBASEAPI DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);

#ifdef __cplusplus
}
#endif

#define LoadLibrary LoadLibraryA

#endif
