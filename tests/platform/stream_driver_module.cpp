// A minimal stream driver with the prefix "TSD", loaded by ActivateDevice
// through dlopen. Its open context echoes back through IOControl; Write
// accepts all but one byte, so the count is seen to come from the driver.

#include "platform/device_manager.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT DWORD TSD_Init(LPCWSTR, LPCVOID context) {
  return 0x5000 + static_cast<DWORD>(reinterpret_cast<uintptr_t>(context));
}
EXPORT BOOL TSD_Deinit(DWORD) { return TRUE; }
EXPORT DWORD TSD_Open(DWORD device, DWORD, DWORD) { return device + 1; }
EXPORT BOOL TSD_Close(DWORD) { return TRUE; }
EXPORT BOOL TSD_IOControl(DWORD open, DWORD, PBYTE, DWORD, PBYTE out, DWORD outLen, PDWORD actual) {
  if (out == nullptr || outLen < sizeof open) return FALSE;
  for (unsigned i = 0; i < sizeof open; ++i) out[i] = static_cast<BYTE>(open >> (8 * i));
  if (actual != nullptr) *actual = sizeof open;
  return TRUE;
}
EXPORT DWORD TSD_Write(DWORD, LPCVOID, DWORD count) { return count == 0 ? 0 : count - 1; }
