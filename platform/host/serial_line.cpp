// Serial lines through termios: the DCB mapped onto the line settings, RTS
// through the modem-control ioctls, time-outs by poll (TimedDescriptor).

#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string>

#include "platform/host/host_internal.h"
#include "platform/host/host_ports.h"
#include "platform/host/line_settings.h"

namespace kelo::host {

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

struct BaudRate {
  DWORD rate;
  speed_t speed;
};

// The rates termios can name.
constexpr BaudRate kBaudRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// Rates the port names can ask for that termios cannot name; they are set
// as numbers (the line's driver picks its divisor). Any other rate is
// refused rather than rounded, so the caller learns the line was not set.
constexpr DWORD kRatesByNumber[] = {14400, 56000, 128000, 256000};

static_assert(kLineControlChars <= NCCS);
static_assert((CBAUD & kRateByNumber) == kRateByNumber);

bool SpeedForRate(DWORD rate, speed_t* speed) {
  for (const BaudRate& entry : kBaudRates) {
    if (entry.rate == rate) {
      *speed = entry.speed;
      return true;
    }
  }
  return false;
}

DWORD RateForSpeed(speed_t speed) {
  for (const BaudRate& entry : kBaudRates) {
    if (entry.speed == speed) return entry.rate;
  }
  return 0;
}

bool SetByNumber(DWORD rate) {
  return std::find(std::begin(kRatesByNumber), std::end(kRatesByNumber), rate) !=
         std::end(kRatesByNumber);
}

bool RateIsSettable(DWORD rate) {
  speed_t speed = B0;
  return SpeedForRate(rate, &speed) || SetByNumber(rate);
}

// Bits per second; 0 for a rate field that names none.
DWORD RateOfLine(const termios& line) {
  if ((line.c_cflag & CBAUD) == kRateByNumber) return line.c_ospeed;
  return RateForSpeed(cfgetospeed(&line));
}

// A driver may report a rate set by number as the one its divisor gives;
// within 2 % (well inside what a receiver tolerates) it is the rate asked
// for.
bool RatesMatch(DWORD asked, DWORD got) {
  const unsigned long long difference = asked > got ? asked - got : got - asked;
  return asked != 0 && difference * 50 <= asked;
}

// termios <-> the kernel's layout. A rate set by number travels in
// c_ospeed, a named one in the rate field of c_cflag (and, as <termios.h>
// keeps it, as the B-code in c_ospeed).
LineSettings ToKernel(const termios& line) {
  LineSettings k;
  k.iflag = line.c_iflag;
  k.oflag = line.c_oflag;
  k.cflag = line.c_cflag;
  k.lflag = line.c_lflag;
  k.discipline = line.c_line;
  std::copy_n(line.c_cc, kLineControlChars, k.cc);
  k.outputRate = RateOfLine(line);
  return k;
}

termios FromKernel(const LineSettings& k) {
  termios line{};
  line.c_iflag = k.iflag;
  line.c_oflag = k.oflag;
  line.c_cflag = k.cflag;
  line.c_lflag = k.lflag;
  line.c_line = k.discipline;
  std::copy_n(k.cc, kLineControlChars, line.c_cc);
  const bool byNumber = (k.cflag & CBAUD) == kRateByNumber;
  line.c_ospeed = byNumber ? k.outputRate : k.cflag & CBAUD;
  line.c_ispeed = line.c_ospeed;
  return line;
}

// The bits of a line that LineFromDcb decides; a driver that drops any of
// them (a pseudo-terminal forces 8 bits without parity) did not take the DCB.
constexpr tcflag_t kCflagBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr tcflag_t kIflagBits = IXON | IXOFF | IXANY | INPCK | IGNPAR;

bool LineTook(const termios& wanted, const termios& got) {
  return RatesMatch(RateOfLine(wanted), RateOfLine(got)) &&
         (wanted.c_cflag & kCflagBits) == (got.c_cflag & kCflagBits) &&
         (wanted.c_iflag & kIflagBits) == (got.c_iflag & kIflagBits);
}

// The drain limits for `bytes` queued on a line at `baudRate`: twice the
// time the line needs for them (11 bits a byte covers parity and two stop
// bits), plus the stall time and a second; the stall time is the write
// time-out, at least 100 ms (a line without a write time-out gets 2 s).
DrainLimits DrainLimitsFor(long bytes, DWORD baudRate, DWORD writeTimeoutMs) {
  constexpr unsigned long long kBitsPerByte = 11;
  const DWORD stallMs = writeTimeoutMs == 0 ? 2000 : std::max<DWORD>(writeTimeoutMs, 100);
  const unsigned long long lineMs =
      baudRate == 0 ? 0
                    : static_cast<unsigned long long>(std::max(bytes, 0L)) * kBitsPerByte * 1000 /
                          baudRate;
  const unsigned long long boundMs = 2 * lineMs + stallMs + 1000;
  return {stallMs, static_cast<DWORD>(std::min<unsigned long long>(boundMs, 0x7FFFFFFF))};
}

template <typename Call>
int RetryEintr(Call call) {
  int result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

}  // namespace

DWORD LineFromDcb(const DCB& dcb, termios* line) {
  speed_t speed = B0;
  const bool named = SpeedForRate(dcb.BaudRate, &speed);
  if (!named && !SetByNumber(dcb.BaudRate)) return ERROR_INVALID_PARAMETER;
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return ERROR_INVALID_PARAMETER;
  if (dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) return ERROR_INVALID_PARAMETER;
  if (dcb.fRtsControl == RTS_CONTROL_TOGGLE) return ERROR_INVALID_PARAMETER;  // no such mode here
  // termios has no flow control on DSR or DTR: taking the block would leave
  // the line without the flow control the caller counts on.
  if (dcb.fOutxDsrFlow || dcb.fDtrControl > DTR_CONTROL_ENABLE) return ERROR_INVALID_PARAMETER;
  const bool xonXoff = dcb.fOutX || dcb.fInX;
  if (xonXoff && dcb.XonChar == dcb.XoffChar) return ERROR_INVALID_PARAMETER;

  termios t = *line;
  // One rate both ways: no input rate of its own.
  t.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);
  if (named) {
    if (cfsetospeed(&t, speed) != 0 || cfsetispeed(&t, speed) != 0) return ERROR_INVALID_PARAMETER;
  } else {
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CBAUD)) | kRateByNumber;
    t.c_ospeed = dcb.BaudRate;
    t.c_ispeed = dcb.BaudRate;
  }

  // Raw: every byte arrives as sent. Breaks are ignored, and with parity on
  // a damaged byte is dropped (INPCK|IGNPAR) instead of arriving as 0x00,
  // which a status reader would take for "ready". IXANY stays off so that a
  // status byte cannot restart output the printer stopped with XOFF.
  t.c_iflag &= ~static_cast<tcflag_t>(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                       IXOFF | IXANY | INPCK | IGNPAR | IMAXBEL);
  t.c_iflag |= IGNBRK;
  if (dcb.fOutX) t.c_iflag |= IXON;
  if (dcb.fInX) t.c_iflag |= IXOFF;
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);

  // CLOCAL: the line works without carrier; no HUPCL: closing leaves the
  // modem lines alone (dropping them resets some printers).
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
  t.c_cflag |= CLOCAL | CREAD;
  switch (dcb.ByteSize) {
    case 5:
      t.c_cflag |= CS5;
      break;
    case 6:
      t.c_cflag |= CS6;
      break;
    case 7:
      t.c_cflag |= CS7;
      break;
    default:
      t.c_cflag |= CS8;
      break;
  }
  switch (dcb.Parity) {
    case ODDPARITY:
      t.c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      t.c_cflag |= PARENB;
      break;
    case MARKPARITY:
      t.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case SPACEPARITY:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (dcb.Parity != NOPARITY) t.c_iflag |= INPCK | IGNPAR;
  if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
  if (xonXoff) {
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  }
  // Reads never wait in the line discipline; poll does the time-outs.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  *line = t;
  return 0;
}

void DcbFromLine(const termios& line, const DCB& shadow, DCB* dcb) {
  *dcb = shadow;
  dcb->DCBlength = sizeof(DCB);
  // The rate asked for stands while the line runs at it (give or take what
  // the driver's divisor makes of it).
  const DWORD rate = RateOfLine(line);
  if (rate != 0 && !RatesMatch(shadow.BaudRate, rate)) dcb->BaudRate = rate;
  switch (line.c_cflag & CSIZE) {
    case CS5:
      dcb->ByteSize = 5;
      break;
    case CS6:
      dcb->ByteSize = 6;
      break;
    case CS7:
      dcb->ByteSize = 7;
      break;
    default:
      dcb->ByteSize = 8;
      break;
  }
  if ((line.c_cflag & PARENB) == 0) {
    dcb->Parity = NOPARITY;
  } else if ((line.c_cflag & CMSPAR) != 0) {
    dcb->Parity = (line.c_cflag & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
  } else {
    dcb->Parity = (line.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
  }
  // CSTOPB stands for both 1.5 and 2 stop bits.
  if ((line.c_cflag & CSTOPB) == 0) {
    dcb->StopBits = ONESTOPBIT;
  } else if (shadow.StopBits != ONE5STOPBITS) {
    dcb->StopBits = TWOSTOPBITS;
  }
  dcb->fOutX = (line.c_iflag & IXON) != 0;
  dcb->fInX = (line.c_iflag & IXOFF) != 0;
  dcb->XonChar = static_cast<char>(line.c_cc[VSTART]);
  dcb->XoffChar = static_cast<char>(line.c_cc[VSTOP]);
  // CRTSCTS is CTS output flow and RTS handshake at once; which of the two
  // was asked for is known from the shadow only.
  if ((line.c_cflag & CRTSCTS) != 0) {
    if (!shadow.fOutxCtsFlow && shadow.fRtsControl != RTS_CONTROL_HANDSHAKE) {
      dcb->fOutxCtsFlow = 1;
      dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    }
  } else {
    dcb->fOutxCtsFlow = 0;
    if (shadow.fRtsControl == RTS_CONTROL_HANDSHAKE) dcb->fRtsControl = RTS_CONTROL_ENABLE;
  }
}

namespace {

class SerialLine final : public TimedDescriptor {
 public:
  explicit SerialLine(int fd) : TimedDescriptor(fd, PortClass::kSerialLine) {}

  ~SerialLine() override {
    // Closing a tty waits until its output has gone, for ever when the
    // printer holds CTS low: an open that was never closed through Finish
    // still gets the bounded wait.
    if (!finished_) Finish();
  }

  BOOL Finish() override {
    finished_ = true;
    const long left = Drain(nullptr);
    if (left > 0) {
      // The printer stopped taking bytes: drop them, so that the close
      // cannot hang, and say so. A queue that reads empty is never flushed:
      // a pseudo-terminal reports no queue at all while its other end still
      // has bytes to read, and a flush would throw those away.
      RetryEintr([&] { return ::tcflush(fd(), TCOFLUSH); });
      DebugLine("serial line: " + std::to_string(left) +
                " bytes the printer did not take were discarded at close");
    }
    // The descriptor itself closes with the last call in flight: a reader
    // woken by Shutdown may still be on its way out of poll.
    if (left > 0) return Fail(ERROR_TIMEOUT);
    return TRUE;
  }

  BOOL FlushBuffers() override {
    if (IsShutdown()) return Fail(ERROR_INVALID_HANDLE);
    // A line that is gone has no queue to report; the bytes in it are lost.
    termios line{};
    if (const int error = ReadLine(&line); error != 0) return Fail(ErrorFor(error));
    return Drain(&ShutdownFlag()) > 0 ? Fail(ERROR_TIMEOUT) : TRUE;
  }

  BOOL ClearCommError(DWORD* errors, COMSTAT* stat) override {
    if (IsShutdown()) return Fail(ERROR_INVALID_HANDLE);
    if (errors != nullptr) *errors = 0;  // framing and overrun errors are not tracked
    if (stat != nullptr) {
      *stat = COMSTAT{};
      int in = 0;
      if (::ioctl(fd(), FIONREAD, &in) != 0) return Fail(ErrorFor(errno));
      stat->cbInQue = static_cast<DWORD>(std::max(in, 0));
      stat->cbOutQue = static_cast<DWORD>(std::max(QueuedOutput(), 0L));
    }
    return TRUE;
  }

  bool Init() {
    termios line{};
    if (const int error = ReadLine(&line); error != 0) {
      SetLastError(ErrorFor(error));
      return false;
    }
    int bits = 0;
    modemLines_ = ::ioctl(fd(), TIOCMGET, &bits) == 0;

    // Start from a known line: raw 8N1 without flow control at the current
    // rate, whatever the previous user of the device left behind.
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = RateOfLine(line);
    if (!RateIsSettable(dcb.BaudRate)) dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl =
        !modemLines_ || (bits & TIOCM_RTS) != 0 ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    const DWORD error = LineFromDcb(dcb, &line);
    if (error != 0) {
      SetLastError(error);
      return false;
    }
    if (const int failure = WriteLine(line); failure != 0) {
      SetLastError(ErrorFor(failure));
      return false;
    }
    shadow_ = dcb;
    return true;
  }

  BOOL GetCommState(DCB* dcb) override {
    std::lock_guard lock(mutex_);
    termios line{};
    if (const int error = ReadLine(&line); error != 0) return Fail(ErrorFor(error));
    DcbFromLine(line, shadow_, dcb);
    return TRUE;
  }

  BOOL SetCommState(const DCB* dcb) override {
    std::lock_guard lock(mutex_);
    // All or nothing: the flags and the rate go in one request, a line
    // that did not take all of them is put back as it was, and the shadow
    // changes only once everything is in place.
    LineSettings old;
    if (const int failure = ReadLineSettings(fd(), &old); failure != 0) {
      return Fail(ErrorFor(failure));
    }
    termios line = FromKernel(old);
    const DWORD error = LineFromDcb(*dcb, &line);
    if (error != 0) return Fail(error);
    if (const int failure = WriteLine(line); failure != 0) return Fail(ErrorFor(failure));
    termios now{};
    if (const int failure = ReadLine(&now); failure != 0) {
      Restore(old);
      return Fail(ErrorFor(failure));
    }
    if (!LineTook(line, now)) {
      Restore(old);
      return Fail(ERROR_INVALID_PARAMETER);
    }
    // After the termios change: with CRTSCTS still on, the driver could
    // raise RTS again behind a TIOCMBIC. A device without modem lines (a
    // pseudo-terminal) only fails when asked to change the line.
    const DWORD rts = dcb->fRtsControl;
    if ((rts == RTS_CONTROL_ENABLE || rts == RTS_CONTROL_DISABLE) &&
        (modemLines_ || rts != shadow_.fRtsControl)) {
      const int bit = TIOCM_RTS;
      const unsigned long request = rts == RTS_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC;
      if (RetryEintr([&] { return ::ioctl(fd(), request, &bit); }) != 0) {
        const DWORD cause = ErrorFor(errno);
        Restore(old);
        return Fail(cause == ERROR_SERIAL_NO_DEVICE ? cause : ERROR_NOT_SUPPORTED);
      }
    }
    shadow_ = *dcb;
    shadow_.DCBlength = sizeof(DCB);
    return TRUE;
  }

  BOOL PurgeComm(DWORD flags) override {
    if ((flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    const bool tx = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
    const bool rx = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
    if (!tx && !rx) return TRUE;
    const int queue = tx && rx ? TCIOFLUSH : tx ? TCOFLUSH : TCIFLUSH;
    if (RetryEintr([&] { return ::tcflush(fd(), queue); }) != 0) return Fail(ErrorFor(errno));
    return TRUE;
  }

 private:
  // 0 or the errno.
  int ReadLine(termios* line) const {
    LineSettings k;
    if (const int error = ReadLineSettings(fd(), &k); error != 0) return error;
    *line = FromKernel(k);
    return 0;
  }
  int WriteLine(const termios& line) const { return WriteLineSettings(fd(), ToKernel(line)); }

  void Restore(const LineSettings& old) { WriteLineSettings(fd(), old); }

  // Bytes written and not yet sent; -1 when the driver cannot tell.
  long QueuedOutput() const {
    int pending = 0;
    if (::ioctl(fd(), TIOCOUTQ, &pending) != 0) return -1;
    return pending;
  }

  // Waits while the transmit queue drains; returns the bytes left.
  long Drain(const std::atomic<bool>* stop) {
    const long queued = QueuedOutput();
    if (queued <= 0) return 0;
    termios line{};
    const DWORD rate = ReadLine(&line) == 0 ? RateOfLine(line) : 0;
    const DrainLimits limits = DrainLimitsFor(queued, rate, Timeouts().WriteTotalTimeoutConstant);
    return WaitForQueueToDrain([this] { return QueuedOutput(); }, limits, stop);
  }

  std::mutex mutex_;  // guards shadow_; one line change at a time
  DCB shadow_{};       // the DCB last set (fields termios does not hold)
  bool modemLines_ = false;  // TIOCMGET works: the device has RTS/DTR
  bool finished_ = false;    // Finish ran (CloseHandle); set on the closing thread only
};

}  // namespace

std::shared_ptr<PortOpen> OpenSerialLine(int fd) {
  auto line = std::make_shared<SerialLine>(fd);
  if (!line->Init()) return nullptr;  // the destructor closes fd
  return line;
}

}  // namespace kelo::host
