// The termios2 requests. Only kernel headers here: <asm/termbits.h> and
// <termios.h> define the same names differently.

#include "platform/host/line_settings.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cerrno>
#include <cstring>

// <sys/ioctl.h> pulls in glibc's termios types; the prototype is all that
// is needed.
extern "C" int ioctl(int fd, unsigned long request, ...);

namespace kelo::host {

static_assert(kLineControlChars == NCCS);
static_assert(kRateByNumber == BOTHER);

namespace {

template <typename Call>
int RetryEintr(Call call) {
  int result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result < 0 ? errno : 0;
}

}  // namespace

int ReadLineSettings(int fd, LineSettings* line) {
  termios2 t{};
  if (const int error = RetryEintr([&] { return ::ioctl(fd, TCGETS2, &t); }); error != 0) {
    return error;
  }
  line->iflag = t.c_iflag;
  line->oflag = t.c_oflag;
  line->cflag = t.c_cflag;
  line->lflag = t.c_lflag;
  line->discipline = t.c_line;
  std::memcpy(line->cc, t.c_cc, sizeof line->cc);
  line->outputRate = t.c_ospeed;
  return 0;
}

int WriteLineSettings(int fd, const LineSettings& line) {
  termios2 t{};
  t.c_iflag = line.iflag;
  t.c_oflag = line.oflag;
  // No input rate of its own (CIBAUD 0): it follows the output rate.
  t.c_cflag = line.cflag & ~static_cast<tcflag_t>(CIBAUD);
  t.c_lflag = line.lflag;
  t.c_line = line.discipline;
  std::memcpy(t.c_cc, line.cc, sizeof t.c_cc);
  t.c_ospeed = line.outputRate;
  t.c_ispeed = line.outputRate;
  return RetryEintr([&] { return ::ioctl(fd, TCSETS2, &t); });
}

}  // namespace kelo::host
