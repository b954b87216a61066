#include "port/port_io.h"

#include <algorithm>
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

BOOL WritePort(HANDLE handle, BYTE kind, const BYTE* data, DWORD length, DWORD* taken) {
  DWORD done = 0;
  if (taken != nullptr) *taken = 0;
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
  BOOL result = TRUE;
  while (done < length) {
    DWORD written = 0;
    if (!WriteFile(handle, data + done, length - done, &written, nullptr)) {
      // A failing call may still have moved bytes; they are the printer's.
      done += std::min(written, length - done);
      result = FALSE;  // the platform's last error stands
      break;
    }
    if (written == 0) {
      // The follow-up request tells a printer that is there but busy from
      // one that is gone; either way nothing moved within the time-out, and
      // the caller must learn why, not find a failure without a code.
      if (kind == kPortParallel) FollowUpSucceeds(handle);
      SetLastError(ERROR_TIMEOUT);
      result = FALSE;
      break;
    }
    // A port never reports more than it was given; if it does, stop there.
    if (written > length - done) {
      done = length;
      break;
    }
    done += written;
  }
  if (taken != nullptr) *taken = done;
  return result;
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

BOOL DrainPort(HANDLE handle, BYTE kind, DWORD* unsent) {
  *unsent = 0;
  if (handle == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_UNKNOWN_PORT);
    return FALSE;
  }
  if (kind != kPortSerial) return TRUE;
  if (FlushFileBuffers(handle)) return TRUE;
  const DWORD error = GetLastError();
  COMSTAT stat{};
  if (ClearCommError(handle, nullptr, &stat)) *unsent = stat.cbOutQue;
  SetLastError(error);
  return FALSE;
}

BOOL ClosePort(HANDLE handle, BYTE kind) {
  if (!IsKnownPortKind(kind) || handle == INVALID_HANDLE_VALUE) return FALSE;
  return CloseHandle(handle);
}
