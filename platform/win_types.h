// Basic types, constants and error codes of the target platform, with the
// target's names, values and sizes. On the platform (_WIN32) they come from
// its own headers; on the host they are declared here once for every
// subsystem.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)

// The configuration the library is built with on the platform: wide-character
// names, and none of the desktop's GDI or spooler headers (the driver
// interface is the CE one, see platform/ce_declarations.h, and the spooler
// header would rename the service's ResetPrinter export).
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOGDI
#define NOGDI
#endif
#include <windows.h>

#define PLATFORM_API extern "C"
// The library's own entry points. The DLL's export list (cmake/kelo.def)
// names them: undecorated also where stdcall decorates them (_Name@16).
#define KELO_EXPORT extern "C"

static_assert(sizeof(WCHAR) == 2, "the platform's wide characters are UTF-16 code units");

#else  // the host

#if defined(KELO_PLATFORM_BUILD)
#define PLATFORM_API extern "C" __attribute__((visibility("default")))
#else
#define PLATFORM_API extern "C"
#endif
// The library's own entry points: the only names its shared object exports.
#define KELO_EXPORT extern "C" __attribute__((visibility("default")))

// The target is 32-bit x86 with __stdcall; on the host the default calling
// convention is the only one, so these are empty.
#define WINAPI
#define APIENTRY
#define CALLBACK

// 32-bit integers are fixed width: unsigned long is 64-bit on Linux.
typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef int32_t INT;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef uint32_t FLONG;
typedef uint32_t REGSAM;
typedef uint32_t LCID;
typedef int32_t HRESULT;
typedef char16_t WCHAR;  // UTF-16 code unit, as on the target (wchar_t is 32-bit here)
// A wide-character literal: L"" on the platform, u"" here.
#define TEXT(quote) u##quote
typedef char CHAR;

// Pointer-sized on a 64-bit host.
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;

typedef void* HANDLE;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BOOL* LPBOOL;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef ULONG* PULONG;
typedef LONG* PLONG;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;
typedef HANDLE HINSTANCE;
typedef HANDLE HMODULE;
typedef HANDLE HWND;

struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;

#define TRUE 1
#define FALSE 0

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
#define MAXDWORD 0xFFFFFFFFu
#define INFINITE 0xFFFFFFFFu

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

struct OVERLAPPED;  // the target has no overlapped I/O; always null
typedef OVERLAPPED* LPOVERLAPPED;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
typedef FILETIME* PFILETIME;

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;  // 1..12
  WORD wDayOfWeek;  // 0 = Sunday
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
typedef SYSTEMTIME* LPSYSTEMTIME;

struct POINT {
  LONG x;
  LONG y;
};

// Win32 error codes used by this system.
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_READY 21L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_OUT_OF_PAPER 28L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_DEV_NOT_EXIST 55L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_NO_DATA 232L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_SERIAL_NO_DEVICE 1118L
#define ERROR_DEVICE_IN_USE 2404L
#define ERROR_GRACEFUL_DISCONNECT 1226L
#define ERROR_INVALID_THREAD_ID 1444L
#define ERROR_TIMEOUT 1460L
#define ERROR_UNKNOWN_PORT 1796L

#define S_OK 0
#define E_FAIL static_cast<HRESULT>(0x80004005u)
#define E_INVALIDARG static_cast<HRESULT>(0x80070057u)
#define E_ACCESSDENIED static_cast<HRESULT>(0x80070005u)
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

#endif  // _WIN32

// The layouts the platform and the host share.
static_assert(sizeof(SYSTEMTIME) == 16);
static_assert(offsetof(SYSTEMTIME, wMonth) == 2);
static_assert(offsetof(SYSTEMTIME, wDayOfWeek) == 4);
static_assert(offsetof(SYSTEMTIME, wDay) == 6);
static_assert(offsetof(SYSTEMTIME, wHour) == 8);
static_assert(offsetof(SYSTEMTIME, wMinute) == 10);
static_assert(offsetof(SYSTEMTIME, wSecond) == 12);
static_assert(offsetof(SYSTEMTIME, wMilliseconds) == 14);
static_assert(sizeof(POINT) == 8);
static_assert(offsetof(POINT, y) == 4);
