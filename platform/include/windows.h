/*
 * The part of the Win32 API that the plug-in uses, for building it on Linux
 * over libqmplatform. Names, types and values are those of 32-bit Windows
 * wherever a value can be observed; the calling-convention macros expand to
 * nothing because the library and its callers are built by one compiler.
 *
 * As on Windows, this header brings in <mmsystem.h> unless
 * WIN32_LEAN_AND_MEAN is defined. The Windows build defines it, so code that
 * uses the MIDI functions includes <mmsystem.h> itself.
 */
#ifndef QUILLMOTE_PLATFORM_WINDOWS_H
#define QUILLMOTE_PLATFORM_WINDOWS_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

/* ---- Calling conventions and linkage ------------------------------------- */

#define WINAPI
#define WINAPIV
#define APIENTRY
#define CALLBACK
#ifndef __cdecl
#define __cdecl
#endif
#ifndef __stdcall
#define __stdcall
#endif

/* Functions of the platform library are the only symbols it exports. */
#define QM_PLATFORM_API __attribute__((visibility("default")))
#define WINBASEAPI QM_PLATFORM_API
#define WINUSERAPI QM_PLATFORM_API
#define WINADVAPI QM_PLATFORM_API
#define WINMMAPI QM_PLATFORM_API

/* ---- Basic types ---------------------------------------------------------- */

#define VOID void
#define CONST const

typedef char CHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef int INT;
typedef unsigned int UINT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int BOOL;
typedef BYTE BOOLEAN;

typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef ULONG_PTR SIZE_T;

typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef BYTE* LPBYTE;
typedef WORD* LPWORD;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef LONG* LPLONG;
typedef BOOL* LPBOOL;

typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;

typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;

/* Each handle type is a pointer to its own empty struct, so that the compiler
   keeps the kinds of handle apart. */
#define DECLARE_HANDLE(name) \
  struct name##__ {          \
    int unused;              \
  };                         \
  typedef struct name##__* name

DECLARE_HANDLE(HWND);
DECLARE_HANDLE(HINSTANCE);
typedef HINSTANCE HMODULE;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define LOBYTE(w) ((BYTE)(((DWORD_PTR)(w)) & 0xff))
#define HIBYTE(w) ((BYTE)((((DWORD_PTR)(w)) >> 8) & 0xff))
#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKEWORD(a, b) ((WORD)(((BYTE)(a)) | (((WORD)((BYTE)(b))) << 8)))
#define MAKELONG(a, b) ((LONG)(((WORD)(a)) | (((DWORD)((WORD)(b))) << 16)))

#define ZeroMemory(dest, length) memset((dest), 0, (length))
#define FillMemory(dest, length, fill) memset((dest), (fill), (length))
#define CopyMemory(dest, source, length) memcpy((dest), (source), (length))
#define MoveMemory(dest, source, length) memmove((dest), (source), (length))

/* ---- Error codes (GetLastError) ------------------------------------------ */

#define ERROR_SUCCESS 0
#define NO_ERROR 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_OUTOFMEMORY 14
#define ERROR_NOT_SUPPORTED 50
#define ERROR_INVALID_PARAMETER 87
#define ERROR_MORE_DATA 234
#define ERROR_NO_MORE_ITEMS 259

/* ---- kernel32: synchronisation and threads ------------------------------- */

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

/* A critical section that callers embed by value. On this platform
   InitializeCriticalSection allocates a recursive mutex and keeps it in
   LockSemaphore; the other members are kept for layout and stay zero. */
typedef struct _RTL_CRITICAL_SECTION {
  PVOID DebugInfo;
  LONG LockCount;
  LONG RecursionCount;
  HANDLE OwningThread;
  HANDLE LockSemaphore;
  ULONG_PTR SpinCount;
} RTL_CRITICAL_SECTION, CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000
#define WAIT_ABANDONED 0x00000080
#define WAIT_TIMEOUT 0x00000102
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#define MAXIMUM_WAIT_OBJECTS 64
#define STILL_ACTIVE 0x00000103
#define CREATE_SUSPENDED 0x00000004
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2

#ifdef __cplusplus
extern "C" {
#endif

/* Events: auto-reset (one waiter released per signal) or manual-reset. The
   name is ignored: every event is private to its creator. */
WINBASEAPI HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCSTR lpName);
WINBASEAPI BOOL WINAPI SetEvent(HANDLE hEvent);
WINBASEAPI BOOL WINAPI ResetEvent(HANDLE hEvent);

/* Waits for an event or a thread. A thread handle is signalled once the thread
   has ended and stays waitable until CloseHandle, however long ago it ended. */
WINBASEAPI DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

/* Closing the handle of a running thread lets it run on, detached. */
WINBASEAPI BOOL WINAPI CloseHandle(HANDLE hObject);

WINBASEAPI HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                      LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                      DWORD dwCreationFlags, LPDWORD lpThreadId);
WINBASEAPI DWORD WINAPI ResumeThread(HANDLE hThread);
WINBASEAPI BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
/* Accepted and remembered nowhere: every thread runs at the system's default. */
WINBASEAPI BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority);
WINBASEAPI DWORD WINAPI GetCurrentThreadId(void);

WINBASEAPI DWORD WINAPI GetLastError(void);
WINBASEAPI void WINAPI SetLastError(DWORD dwErrCode);

WINBASEAPI void WINAPI Sleep(DWORD dwMilliseconds);
WINBASEAPI DWORD WINAPI GetTickCount(void);

/* Recursive, as on Windows: the owner may enter again and leaves as often. */
WINBASEAPI void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINBASEAPI void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINBASEAPI BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINBASEAPI void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINBASEAPI void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

/* Each call is one entry of the simulated debugger (see simctl.h); with the
   environment variable QUILLMOTE_DEBUG_STDERR set it is also written to
   standard error. */
WINBASEAPI void WINAPI OutputDebugStringA(LPCSTR lpOutputString);

/* ---- user32: formatting --------------------------------------------------- */

/* The Windows subset: %s %c %d %i %u %x %X with the l and h size prefixes
   (l is 32 bits, as on Windows), the flags '-', '0' and '#', width and
   precision, and %%. No floating point. The output is cut at 1024 bytes
   including the terminating NUL; the result is the length written. */
WINUSERAPI int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...);
WINUSERAPI int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist);

/* ---- Reserved: registry (advapi32) ---------------------------------------
   HKEY, HKEY_CURRENT_USER, REGSAM and the Reg* functions go here. Their
   faults are injected by function name like the rest (sim_fail). */

/* ---- Reserved: dialogs and windows (user32) ------------------------------
   The dialog engine's messages, DialogBoxParamA, SendDlgItemMessageA,
   EndDialog and the combo-box constants go here. */

#ifdef __cplusplus
}
#endif

#define CreateEvent CreateEventA
#define OutputDebugString OutputDebugStringA
#define wsprintf wsprintfA
#define wvsprintf wvsprintfA

#include <winreg.h>
#include <winuser.h>

#ifndef WIN32_LEAN_AND_MEAN
#include <mmsystem.h>
#endif

#endif
