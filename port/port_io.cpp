#include "port/port_io.h"

#include <cstring>

#include "platform/comm.h"
#include "platform/kernel.h"
#include "port/port_kind.h"

namespace {

// The follow-up request after a transfer that moved no bytes; its 4-byte
// answer is never looked at.
bool FollowUpSucceeds(HANDLE handle) {
  BYTE answer[4] = {};
  DWORD returned = 0;
  return DeviceIoControl(handle, kIoctlFollowUp, nullptr, 0, answer, sizeof(answer), &returned,
                         nullptr) != FALSE;
}

}  // namespace

BOOL WritePort(HANDLE handle, BYTE kind, const BYTE* data, DWORD length) {
  SetLastError(ERROR_SUCCESS);
  if (handle == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_UNKNOWN_PORT);
    return FALSE;
  }
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!IsKnownPortKind(kind)) {
    SetLastError(ERROR_UNKNOWN_PORT);
    return FALSE;
  }
  DWORD done = 0;
  while (done < length) {
    DWORD written = 0;
    if (!WriteFile(handle, data + done, length - done, &written, nullptr)) return FALSE;
    if (written == 0) {
      if (kind == kPortParallel && FollowUpSucceeds(handle)) return FALSE;
      SetLastError(ERROR_TIMEOUT);
      return FALSE;
    }
    // A port never reports more than it was given; if it does, stop there.
    if (written > length - done) break;
    done += written;
  }
  return TRUE;
}

BOOL ReadPort(HANDLE handle, BYTE kind, BYTE* buffer, DWORD size, DWORD* bytesRead) {
  if (handle == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_UNKNOWN_PORT);
    return FALSE;
  }
  if (buffer == nullptr || bytesRead == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  *bytesRead = 0;
  const BOOL result = ReadFile(handle, buffer, size, bytesRead, nullptr);
  if (kind == kPortParallel && *bytesRead == 0) {
    const DWORD readError = GetLastError();
    if (!FollowUpSucceeds(handle)) {
      SetLastError(ERROR_GRACEFUL_DISCONNECT);
      return FALSE;
    }
    SetLastError(readError);
  }
  return result;
}

BOOL PurgePort(HANDLE handle, BYTE kind, BOOL receive) {
  if (kind != kPortSerial) return FALSE;
  return PurgeComm(handle, receive ? PURGE_RXCLEAR : PURGE_TXCLEAR);
}

BOOL SetRtsLine(HANDLE handle, BOOL off) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof(dcb));
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(handle, &dcb)) return FALSE;
  dcb.fRtsControl = off ? RTS_CONTROL_DISABLE : RTS_CONTROL_ENABLE;
  return SetCommState(handle, &dcb);
}

BOOL ClosePort(HANDLE handle, BYTE kind) {
  if (!IsKnownPortKind(kind) || handle == INVALID_HANDLE_VALUE) return FALSE;
  return CloseHandle(handle);
}
