// The device manager of the target platform: loads stream-device drivers
// from their registry key and publishes their legacy names ("KLP1:").
#pragma once

#include "platform/win_types.h"

// Stream-device entry points, resolved by name as Prefix_Init ... The
// contexts are 32-bit on the target.
typedef DWORD (*PFN_DEVICE_INIT)(LPCWSTR activeKey, LPCVOID busContext);  // 0 = failure
typedef BOOL (*PFN_DEVICE_DEINIT)(DWORD deviceContext);
typedef DWORD (*PFN_DEVICE_OPEN)(DWORD deviceContext, DWORD access, DWORD share);  // 0 = failure
typedef BOOL (*PFN_DEVICE_CLOSE)(DWORD openContext);
typedef BOOL (*PFN_DEVICE_IOCONTROL)(DWORD openContext, DWORD code, PBYTE in, DWORD inLen,
                                     PBYTE out, DWORD outLen, PDWORD actualOut);
typedef DWORD (*PFN_DEVICE_READ)(DWORD openContext, LPVOID buffer, DWORD count);
typedef DWORD (*PFN_DEVICE_WRITE)(DWORD openContext, LPCVOID buffer, DWORD count);

// Reads the key's "Dll", "Prefix" and "Index", loads the library, calls
// Prefix_Init with the key path and publishes "PrefixIndex:". Returns the
// device handle, or null with the last error set.
PLATFORM_API HANDLE WINAPI ActivateDevice(LPCWSTR registryPath, DWORD context);
PLATFORM_API HANDLE WINAPI ActivateDeviceEx(LPCWSTR registryPath, LPCVOID registryEnts,
                                            DWORD count, LPVOID context);
// Unpublishes the name and calls Prefix_Deinit.
PLATFORM_API BOOL WINAPI DeactivateDevice(HANDLE device);

// Access to a buffer that lies in a caller's memory.
#define ARG_I_WSTR 5u
PLATFORM_API HRESULT WINAPI CeOpenCallerBuffer(PVOID* destination, PVOID source, DWORD size,
                                               DWORD descriptor, BOOL forceDuplicate);
PLATFORM_API HRESULT WINAPI CeCloseCallerBuffer(PVOID destination, PVOID source, DWORD size,
                                                DWORD descriptor);
