// The device manager of the target platform: loads stream-device drivers
// from their registry key and publishes their legacy names ("KLP1:").
#pragma once

#include "platform/ce_declarations.h"
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
