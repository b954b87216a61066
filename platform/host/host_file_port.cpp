// A port that is a plain file of the host (a capture file, a null device):
// writes append, reads read it. Port time-outs are kept for the caller but
// mean nothing to a file; every other serial or control call is refused.

#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/host/host_ports.h"

namespace kelo::host {

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

class FilePort final : public PortOpen {
 public:
  explicit FilePort(int fd) : fd_(fd) {}
  ~FilePort() override { ::close(fd_); }
  FilePort(const FilePort&) = delete;
  FilePort& operator=(const FilePort&) = delete;

  void Shutdown() override { shutdown_ = true; }

  BOOL Read(void* buffer, DWORD toRead, DWORD* read) override {
    if (read != nullptr) *read = 0;
    if (shutdown_) return Fail(ERROR_INVALID_HANDLE);
    if (toRead == 0) return TRUE;
    if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
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
  const int fd_;
  std::atomic<bool> shutdown_{false};
  std::mutex mutex_;  // guards timeouts_
  COMMTIMEOUTS timeouts_{};
};

}  // namespace

std::shared_ptr<PortOpen> OpenFilePort(int fd) { return std::make_shared<FilePort>(fd); }

}  // namespace kelo::host
