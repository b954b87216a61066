#include "tools/common/error_text.h"

#include "kelo/service_control.h"

namespace kelo::cli {

namespace {

// Codes of the host's files that the platform header does not name.
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorTooManyOpenFiles = 4;
constexpr DWORD kErrorDiskFull = 112;  // what a full file or device reports
constexpr DWORD kErrorFilenameTooLong = 206;

}  // namespace

std::string ErrorText(DWORD error) {
  std::string text;
  switch (error) {
    case ERROR_FILE_NOT_FOUND: text = "no such port or device"; break;
    case ERROR_ACCESS_DENIED: text = "access denied"; break;
    case ERROR_INVALID_HANDLE: text = "invalid handle"; break;
    case ERROR_NOT_READY: text = "the printer is not ready"; break;
    case ERROR_OUT_OF_PAPER: text = "the printer is out of paper"; break;
    case ERROR_SHARING_VIOLATION: text = "the port is in use"; break;
    case ERROR_INVALID_PARAMETER: text = "invalid parameter"; break;
    case ERROR_SERIAL_NO_DEVICE: text = "the serial device is gone"; break;
    case ERROR_GRACEFUL_DISCONNECT: text = "the printer was disconnected"; break;
    case ERROR_TIMEOUT: text = "nothing was taken within the print time-out"; break;
    case ERROR_NOT_SUPPORTED: text = "the port does not support the request"; break;
    case ERROR_OUTOFMEMORY:
    case ERROR_NOT_ENOUGH_MEMORY: text = "out of memory"; break;
    case ERROR_NO_DATA: text = "nobody reads the other end of the port"; break;
    case kErrorPathNotFound: text = "a directory on the port's path does not exist"; break;
    case kErrorTooManyOpenFiles: text = "too many open files"; break;
    case kErrorFilenameTooLong: text = "the port's path is too long"; break;
    case ERROR_WRITE_FAULT: text = "write fault"; break;
    case ERROR_GEN_FAILURE: text = "the device does not work"; break;
    case ERROR_DEV_NOT_EXIST: text = "the device is gone"; break;
    case ERROR_DEVICE_IN_USE: text = "the device is in use"; break;
    case ERROR_MOD_NOT_FOUND: text = "library not found"; break;
    case ERROR_PROC_NOT_FOUND: text = "entry point not found"; break;
    case ERROR_UNKNOWN_PORT: text = "unknown port"; break;
    case KLP_STATUS_CONDITION_BIT2: text = "the printer reports a fault"; break;
    case KLP_STATUS_OUT_OF_PAPER_AND_BIT2: text = "the printer is out of paper and reports a fault"; break;
    case kErrorDiskFull: text = "no space left on the device"; break;
    default: text = "system error"; break;
  }
  return text + " (" + std::to_string(error) + ")";
}

}  // namespace kelo::cli
