/*
 * Modules and their resources (kernel32). A module is the executable or a
 * shared library, named by its load address. Its resources are the compiled
 * .res files that the build attaches to it (qmresource.h), so that
 * FindResourceA finds in a module what the Windows build's linker would
 * have put there.
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

/* Only GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS and a null name (the
   executable) are supported; the reference count is never changed. */
WINBASEAPI BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule);
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

#endif
