// Host-only extensions of the platform: the seams through which tests,
// tools and the emulator shape the world the subsystems see (devices
// registered in-process, registry content, the tick count, captured debug
// output). Subsystem code never includes this header.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

#define KELO_HOST_API __attribute__((visibility("default")))

namespace kelo::host {

// ---- in-process devices ----
// A device in the namespace. Every open handle gets its own open context
// (returned by Open, non-zero). Operations a device does not support fail
// with ERROR_NOT_SUPPORTED. Calls may come from several threads at once; a
// device guards its own state.
class KELO_HOST_API Device {
 public:
  virtual ~Device();
  // 0 = failure (the device sets the last error).
  virtual uintptr_t Open(DWORD access, DWORD share);
  virtual BOOL Close(uintptr_t open);
  virtual BOOL Read(uintptr_t open, void* buffer, DWORD toRead, DWORD* read);
  virtual BOOL Write(uintptr_t open, const void* buffer, DWORD toWrite, DWORD* written);
  virtual BOOL IoControl(uintptr_t open, DWORD code, BYTE* in, DWORD inLen, BYTE* out,
                         DWORD outLen, DWORD* returned);
  // Serial-line operations (platform/host/comm.cpp); a device that is no
  // serial line fails them with ERROR_NOT_SUPPORTED.
  virtual BOOL GetCommState(uintptr_t open, DCB* dcb);
  virtual BOOL SetCommState(uintptr_t open, const DCB* dcb);
  virtual BOOL GetCommTimeouts(uintptr_t open, COMMTIMEOUTS* timeouts);
  virtual BOOL SetCommTimeouts(uintptr_t open, const COMMTIMEOUTS* timeouts);
  virtual BOOL PurgeComm(uintptr_t open, DWORD flags);
  // Both pointers may be null.
  virtual BOOL ClearCommError(uintptr_t open, DWORD* errors, COMSTAT* stat);
  // FlushFileBuffers: waits until what the open buffers has been sent.
  // Devices that buffer nothing succeed at once (the default).
  virtual BOOL FlushBuffers(uintptr_t open);
};

// The device and open context behind a handle from CreateFileW, or null
// (last error ERROR_INVALID_HANDLE) when the handle is no device handle.
// Implemented with the handle table (devices.cpp).
KELO_HOST_API std::shared_ptr<Device> DeviceForHandle(HANDLE handle, uintptr_t* open);

// Publishes a device under a name such as u"KLP1:" or u"COM3:". Returns
// false when the name is taken. The namespace keeps the device alive while
// handles to it are open.
KELO_HOST_API bool RegisterDevice(std::u16string_view name, std::shared_ptr<Device> device);
KELO_HOST_API bool UnregisterDevice(std::u16string_view name);
KELO_HOST_API bool IsDeviceRegistered(std::u16string_view name);

// A library that ActivateDevice can "load" without dlopen: the "Dll" value of
// a driver key is looked up here first, then on the library path.
using SymbolTable = std::map<std::string, void*>;
KELO_HOST_API void RegisterModule(std::u16string_view dllName, SymbolTable symbols);
KELO_HOST_API void UnregisterModule(std::u16string_view dllName);

// Seam for host-mapped ports (registry key "Host\Ports"): given the port
// name and the mapped target, returns the device to open, or null with the
// last error set (none set: CreateFileW fails with ERROR_FILE_NOT_FOUND).
using PortMapper =
    std::function<std::shared_ptr<Device>(std::u16string_view name, std::u16string_view target)>;
KELO_HOST_API void SetPortMapper(PortMapper mapper);

// ---- registry ----
// Replaces the tree by the built-in content plus the file (no file: built-in
// content only). Bad lines are reported to the debug output and skipped.
// Returns false when the file exists but cannot be read.
KELO_HOST_API bool LoadRegistryFile(const std::string& path);
// Applies registry-editor text on top of the current tree; returns the number
// of bad lines.
KELO_HOST_API int ApplyRegistryText(std::string_view text, std::string_view sourceName);
KELO_HOST_API void ResetRegistry();  // built-in content only
// Key paths below HKEY_LOCAL_MACHINE, e.g. u"Drivers\\BuiltIn\\KLP".
KELO_HOST_API void SetRegistryDword(std::u16string_view keyPath, std::u16string_view name,
                                    DWORD value);
KELO_HOST_API void SetRegistryString(std::u16string_view keyPath, std::u16string_view name,
                                     std::u16string_view value);
KELO_HOST_API void SetRegistryBinary(std::u16string_view keyPath, std::u16string_view name,
                                     const std::vector<BYTE>& value);
KELO_HOST_API bool RemoveRegistryValue(std::u16string_view keyPath, std::u16string_view name);
KELO_HOST_API bool RemoveRegistryKey(std::u16string_view keyPath);

// ---- caller buffers ----
// While on, CeOpenCallerBuffer refuses every buffer (E_ACCESSDENIED), as the
// target does for an address the caller may not pass.
KELO_HOST_API void FailCallerBufferOpens(bool fail);

// ---- time ----
// Moves GetTickCount so that it reads `value` now; it goes on counting from
// there and wraps at 2^32.
KELO_HOST_API void SetTickCount(DWORD value);
// While on, Sleep(ms) does not wait: it moves GetTickCount forward by ms, so
// that runs replaying many call sequences (the fuzz targets) pay nothing for
// fixed pauses while deadlines measured with GetTickCount still fall due in
// order. Waits with a time-out (WaitForSingleObject, device reads) keep real
// time.
KELO_HOST_API void SetVirtualSleep(bool on);

// ---- debug output ----
// While capturing, debug lines are kept (as UTF-8, "\r\n" included) instead
// of going to stderr.
KELO_HOST_API void StartDebugCapture();
KELO_HOST_API std::vector<std::string> TakeDebugLines();
KELO_HOST_API void StopDebugCapture();

// ---- GDI objects ----
// The graphics engine stand-in releases its objects through this.
KELO_HOST_API void SetGdiObjectDeleter(std::function<BOOL(HGDIOBJ)> deleter);

// ---- strings ----
// Unpaired surrogates and malformed UTF-8 become U+FFFD.
KELO_HOST_API std::string ToUtf8(std::u16string_view text);
KELO_HOST_API std::u16string FromUtf8(std::string_view text);

// ---- errors ----
// The Win32 code for an errno value of a host call; the one mapping that
// files and host ports share.
KELO_HOST_API DWORD Win32ErrorFromErrno(int error);

}  // namespace kelo::host
