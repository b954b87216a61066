// Files of the host behind CreateFileW, ReadFile and WriteFile.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/host/host_internal.h"

namespace kelo::host {

namespace {

class HostFile : public HostObject {
 public:
  explicit HostFile(int fd) : fd_(fd) {}
  ~HostFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  BOOL OnClose() override {
    const int result = ::close(fd_);
    fd_ = -1;
    if (result != 0 && errno != EINTR) {  // after EINTR the descriptor is gone on Linux
      SetLastError(Win32ErrorFromErrno(errno));
      return FALSE;
    }
    return TRUE;
  }

  BOOL Read(void* buffer, DWORD toRead, DWORD* read) override {
    if (buffer == nullptr && toRead != 0) return Fail(ERROR_INVALID_PARAMETER);
    ssize_t n;
    do {
      n = ::read(fd_, buffer, toRead);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Fail(ErrorOf(errno));
    *read = static_cast<DWORD>(n);
    return TRUE;
  }

  BOOL Write(const void* buffer, DWORD toWrite, DWORD* written) override {
    if (buffer == nullptr && toWrite != 0) return Fail(ERROR_INVALID_PARAMETER);
    const auto* next = static_cast<const BYTE*>(buffer);
    DWORD left = toWrite;
    while (left > 0) {
      const ssize_t n = ::write(fd_, next, left);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *written = toWrite - left;
        return Fail(ErrorOf(errno));
      }
      next += n;
      left -= static_cast<DWORD>(n);
    }
    *written = toWrite;
    return TRUE;
  }

  BOOL IoControl(DWORD, BYTE*, DWORD, BYTE*, DWORD, DWORD*) override {
    return Fail(ERROR_NOT_SUPPORTED);
  }

 private:
  // The descriptor is valid while the handle is: EBADF means it was not
  // opened for this direction.
  static DWORD ErrorOf(int error) {
    return error == EBADF ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(error);
  }
  static BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
  }
  int fd_;
};

int OpenRetrying(const char* path, int flags) {
  int fd;
  do {
    fd = ::open(path, flags, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

HANDLE OpenHostFile(std::u16string_view name, DWORD access, DWORD creation) {
  int mode = O_RDONLY;
  if ((access & GENERIC_READ) != 0 && (access & GENERIC_WRITE) != 0) {
    mode = O_RDWR;
  } else if ((access & GENERIC_WRITE) != 0) {
    mode = O_WRONLY;
  }
  const std::string path = ToUtf8(name);
  if (path.find('\0') != std::string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);  // would cut the path short
    return INVALID_HANDLE_VALUE;
  }
  const int base = mode | O_CLOEXEC;
  int fd = -1;
  bool existed = false;
  switch (creation) {
    case CREATE_NEW:
      fd = OpenRetrying(path.c_str(), base | O_CREAT | O_EXCL);
      break;
    case OPEN_EXISTING:
      fd = OpenRetrying(path.c_str(), base);
      break;
    case TRUNCATE_EXISTING:
      fd = OpenRetrying(path.c_str(), base | O_TRUNC);
      break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS: {
      // Win32 tells the caller whether the file was there: try to create it
      // exclusively first, then open what another process may have made.
      const int existing = base | (creation == CREATE_ALWAYS ? O_TRUNC : 0);
      for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        fd = OpenRetrying(path.c_str(), base | O_CREAT | O_EXCL);
        if (fd >= 0 || errno != EEXIST) break;
        fd = OpenRetrying(path.c_str(), existing);
        existed = fd >= 0;
        if (fd < 0 && errno != ENOENT) break;  // ENOENT: removed meanwhile, try again
      }
      break;
    }
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  if (fd < 0) {
    // CREATE_NEW on an existing file is ERROR_FILE_EXISTS, as on the target.
    SetLastError(Win32ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  struct stat info = {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);  // a directory is no file to read or write
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = AddHandle(std::make_shared<HostFile>(fd));
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

}  // namespace kelo::host
