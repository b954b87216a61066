// Registry of the target platform: one in-memory HKEY_LOCAL_MACHINE tree.
// Functions return an error code (ERROR_SUCCESS on success), as on the target.
#pragma once

#include "platform/win_types.h"

#if !defined(_WIN32)

#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000002))))

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_READ 0x20019u
#define KEY_ALL_ACCESS 0xF003Fu

PLATFORM_API LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                                       PHKEY result);
// data null: only the size is returned in *dataSize. A short buffer returns
// ERROR_MORE_DATA with the size needed; a missing value ERROR_FILE_NOT_FOUND.
PLATFORM_API LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved,
                                          LPDWORD type, LPBYTE data, LPDWORD dataSize);
// nameLength in characters without the terminator (in: buffer size including
// it); ERROR_NO_MORE_ITEMS past the last subkey.
PLATFORM_API LONG WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength,
                                       LPDWORD reserved, LPWSTR className, LPDWORD classLength,
                                       PFILETIME lastWrite);
// Deletes the key together with its subkeys, as the target does.
PLATFORM_API LONG WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey);
PLATFORM_API LONG WINAPI RegCloseKey(HKEY key);
PLATFORM_API LONG WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved,
                                         LPWSTR className, DWORD options, REGSAM access,
                                         LPSECURITY_ATTRIBUTES security, PHKEY result,
                                         LPDWORD disposition);
PLATFORM_API LONG WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                                        const BYTE* data, DWORD dataSize);
PLATFORM_API LONG WINAPI RegDeleteValueW(HKEY key, LPCWSTR valueName);

#endif  // !_WIN32
