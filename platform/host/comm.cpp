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
BOOL Device::ClearCommError(uintptr_t, DWORD*, COMSTAT*) { return NotSupported(); }
BOOL Device::FlushBuffers(uintptr_t) { return TRUE; }

}  // namespace kelo::host

using kelo::host::DeviceForHandle;

namespace {

// The comm calls that take a structure: an unknown handle fails as the
// handle table says, a missing structure with ERROR_INVALID_PARAMETER,
// before the device sees the call.
template <typename Given, typename Taken>
BOOL ForwardWithStructure(HANDLE file, Given* structure,
                          BOOL (kelo::host::Device::*call)(uintptr_t, Taken*)) {
  uintptr_t open = 0;
  auto device = DeviceForHandle(file, &open);
  if (!device) return FALSE;
  if (structure == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return ((*device).*call)(open, structure);
}

}  // namespace

extern "C" {

BOOL WINAPI GetCommState(HANDLE file, LPDCB dcb) {
  return ForwardWithStructure(file, dcb, &kelo::host::Device::GetCommState);
}

BOOL WINAPI SetCommState(HANDLE file, LPDCB dcb) {
  return ForwardWithStructure(file, dcb, &kelo::host::Device::SetCommState);
}

BOOL WINAPI GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  return ForwardWithStructure(file, timeouts, &kelo::host::Device::GetCommTimeouts);
}

BOOL WINAPI SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  return ForwardWithStructure(file, timeouts, &kelo::host::Device::SetCommTimeouts);
}

BOOL WINAPI PurgeComm(HANDLE file, DWORD flags) {
  uintptr_t open = 0;
  auto device = DeviceForHandle(file, &open);
  if (!device) return FALSE;
  return device->PurgeComm(open, flags);
}

BOOL WINAPI ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat) {
  uintptr_t open = 0;
  auto device = DeviceForHandle(file, &open);
  if (!device) return FALSE;
  return device->ClearCommError(open, errors, stat);
}

}  // extern "C"
