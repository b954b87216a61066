#include "pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "emulator/emulated_printer.h"
#include "emulator/file_io.h"
#include "report.h"

namespace kelo::tools {

namespace {

using kelo::emulator::EmulatedPrinter;

// How often delayed status answers are looked for while the line is quiet.
constexpr int kAnswerPollMs = 5;
constexpr size_t kChunkBytes = 4096;

int g_stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char byte = 1;
  // Async-signal-safe; a full pipe already says "stop".
  [[maybe_unused]] const ssize_t n = ::write(g_stopPipe[1], &byte, 1);
}

bool InstallStopSignals(std::string* error) {
  if (::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::string("cannot create a pipe: ") + std::strerror(errno);
    return false;
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);  // a client gone from the terminal is no reason to die
  return true;
}

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool WriteAll(int fd, const BYTE* bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
    } else if (n < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

bool Fail(const std::string& message) {
  std::fprintf(stderr, "kelo-emulate: %s\n", message.c_str());
  return false;
}

int IoError(const std::string& message) {
  Fail(message);
  return kExitIo;
}

}  // namespace

int ServePty(const CommandLine& line) {
  std::string error;
  if (!InstallStopSignals(&error)) return IoError(error);

  Descriptor master(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  char path[128] = {};
  if (master.get() < 0 || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0 ||
      ::ptsname_r(master.get(), path, sizeof path) != 0) {
    return IoError(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
  }
  // Holding the terminal side open keeps the line alive between the
  // clients' opens; raw mode keeps our answers from being echoed back to us
  // before a client has set the line up.
  Descriptor terminal(::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios raw{};
  if (terminal.get() < 0 || ::tcgetattr(terminal.get(), &raw) != 0) {
    return IoError(std::string("cannot open ") + path + ": " + std::strerror(errno));
  }
  ::cfmakeraw(&raw);
  ::tcsetattr(terminal.get(), TCSANOW, &raw);

  auto printer = std::make_shared<EmulatedPrinter>(line.printer);
  if (!line.capturePath.empty() && !printer->SetCaptureFile(line.capturePath)) {
    return IoError("cannot create " + line.capturePath + ": " +
                   kelo::emulator::ErrorText(GetLastError()));
  }
  if (!line.previewPath.empty()) printer->SetPreviewFile(line.previewPath);
  const uintptr_t open = printer->Open(GENERIC_READ | GENERIC_WRITE, 0);
  COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};  // collect what is due, never wait
  printer->SetCommTimeouts(open, &immediate);

  std::printf("%s\n", path);
  std::fflush(stdout);

  bool ok = true;
  bool stdinOpen = true;
  BYTE chunk[kChunkBytes];
  while (ok) {
    pollfd fds[3] = {{master.get(), POLLIN, 0}, {g_stopPipe[0], POLLIN, 0},
                     {stdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
    if (::poll(fds, 3, kAnswerPollMs) < 0 && errno != EINTR) {
      ok = Fail(std::string("poll: ") + std::strerror(errno));
      break;
    }
    if ((fds[1].revents & POLLIN) != 0) break;
    if ((fds[2].revents & POLLNVAL) != 0) {
      stdinOpen = false;  // no standard input at all: only the signals stop us
    } else if (fds[2].revents != 0) {
      const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      const ssize_t n = ::read(master.get(), chunk, sizeof chunk);
      if (n < 0 && errno != EINTR && errno != EAGAIN) {
        ok = Fail(std::string("reading the terminal: ") + std::strerror(errno));
        break;
      }
      for (DWORD done = 0; n > 0 && done < static_cast<DWORD>(n);) {
        DWORD accepted = 0;
        printer->Write(open, chunk + done, static_cast<DWORD>(n) - done, &accepted);
        done += accepted;
        if (accepted == 0) break;
      }
    }
    DWORD answers = 0;
    if (printer->Read(open, chunk, sizeof chunk, &answers) && answers > 0 &&
        !WriteAll(master.get(), chunk, answers)) {
      ok = Fail(std::string("writing the terminal: ") + std::strerror(errno));
    }
  }

  printer->Close(open);  // writes the preview
  int result = ok ? kExitOk : kExitIo;
  printer->Inspect([&](const kelo::emulator::StreamDecoder& decoder) {
    std::printf("%s", FormatReport(decoder, line.printer.widthDots).c_str());
    if (ok && decoder.error()) result = kExitDecodeError;
  });
  std::fflush(stdout);
  return result;
}

}  // namespace kelo::tools
