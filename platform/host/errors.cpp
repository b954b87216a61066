// The last error of each thread, and host errno values in Win32 terms.

#include <cerrno>

#include "platform/host/host_internal.h"
#include "platform/host/host_ports.h"

namespace kelo::host {

namespace {
thread_local DWORD t_lastError = 0;
}  // namespace

DWORD Win32ErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return kErrorFileExists;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case ENOSPC:
    case EFBIG:
      return kErrorDiskFull;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENODEV:
    case ENXIO:
      return ERROR_DEV_NOT_EXIST;
    case ETIMEDOUT:
      return ERROR_TIMEOUT;
    case EPIPE:
      return ERROR_NO_DATA;  // the other end of a pipe is gone
    case ENOTSUP:
      return ERROR_NOT_SUPPORTED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

DWORD PortErrorFromErrno(PortClass port, int error, bool hungUp) {
  // How each class of device shows that it went away while open: a tty
  // whose hardware or other end is gone is hung up (reads find nothing,
  // writes and line calls fail with EIO); a USB adapter or printer after
  // its disconnect answers ENODEV; a node without its driver ENXIO. A
  // printer-class EIO alone is a transfer that failed (a stall, a status
  // request the printer did not answer) on a device that may still be
  // there; with the descriptor hung up it is the disconnect itself.
  const bool missing = error == ENODEV || error == ENXIO;
  switch (port) {
    case PortClass::kSerialLine:
      if (missing || error == EIO || (error == 0 && hungUp)) return ERROR_SERIAL_NO_DEVICE;
      break;
    case PortClass::kPrinter:
      if (missing || ((error == EIO || error == 0) && hungUp)) return ERROR_DEV_NOT_EXIST;
      break;
    case PortClass::kStream:
      break;
  }
  return error == 0 ? ERROR_GEN_FAILURE : Win32ErrorFromErrno(error);
}

}  // namespace kelo::host

extern "C" {

DWORD WINAPI GetLastError(void) { return kelo::host::t_lastError; }
void WINAPI SetLastError(DWORD error) { kelo::host::t_lastError = error; }

}  // extern "C"
