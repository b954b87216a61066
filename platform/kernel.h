// Core-library operations of the target platform: last error, debug output,
// files and devices, time and strings. Declared with the target's names,
// values and C linkage; platform/host/ implements them on Linux.
#pragma once

#include "platform/win_types.h"

#if !defined(_WIN32)

// ---- last error (one value per thread) ----
PLATFORM_API DWORD WINAPI GetLastError(void);
PLATFORM_API void WINAPI SetLastError(DWORD error);

// ---- debug output: one UTF-16 line, written to stderr as UTF-8 ----
PLATFORM_API void WINAPI OutputDebugStringW(LPCWSTR text);

// ---- files and devices ----
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

// Names ending in a colon ("KLP1:", "COM1:", "LPT1:") are devices; any other
// name is a file of the host. A device that does not exist fails with
// ERROR_FILE_NOT_FOUND.
PLATFORM_API HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                       LPSECURITY_ATTRIBUTES security, DWORD creation,
                                       DWORD flags, HANDLE templateFile);
PLATFORM_API BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                                  LPOVERLAPPED overlapped);
PLATFORM_API BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                                   LPOVERLAPPED overlapped);
PLATFORM_API BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inLen,
                                         LPVOID out, DWORD outLen, LPDWORD returned,
                                         LPOVERLAPPED overlapped);
// Waits until a device has sent what it buffers (a serial line's transmit
// queue). FALSE with ERROR_TIMEOUT when the bytes stopped leaving; they stay
// queued. Handles without such a buffer succeed at once.
PLATFORM_API BOOL WINAPI FlushFileBuffers(HANDLE file);
// Closes any handle of the handle table: file, device, event or thread.
// Closing a serial line sends what it still queues while the line takes it;
// bytes it had to discard make the close fail with ERROR_TIMEOUT.
PLATFORM_API BOOL WINAPI CloseHandle(HANDLE handle);

// ---- time ----
// Milliseconds since start, wrapping at 2^32: compare differences only.
PLATFORM_API DWORD WINAPI GetTickCount(void);
PLATFORM_API void WINAPI Sleep(DWORD milliseconds);
PLATFORM_API void WINAPI GetLocalTime(LPSYSTEMTIME time);
PLATFORM_API void WINAPI GetSystemTime(LPSYSTEMTIME time);

// ---- strings ----
#define LOCALE_USER_DEFAULT 0x0400u
#define LOCALE_SYSTEM_DEFAULT 0x0800u
#define NORM_IGNORECASE 0x00000001u
#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3

// count -1: the string is NUL-terminated. Returns CSTR_* or 0 on error
// (last error ERROR_INVALID_PARAMETER).
PLATFORM_API int WINAPI CompareStringW(LCID locale, DWORD flags, LPCWSTR a, int countA,
                                       LPCWSTR b, int countB);

#endif  // !_WIN32
