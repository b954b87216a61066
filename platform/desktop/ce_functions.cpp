// The Windows CE functions the library calls that desktop Windows lacks,
// over the desktop's own: a build of the library for desktop Windows (its
// conformance build, and the service under test on a desktop's serial ports).
#include <cwchar>

#include "platform/ce_declarations.h"

BOOL WINAPI EventModify(HANDLE event, DWORD function) {
  switch (function) {
    case EVENT_SET:
      return SetEvent(event);
    case EVENT_RESET:
      return ResetEvent(event);
    case EVENT_PULSE:
      return PulseEvent(event);
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
}

// The desktop has no device manager: stream devices such as "KLP1:" are not
// published, so whoever asks for one learns that it is not supported here.
HANDLE WINAPI ActivateDevice(LPCWSTR, DWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return nullptr;
}

HANDLE WINAPI ActivateDeviceEx(LPCWSTR, LPCVOID, DWORD, LPVOID) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return nullptr;
}

BOOL WINAPI DeactivateDevice(HANDLE) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

// Caller and callee share one address space on the desktop; a wide string
// must still end within the size the caller gave.
HRESULT WINAPI CeOpenCallerBuffer(PVOID* destination, PVOID source, DWORD size,
                                  DWORD descriptor, BOOL) {
  if (destination == nullptr || (source == nullptr && size != 0)) return E_INVALIDARG;
  const size_t units = size / sizeof(WCHAR);
  if (descriptor == ARG_I_WSTR && source != nullptr &&
      wcsnlen(static_cast<const wchar_t*>(source), units) == units) {
    return E_INVALIDARG;
  }
  *destination = source;
  return S_OK;
}

HRESULT WINAPI CeCloseCallerBuffer(PVOID, PVOID, DWORD, DWORD) { return S_OK; }
