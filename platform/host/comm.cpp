// Serial communications: dispatched to the device behind the handle.

#include "platform/host/host_api.h"

namespace kelo::host {

namespace {
BOOL NotSupported() {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
}  // namespace

BOOL Device::GetCommState(uintptr_t, DCB*) { return NotSupported(); }
BOOL Device::SetCommState(uintptr_t, const DCB*) { return NotSupported(); }
BOOL Device::GetCommTimeouts(uintptr_t, COMMTIMEOUTS*) { return NotSupported(); }
BOOL Device::SetCommTimeouts(uintptr_t, const COMMTIMEOUTS*) { return NotSupported(); }
BOOL Device::PurgeComm(uintptr_t, DWORD) { return NotSupported(); }

}  // namespace kelo::host

using kelo::host::DeviceForHandle;

extern "C" {

BOOL WINAPI GetCommState(HANDLE file, LPDCB dcb) {
  uintptr_t open = 0;
  auto device = DeviceForHandle(file, &open);
  if (!device) return FALSE;
  if (dcb == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return device->GetCommState(open, dcb);
}

BOOL WINAPI SetCommState(HANDLE file, LPDCB dcb) {
  uintptr_t open = 0;
  auto device = DeviceForHandle(file, &open);
  if (!device) return FALSE;
  if (dcb == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return device->SetCommState(open, dcb);
}

BOOL WINAPI GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  uintptr_t open = 0;
  auto device = DeviceForHandle(file, &open);
  if (!device) return FALSE;
  if (timeouts == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return device->GetCommTimeouts(open, timeouts);
}

BOOL WINAPI SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  uintptr_t open = 0;
  auto device = DeviceForHandle(file, &open);
  if (!device) return FALSE;
  if (timeouts == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return device->SetCommTimeouts(open, timeouts);
}

BOOL WINAPI PurgeComm(HANDLE file, DWORD flags) {
  uintptr_t open = 0;
  auto device = DeviceForHandle(file, &open);
  if (!device) return FALSE;
  return device->PurgeComm(open, flags);
}

}  // extern "C"
