// A port that is a plain file of the host (a capture file, a null device).
// Opened for writing it is a capture: writes append, and reads find nothing,
// as from a printer that never answers; they take the read time-out, so a
// reader polling it does not spin. Opened for reading only, reads read the
// file. The port-status request succeeds (a file does not go away); every
// other serial or control call, except the time-outs, is refused.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/host/host_ports.h"

namespace kelo::host {

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The longest a read of a capture waits, whatever the time-outs say.
constexpr DWORD kCaptureReadLimitMs = 1000;

class FilePort final : public PortOpen {
 public:
  FilePort(int fd, bool capture) : fd_(fd), capture_(capture) {}
  ~FilePort() override { ::close(fd_); }
  FilePort(const FilePort&) = delete;
  FilePort& operator=(const FilePort&) = delete;

  void Shutdown() override {
    std::lock_guard lock(mutex_);
    shutdown_ = true;
    wake_.notify_all();
  }

  BOOL Read(void* buffer, DWORD toRead, DWORD* read) override {
    if (read != nullptr) *read = 0;
    if (shutdown_) return Fail(ERROR_INVALID_HANDLE);
    if (toRead == 0) return TRUE;
    if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (capture_) return WaitOutQuietRead(toRead);
    ssize_t n;
    do {
      n = ::read(fd_, buffer, toRead);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Fail(Win32ErrorFromErrno(errno));
    if (read != nullptr) *read = static_cast<DWORD>(n);
    return TRUE;
  }

  BOOL Write(const void* buffer, DWORD toWrite, DWORD* written) override {
    if (written != nullptr) *written = 0;
    if (shutdown_) return Fail(ERROR_INVALID_HANDLE);
    if (toWrite == 0) return TRUE;
    if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const auto* in = static_cast<const BYTE*>(buffer);
    DWORD put = 0;
    while (put < toWrite) {
      const ssize_t n = ::write(fd_, in + put, toWrite - put);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const int error = n < 0 ? errno : EIO;
        if (written != nullptr) *written = put;
        return Fail(Win32ErrorFromErrno(error));
      }
      put += static_cast<DWORD>(n);
    }
    if (written != nullptr) *written = put;
    return TRUE;
  }

  BOOL IoControl(DWORD code, BYTE*, DWORD, BYTE*, DWORD, DWORD* returned) override {
    if (returned != nullptr) *returned = 0;
    if (code == kIoctlPortStatus) return shutdown_ ? Fail(ERROR_INVALID_HANDLE) : TRUE;
    return Fail(ERROR_NOT_SUPPORTED);
  }

  BOOL GetCommTimeouts(COMMTIMEOUTS* timeouts) override {
    if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(mutex_);
    *timeouts = timeouts_;
    return TRUE;
  }

  BOOL SetCommTimeouts(const COMMTIMEOUTS* timeouts) override {
    if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(mutex_);
    timeouts_ = *timeouts;
    return TRUE;
  }

 private:
  // What a read of a silent line takes: the total time-out, else the
  // interval time-out (it runs from the start of the read), bounded.
  BOOL WaitOutQuietRead(DWORD toRead) {
    std::unique_lock lock(mutex_);
    const COMMTIMEOUTS& t = timeouts_;
    unsigned long long waitMs = 0;
    if (t.ReadIntervalTimeout != MAXDWORD || t.ReadTotalTimeoutConstant != 0 ||
        t.ReadTotalTimeoutMultiplier != 0) {
      const unsigned long long multiplier =
          t.ReadTotalTimeoutMultiplier == MAXDWORD ? 0 : t.ReadTotalTimeoutMultiplier;
      waitMs = multiplier * toRead + t.ReadTotalTimeoutConstant;
      if (waitMs == 0 && t.ReadIntervalTimeout != MAXDWORD) waitMs = t.ReadIntervalTimeout;
      if (waitMs == 0) waitMs = kCaptureReadLimitMs;  // no time-outs: a read would block
    }
    waitMs = std::min<unsigned long long>(waitMs, kCaptureReadLimitMs);
    const bool woken = wake_.wait_for(lock, std::chrono::milliseconds(waitMs),
                                      [this] { return shutdown_.load(); });
    return woken ? Fail(ERROR_INVALID_HANDLE) : TRUE;
  }

  const int fd_;
  const bool capture_;  // opened for writing: reads find nothing
  std::atomic<bool> shutdown_{false};
  std::mutex mutex_;  // guards timeouts_; wake_ waits on it
  std::condition_variable wake_;
  COMMTIMEOUTS timeouts_{};
};

}  // namespace

std::shared_ptr<PortOpen> OpenFilePort(int fd, bool capture) {
  return std::make_shared<FilePort>(fd, capture);
}

}  // namespace kelo::host
