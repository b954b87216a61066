// What the target takes from Windows CE that the desktop's headers lack:
// event control by function code, the device manager and caller buffers.
// The host implements them in platform/host/; a desktop build of the library
// links small stand-ins (platform/desktop/).
#pragma once

#include "platform/win_types.h"

// ---- events ----
#define EVENT_PULSE 1u
#define EVENT_RESET 2u
#define EVENT_SET 3u
PLATFORM_API BOOL WINAPI EventModify(HANDLE event, DWORD function);

// ---- the device manager ----
// Reads the key's "Dll", "Prefix" and "Index", loads the library, calls
// Prefix_Init with the key path and publishes "PrefixIndex:". Returns the
// device handle, or null with the last error set.
PLATFORM_API HANDLE WINAPI ActivateDevice(LPCWSTR registryPath, DWORD context);
PLATFORM_API HANDLE WINAPI ActivateDeviceEx(LPCWSTR registryPath, LPCVOID registryEnts,
                                            DWORD count, LPVOID context);
// Unpublishes the name and calls Prefix_Deinit.
PLATFORM_API BOOL WINAPI DeactivateDevice(HANDLE device);

// ---- access to a buffer that lies in a caller's memory ----
#define ARG_I_WSTR 5u
PLATFORM_API HRESULT WINAPI CeOpenCallerBuffer(PVOID* destination, PVOID source, DWORD size,
                                               DWORD descriptor, BOOL forceDuplicate);
PLATFORM_API HRESULT WINAPI CeCloseCallerBuffer(PVOID destination, PVOID source, DWORD size,
                                                DWORD descriptor);
