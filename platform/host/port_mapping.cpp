// Host ports behind the names of HKEY_LOCAL_MACHINE\Host\Ports: the factory
// that picks a backend for a target, the device that keeps one descriptor per
// open, and the time-out rules shared by the descriptor backends.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <linux/lp.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "platform/host/host_internal.h"
#include "platform/host/host_ports.h"

namespace kelo::host {

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// A write to a pipe that nobody reads raises SIGPIPE, which would end the
// process; the target reports an error instead, and so does this write
// (EPIPE). The signal is blocked on this thread for the call, and the one
// the call raised is taken back unless one was pending already.
ssize_t WriteWithoutSigpipe(int fd, const void* data, size_t size) {
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t pending;
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
  const ssize_t n = ::write(fd, data, size);
  const int error = errno;
  if (n < 0 && error == EPIPE && !wasPending) {
    const timespec none{0, 0};
    while (sigtimedwait(&pipeSignal, nullptr, &none) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = error;
  return n;
}

long long NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

// ---- PortOpen: everything unsupported unless a backend says otherwise ----

PortOpen::~PortOpen() = default;
BOOL PortOpen::Read(void*, DWORD, DWORD*) { return Fail(ERROR_NOT_SUPPORTED); }
BOOL PortOpen::Write(const void*, DWORD, DWORD*) { return Fail(ERROR_NOT_SUPPORTED); }
BOOL PortOpen::IoControl(DWORD, BYTE*, DWORD, BYTE*, DWORD, DWORD*) {
  return Fail(ERROR_NOT_SUPPORTED);
}
BOOL PortOpen::GetCommState(DCB*) { return Fail(ERROR_NOT_SUPPORTED); }
BOOL PortOpen::SetCommState(const DCB*) { return Fail(ERROR_NOT_SUPPORTED); }
BOOL PortOpen::GetCommTimeouts(COMMTIMEOUTS*) { return Fail(ERROR_NOT_SUPPORTED); }
BOOL PortOpen::SetCommTimeouts(const COMMTIMEOUTS*) { return Fail(ERROR_NOT_SUPPORTED); }
BOOL PortOpen::PurgeComm(DWORD) { return Fail(ERROR_NOT_SUPPORTED); }
BOOL PortOpen::ClearCommError(DWORD*, COMSTAT*) { return Fail(ERROR_NOT_SUPPORTED); }

// ---- draining a transmit queue ----

long WaitForQueueToDrain(const std::function<long()>& queued, DrainLimits limits,
                         const std::atomic<bool>* stop) {
  constexpr long kSampleMs = 5;
  const long long start = NowMs();
  long left = queued();
  long long lastMove = start;
  while (left > 0) {
    if (stop != nullptr && stop->load()) break;
    const long long now = NowMs();
    if (now - lastMove >= limits.stallMs || now - start >= limits.boundMs) break;
    const timespec step{0, kSampleMs * 1000 * 1000};
    nanosleep(&step, nullptr);
    const long next = queued();
    if (next < left) lastMove = NowMs();
    left = next;
  }
  return std::max(left, 0L);
}

// ---- TimedDescriptor ----

TimedDescriptor::TimedDescriptor(int fd, PortClass portClass)
    : fd_(fd), class_(portClass), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TimedDescriptor::~TimedDescriptor() {
  CloseDescriptor();
  if (wake_ >= 0) ::close(wake_);
}

void TimedDescriptor::CloseDescriptor() {
  if (fd_ >= 0) ::close(fd_);  // no retry on EINTR: the descriptor is gone either way
  fd_ = -1;
}

bool TimedDescriptor::SleepUnlessShutdown(DWORD ms) {
  const long long deadline = NowMs() + ms;
  for (;;) {
    if (shutdown_.load()) return false;
    const long long left = deadline - NowMs();
    if (left <= 0) return true;
    pollfd wake = {wake_, POLLIN, 0};
    if (::poll(&wake, wake_ >= 0 ? 1 : 0, static_cast<int>(std::min<long long>(left, 1 << 30))) >
        0) {
      return false;
    }
  }
}

void TimedDescriptor::Shutdown() {
  shutdown_.store(true);
  if (wake_ >= 0) {
    const uint64_t one = 1;
    // The counter is never read, so the eventfd stays readable for good.
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
  }
}

DWORD TimedDescriptor::ErrorFor(int error) const {
  // Events 0: poll still reports a hang-up, and never waits.
  pollfd probe = {fd_, 0, 0};
  const bool hungUp = fd_ >= 0 && ::poll(&probe, 1, 0) > 0 && (probe.revents & POLLHUP) != 0;
  return PortErrorFromErrno(class_, error, hungUp);
}

COMMTIMEOUTS TimedDescriptor::Timeouts() const {
  std::lock_guard lock(mutex_);
  return timeouts_;
}

BOOL TimedDescriptor::GetCommTimeouts(COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *timeouts = Timeouts();
  return TRUE;
}

BOOL TimedDescriptor::SetCommTimeouts(const COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard lock(mutex_);
  timeouts_ = *timeouts;
  return TRUE;
}

TimedDescriptor::Ready TimedDescriptor::WaitFor(short events, long long deadlineMs,
                                                short* revents) {
  for (;;) {
    if (shutdown_.load()) return Ready::kShutdown;
    int waitMs = -1;
    if (deadlineMs >= 0) {
      const long long left = deadlineMs - NowMs();
      if (left <= 0) return Ready::kTimeout;
      waitMs = static_cast<int>(std::min<long long>(left, 1 << 30));
    }
    pollfd fds[2] = {{fd_, events, 0}, {wake_, POLLIN, 0}};
    const int n = ::poll(fds, wake_ >= 0 ? 2 : 1, waitMs);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Ready::kError;
    }
    if (n == 0) continue;  // the deadline check above decides
    if (wake_ >= 0 && (fds[1].revents & POLLIN) != 0) return Ready::kShutdown;
    *revents = fds[0].revents;
    return Ready::kReady;
  }
}

BOOL TimedDescriptor::Read(void* buffer, DWORD toRead, DWORD* read) {
  DWORD got = 0;
  if (read != nullptr) *read = 0;
  if (shutdown_.load()) return Fail(ERROR_INVALID_HANDLE);
  if (toRead == 0) return TRUE;
  if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);

  const COMMTIMEOUTS t = Timeouts();
  const bool immediate = t.ReadIntervalTimeout == MAXDWORD &&
                         t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  // Interval MAXDWORD with a total time-out: return as soon as anything came.
  const bool returnOnAny = t.ReadIntervalTimeout == MAXDWORD && !immediate;
  const long long start = NowMs();
  long long totalDeadline = -1;
  if (!immediate) {
    // MAXDWORD, MAXDWORD, constant: wait up to the constant for a first byte.
    const unsigned long long multiplier =
        t.ReadTotalTimeoutMultiplier == MAXDWORD ? 0 : t.ReadTotalTimeoutMultiplier;
    const unsigned long long total = multiplier * toRead + t.ReadTotalTimeoutConstant;
    if (total != 0) totalDeadline = start + static_cast<long long>(total);
  }
  const bool interval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD;
  // On Windows CE the interval timer already runs before the first byte.
  long long intervalDeadline = interval ? start + t.ReadIntervalTimeout : -1;

  auto* out = static_cast<BYTE*>(buffer);
  bool hangUp = false;
  for (;;) {
    const ssize_t n = ::read(fd_, out + got, toRead - got);
    if (n > 0) {
      got += static_cast<DWORD>(n);
      if (got == toRead || returnOnAny) break;
      if (interval) intervalDeadline = NowMs() + t.ReadIntervalTimeout;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      const int error = errno;
      if (read != nullptr) *read = got;
      return Fail(ErrorFor(error));
    }
    // Nothing buffered (a raw tty with VMIN = 0 answers 0, others EAGAIN).
    if (hangUp) {
      if (read != nullptr) *read = got;
      return got > 0 ? TRUE : Fail(PortErrorFromErrno(class_, 0, true));
    }
    if (immediate) break;
    long long deadline = totalDeadline;
    if (intervalDeadline >= 0 && (deadline < 0 || intervalDeadline < deadline)) {
      deadline = intervalDeadline;
    }
    short revents = 0;
    const Ready ready = WaitFor(POLLIN, deadline, &revents);
    if (ready == Ready::kTimeout) break;
    if (ready == Ready::kShutdown) {
      if (read != nullptr) *read = got;
      return Fail(ERROR_INVALID_HANDLE);
    }
    if (ready == Ready::kError) {
      const int error = errno;
      if (read != nullptr) *read = got;
      return Fail(ErrorFor(error));
    }
    if ((revents & POLLNVAL) != 0) {
      if (read != nullptr) *read = got;
      return Fail(ERROR_INVALID_HANDLE);
    }
    // A hung-up line polls readable and reads empty: after a hang-up an
    // empty read means a dead line, not a quiet one.
    if ((revents & (POLLHUP | POLLERR)) != 0) hangUp = true;
  }
  if (read != nullptr) *read = got;
  return TRUE;
}

BOOL TimedDescriptor::Write(const void* buffer, DWORD toWrite, DWORD* written) {
  DWORD put = 0;
  if (written != nullptr) *written = 0;
  if (shutdown_.load()) return Fail(ERROR_INVALID_HANDLE);
  if (toWrite == 0) return TRUE;
  if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);

  const COMMTIMEOUTS t = Timeouts();
  const unsigned long long total =
      static_cast<unsigned long long>(t.WriteTotalTimeoutMultiplier) * toWrite +
      t.WriteTotalTimeoutConstant;
  // The deadline keeps a write to a stopped line (handshake low, printer off)
  // from blocking for ever; with no time-out the wait is unbounded by request.
  const long long deadline = total == 0 ? -1 : NowMs() + static_cast<long long>(total);
  const auto* in = static_cast<const BYTE*>(buffer);
  while (put < toWrite) {
    const ssize_t n = WriteWithoutSigpipe(fd_, in + put, toWrite - put);
    if (n > 0) {
      put += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      const int error = errno;
      if (written != nullptr) *written = put;
      return Fail(ErrorFor(error));
    }
    short revents = 0;
    const Ready ready = WaitFor(POLLOUT, deadline, &revents);
    if (ready == Ready::kTimeout) break;  // short count, not an error
    if (ready == Ready::kShutdown || (revents & POLLNVAL) != 0) {
      if (written != nullptr) *written = put;
      return Fail(ERROR_INVALID_HANDLE);
    }
    if (ready == Ready::kError) {
      const int error = errno;
      if (written != nullptr) *written = put;
      return Fail(ErrorFor(error));
    }
    // POLLERR/POLLHUP: the next write reports the line's error.
  }
  if (written != nullptr) *written = put;
  return TRUE;
}

namespace {

// What a target looks like before it is opened.
enum class TargetKind {
  kPrinter,    // /dev/usb/lpN: printer class, never created
  kCharacter,  // a character device (or a missing one under /dev): probed at open
  kFifo,       // a named pipe: the printer is whoever reads it
  kFile,       // anything else: a plain file, created on a write open
};

bool ParentExists(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return true;  // the working directory
  struct stat info {};
  return ::stat(path.substr(0, slash == 0 ? 1 : slash).c_str(), &info) == 0 &&
         S_ISDIR(info.st_mode);
}

class HostPort final : public Device {
 public:
  HostPort(std::string path, TargetKind kind) : path_(std::move(path)), kind_(kind) {}

  uintptr_t Open(DWORD access, DWORD share) override {
    int flags = O_CLOEXEC | O_NOCTTY;
    const bool reading = (access & GENERIC_READ) != 0;
    const bool writing = (access & GENERIC_WRITE) != 0;
    // A pipe opened for writing is never opened for reading too: this open
    // would read back its own bytes as the printer's answers, and would
    // stand in for a reader that is not there.
    const bool pipeWriter = kind_ == TargetKind::kFifo && writing;
    flags |= reading && writing && !pipeWriter ? O_RDWR : writing ? O_WRONLY : O_RDONLY;
    if (kind_ == TargetKind::kFile && writing) flags |= O_APPEND | O_CREAT;
    // The time-outs are done by poll, for every target: a FIFO or a device
    // that stops taking data must not block a write for ever. A regular
    // file is not affected.
    flags |= O_NONBLOCK;
    int fd;
    do {
      fd = ::open(path_.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      const int error = errno;
      // As on the target: a missing directory is "path not found", a
      // missing file in an existing one "file not found".
      DWORD code = Win32ErrorFromErrno(error);
      if (error == ENOENT && kind_ == TargetKind::kFile && !ParentExists(path_)) {
        code = kErrorPathNotFound;
      } else if (error == ENXIO && pipeWriter) {
        code = ERROR_NO_DATA;  // nobody has the pipe open for reading
      }
      SetLastError(code);
      return 0;
    }
    // Share mode 0 is exclusive, also against other opens in this process
    // (flock locks belong to the open, not to the process).
    const int lockMode = (share & (FILE_SHARE_READ | FILE_SHARE_WRITE)) == 0 ? LOCK_EX : LOCK_SH;
    int locked;
    do {
      locked = ::flock(fd, lockMode | LOCK_NB);
    } while (locked < 0 && errno == EINTR);
    if (locked < 0 && errno == EWOULDBLOCK) {
      ::close(fd);
      SetLastError(ERROR_SHARING_VIOLATION);
      return 0;
    }

    std::shared_ptr<PortOpen> port;
    switch (kind_) {
      case TargetKind::kPrinter:
        port = OpenUsbPrinter(fd);
        break;
      case TargetKind::kCharacter: {
        int status = 0;
        if (::isatty(fd)) {
          port = OpenSerialLine(fd);
        } else if (::ioctl(fd, LPGETSTATUS, &status) == 0) {
          port = OpenUsbPrinter(fd);
        } else {
          // A character device that is neither (e.g. a null device): a
          // stream. Its lock would be system-wide and guards nothing: two
          // programs writing to /dev/null must not refuse each other.
          ::flock(fd, LOCK_UN);
          port = OpenFilePort(fd, writing);
        }
        break;
      }
      case TargetKind::kFifo:
      case TargetKind::kFile:
        port = OpenFilePort(fd, writing);
        break;
    }
    if (!port) return 0;
    std::lock_guard lock(mutex_);
    const uintptr_t id = next_++;
    opens_.emplace(id, std::move(port));
    return id;
  }

  BOOL Close(uintptr_t open) override {
    std::shared_ptr<PortOpen> port;
    {
      std::lock_guard lock(mutex_);
      const auto it = opens_.find(open);
      if (it == opens_.end()) return Fail(ERROR_INVALID_HANDLE);
      port = std::move(it->second);
      opens_.erase(it);
    }
    port->Shutdown();
    // What the open still queues goes out now, or is discarded with a
    // failure; the descriptor closes when the last call in flight returns.
    return port->Finish();
  }

  BOOL Read(uintptr_t open, void* buffer, DWORD toRead, DWORD* read) override {
    auto port = Find(open);
    if (!port) return FALSE;
    return port->Read(buffer, toRead, read);
  }
  BOOL Write(uintptr_t open, const void* buffer, DWORD toWrite, DWORD* written) override {
    auto port = Find(open);
    if (!port) return FALSE;
    return port->Write(buffer, toWrite, written);
  }
  BOOL IoControl(uintptr_t open, DWORD code, BYTE* in, DWORD inLen, BYTE* out, DWORD outLen,
                 DWORD* returned) override {
    auto port = Find(open);
    if (!port) return FALSE;
    return port->IoControl(code, in, inLen, out, outLen, returned);
  }
  BOOL GetCommState(uintptr_t open, DCB* dcb) override {
    auto port = Find(open);
    if (!port) return FALSE;
    if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return port->GetCommState(dcb);
  }
  BOOL SetCommState(uintptr_t open, const DCB* dcb) override {
    auto port = Find(open);
    if (!port) return FALSE;
    if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return port->SetCommState(dcb);
  }
  BOOL GetCommTimeouts(uintptr_t open, COMMTIMEOUTS* timeouts) override {
    auto port = Find(open);
    if (!port) return FALSE;
    return port->GetCommTimeouts(timeouts);
  }
  BOOL SetCommTimeouts(uintptr_t open, const COMMTIMEOUTS* timeouts) override {
    auto port = Find(open);
    if (!port) return FALSE;
    return port->SetCommTimeouts(timeouts);
  }
  BOOL PurgeComm(uintptr_t open, DWORD flags) override {
    auto port = Find(open);
    if (!port) return FALSE;
    return port->PurgeComm(flags);
  }
  BOOL ClearCommError(uintptr_t open, DWORD* errors, COMSTAT* stat) override {
    auto port = Find(open);
    if (!port) return FALSE;
    return port->ClearCommError(errors, stat);
  }
  BOOL FlushBuffers(uintptr_t open) override {
    auto port = Find(open);
    if (!port) return FALSE;
    return port->FlushBuffers();
  }

 private:
  std::shared_ptr<PortOpen> Find(uintptr_t open) {
    std::lock_guard lock(mutex_);
    const auto it = opens_.find(open);
    if (it == opens_.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    return it->second;
  }

  const std::string path_;
  const TargetKind kind_;
  std::mutex mutex_;  // guards opens_ and next_
  std::map<uintptr_t, std::shared_ptr<PortOpen>> opens_;
  uintptr_t next_ = 1;
};

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

namespace {

struct Schemes {
  std::mutex mutex;
  std::map<std::u16string, PortMapper> factories;  // by lower-case scheme
};

Schemes& SchemeTable() {
  static auto* table = new Schemes;  // never destroyed: ports may be opened until exit
  return *table;
}

bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

// The scheme of "scheme:rest", or empty when the target has none.
std::u16string_view SchemeOf(std::u16string_view target) {
  if (target.empty() || !IsAsciiLetter(target[0])) return {};
  for (size_t i = 1; i < target.size(); ++i) {
    const char16_t c = target[i];
    if (c == u':') return target.substr(0, i);
    if (!IsAsciiLetter(c) && !(c >= u'0' && c <= u'9') && c != u'+' && c != u'-' && c != u'.') {
      return {};
    }
  }
  return {};
}

}  // namespace

void SetPortScheme(std::u16string_view scheme, PortMapper factory) {
  Schemes& table = SchemeTable();
  std::lock_guard lock(table.mutex);
  if (factory) {
    table.factories[Lower(scheme)] = std::move(factory);
  } else {
    table.factories.erase(Lower(scheme));
  }
}

std::shared_ptr<Device> OpenHostPort(std::u16string_view name, std::u16string_view target) {
  if (target.empty() || target.find(u'\0') != std::u16string_view::npos) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  if (const std::u16string_view scheme = SchemeOf(target); !scheme.empty()) {
    PortMapper factory;
    {
      Schemes& table = SchemeTable();
      std::lock_guard lock(table.mutex);
      const auto it = table.factories.find(Lower(scheme));
      if (it != table.factories.end()) factory = it->second;
    }
    if (!factory) {
      DebugLine("Host\\Ports " + ToUtf8(name) + " maps to \"" + ToUtf8(target) +
                "\": no handler for the scheme \"" + ToUtf8(scheme) + "\"");
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    return factory(name, target.substr(scheme.size() + 1));  // called without the table lock
  }
  std::string path = ToUtf8(target);
  TargetKind kind = TargetKind::kFile;
  struct stat info {};
  if (StartsWith(path, "/dev/usb/lp")) {
    kind = TargetKind::kPrinter;
  } else if (::stat(path.c_str(), &info) == 0) {
    if (S_ISCHR(info.st_mode)) kind = TargetKind::kCharacter;
    if (S_ISFIFO(info.st_mode)) kind = TargetKind::kFifo;
  } else if (StartsWith(path, "/dev/")) {
    // A device that is not there (unplugged adapter): opening must fail with
    // "not found", never create a file in its place.
    kind = TargetKind::kCharacter;
  }
  return std::make_shared<HostPort>(std::move(path), kind);
}

void InstallHostPortMapper() { SetPortMapper(OpenHostPort); }

}  // namespace kelo::host
