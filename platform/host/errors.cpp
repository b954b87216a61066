// The last error of each thread, and host errno values in Win32 terms.

#include <cerrno>

#include "platform/host/host_internal.h"

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

}  // namespace kelo::host

extern "C" {

DWORD WINAPI GetLastError(void) { return kelo::host::t_lastError; }
void WINAPI SetLastError(DWORD error) { kelo::host::t_lastError = error; }

}  // extern "C"
