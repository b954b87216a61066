// A port that is a file of the host: a capture file, a null device, a FIFO
// or another character device that is neither a serial line nor a printer.
// Opened for writing it is a capture: writes append, and reads find
// nothing, as from a printer that never answers; they take the read
// time-out, so a reader polling it does not spin. Opened for reading only,
// reads read the file. The port-status request succeeds (a file does not go
// away); every other serial or control call, except the time-outs, is
// refused. Writes follow the write time-out like every other port, so a FIFO
// nobody reads, or a device that stops taking data, cannot hang a job.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/host/host_ports.h"

namespace kelo::host {

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The longest a read of a capture waits, whatever the time-outs say.
constexpr DWORD kCaptureReadLimitMs = 1000;

class FilePort final : public TimedDescriptor {
 public:
  FilePort(int fd, bool capture) : TimedDescriptor(fd, PortClass::kStream), capture_(capture) {
    struct stat info {};
    regular_ = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  }

  BOOL Read(void* buffer, DWORD toRead, DWORD* read) override {
    if (!capture_ && !regular_) return TimedDescriptor::Read(buffer, toRead, read);
    if (read != nullptr) *read = 0;
    if (!capture_) return ReadFileOnce(buffer, toRead, read);
    if (IsShutdown()) return Fail(ERROR_INVALID_HANDLE);
    if (toRead == 0) return TRUE;
    if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return SleepUnlessShutdown(QuietReadMs(toRead)) ? TRUE : Fail(ERROR_INVALID_HANDLE);
  }

  BOOL IoControl(DWORD code, BYTE*, DWORD, BYTE*, DWORD, DWORD* returned) override {
    if (returned != nullptr) *returned = 0;
    if (code == kIoctlPortStatus) return IsShutdown() ? Fail(ERROR_INVALID_HANDLE) : TRUE;
    return Fail(ERROR_NOT_SUPPORTED);
  }

 private:
  // A regular file is always readable and ends at its end: one read, which
  // may find nothing there.
  BOOL ReadFileOnce(void* buffer, DWORD toRead, DWORD* read) {
    if (IsShutdown()) return Fail(ERROR_INVALID_HANDLE);
    if (toRead == 0) return TRUE;
    if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    ssize_t n;
    do {
      n = ::read(fd(), buffer, toRead);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Fail(ErrorFor(errno));
    if (read != nullptr) *read = static_cast<DWORD>(n);
    return TRUE;
  }

  // What a read of a silent line takes: the total time-out, else the
  // interval time-out (it runs from the start of the read), bounded.
  DWORD QuietReadMs(DWORD toRead) const {
    const COMMTIMEOUTS t = Timeouts();
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutConstant == 0 &&
        t.ReadTotalTimeoutMultiplier == 0) {
      return 0;  // return at once with what is there: nothing
    }
    const unsigned long long multiplier =
        t.ReadTotalTimeoutMultiplier == MAXDWORD ? 0 : t.ReadTotalTimeoutMultiplier;
    unsigned long long waitMs = multiplier * toRead + t.ReadTotalTimeoutConstant;
    if (waitMs == 0 && t.ReadIntervalTimeout != MAXDWORD) waitMs = t.ReadIntervalTimeout;
    if (waitMs == 0) waitMs = kCaptureReadLimitMs;  // no time-outs: a read would block
    return static_cast<DWORD>(std::min<unsigned long long>(waitMs, kCaptureReadLimitMs));
  }

  const bool capture_;  // opened for writing: reads find nothing
  bool regular_ = false;  // a regular file, not a FIFO or a device
};

}  // namespace

std::shared_ptr<PortOpen> OpenFilePort(int fd, bool capture) {
  return std::make_shared<FilePort>(fd, capture);
}

}  // namespace kelo::host
