/*
 * The registry functions of advapi32 that the plug-in uses, with the
 * system's names, types and values.
 *
 * Behind them stands a per-user store file, $XDG_CONFIG_HOME/quillmote/
 * registry.json (~/.config/quillmote/registry.json when XDG_CONFIG_HOME is
 * unset or not absolute), which keeps every key under its hive by its full
 * path, and every value with its type and data. How the store behaves where
 * Windows leaves room:
 *  - Each call reads the file afresh, and each change replaces it whole and
 *    atomically (a temporary file renamed over it), so that a store is never
 *    seen half written.
 *  - A store file that cannot be read or parsed counts as holding no keys,
 *    and each read says so on the debugger output. The first change made
 *    over it keeps it aside as registry.json.unreadable-<n> before a new
 *    store is begun, and says so too: nothing a user had is thrown away.
 *  - Key and value names compare without regard to letter case, as on
 *    Windows; they are stored as first given.
 *  - RegQueryValueExA with a buffer too small for the data returns
 *    ERROR_MORE_DATA with the size needed, and leaves the first bytes of the
 *    data in the buffer: Windows says the buffer's contents are undefined
 *    then, so callers must not use them.
 *  - Faults are injected by function name like the rest (simctl.h sim_fail):
 *    the function returns the given result code and does nothing else.
 */
#ifndef QUILLMOTE_PLATFORM_WINREG_H
#define QUILLMOTE_PLATFORM_WINREG_H

#include <windows.h>

DECLARE_HANDLE(HKEY);
typedef HKEY* PHKEY;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_DISK_FULL 112L
#define ERROR_KEY_DELETED 1018L

#ifdef __cplusplus
extern "C" {
#endif

WINADVAPI LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
WINADVAPI LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                    PHKEY phkResult);
WINADVAPI LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                                      DWORD dwOptions, REGSAM samDesired,
                                      LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                      LPDWORD lpdwDisposition);
WINADVAPI LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                       LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
WINADVAPI LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                     const BYTE* lpData, DWORD cbData);
WINADVAPI LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
WINADVAPI LONG WINAPI RegCloseKey(HKEY hKey);

#ifdef __cplusplus
}
#endif

#endif
