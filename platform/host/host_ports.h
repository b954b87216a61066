// Ports of the host mapped under HKEY_LOCAL_MACHINE\Host\Ports: serial lines
// (termios), USB printer-class devices (/dev/usb/lpN) and plain files.
// Private to platform/host; the few functions marked KELO_HOST_API are
// exported for the tests and the tools.
//
// Shape: one HostPort device per mapped name keeps a table of its opens; each
// open owns one descriptor and one backend (serial line, printer, file),
// chosen when the target is opened, not when it is mapped.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/host/host_api.h"

namespace kelo::host {

// The device for a mapped name, or null (last error set) when the target
// cannot be served. Nothing is opened here: every Device::Open opens the
// target anew and gets a descriptor of its own.
KELO_HOST_API std::shared_ptr<Device> OpenHostPort(std::u16string_view name,
                                                   std::u16string_view target);
// Makes CreateFileW resolve names mapped in the registry through OpenHostPort.
KELO_HOST_API void InstallHostPortMapper();

// Targets of the form "scheme:rest" (the scheme a letter followed by
// letters, digits, '+', '-' or '.', compared ignoring case) are served by
// the factory registered for the scheme, called with the port name and
// `rest`; host paths never take that form. A target with a scheme that has
// no factory fails with ERROR_FILE_NOT_FOUND and one debug line, instead of
// becoming a file of that name. A null factory removes the scheme.
KELO_HOST_API void SetPortScheme(std::u16string_view scheme, PortMapper factory);

// What a port's descriptor is; the classes differ in how a device that
// went away while open shows.
enum class PortClass {
  kStream,      // a file, a FIFO or another character device
  kSerialLine,  // a tty
  kPrinter,     // a USB printer-class device
};
// The Win32 error for a failed call on an open port of class `port`:
// `error` is the call's errno, 0 for a read that found nothing left on a
// descriptor that polls hung up; `hungUp`: poll reports POLLHUP on it.
// A vanished serial line is ERROR_SERIAL_NO_DEVICE, a vanished printer
// ERROR_DEV_NOT_EXIST; everything else as Win32ErrorFromErrno.
KELO_HOST_API DWORD PortErrorFromErrno(PortClass port, int error, bool hungUp);

// Parallel-class control codes answered by printer-class ports.
inline constexpr DWORD kIoctlGetDeviceId = 0x16000C;
inline constexpr DWORD kIoctlPortStatus = 0x160018;

// How many bytes of a device-ID reply to hand to a caller whose buffer holds
// `capacity` bytes. `reply` is what the kernel returned: a two-byte
// big-endian length that counts itself, then the text. A length below 2
// still yields the prefix itself; the result never passes the prefix length,
// the reply or the capacity. A reply shorter than its prefix gives 0.
KELO_HOST_API size_t DeviceIdBytesToDeliver(const BYTE* reply, size_t replySize,
                                            size_t capacity);

// DCB <-> termios. LineFromDcb puts the line into raw mode and applies the
// DCB fields a termios can hold (baud rate, byte size, parity, stop bits,
// XON/XOFF and their characters, CTS flow); it returns 0 or the Win32 error
// for a DCB it cannot represent (a rate outside the tables of
// serial_line.cpp, DSR or DTR flow control), leaving `line` untouched then.
// A rate without a termios name is set by number: its rate field says so
// and c_ospeed holds it.
KELO_HOST_API DWORD LineFromDcb(const DCB& dcb, termios* line);
// The DCB that `line` stands for. Fields a termios does not hold, and the
// choice between fOutxCtsFlow and RTS handshake behind CRTSCTS, come from
// `shadow` (what was last set on this open).
KELO_HOST_API void DcbFromLine(const termios& line, const DCB& shadow, DCB* dcb);

// How long to wait for a transmit queue to empty. The queue is sampled every
// few milliseconds while it keeps moving; the wait ends when it is empty,
// when it has not shrunk for `stallMs`, or after `boundMs` in all. Returns
// the bytes still queued (0: all sent). `queued` answers a negative count
// when the depth cannot be read, which counts as empty: there is nothing
// known to wait for. `stop`, when it turns true, ends the wait early.
struct DrainLimits {
  DWORD stallMs;
  DWORD boundMs;
};
KELO_HOST_API long WaitForQueueToDrain(const std::function<long()>& queued, DrainLimits limits,
                                       const std::atomic<bool>* stop = nullptr);

// One open of a host port. Operations it does not support fail with
// ERROR_NOT_SUPPORTED. May be used from several threads at once. Exported
// (with its type information) for the tests that drive a backend directly.
class KELO_HOST_API PortOpen {
 public:
  virtual ~PortOpen();
  // Wakes any call blocked on this open; later calls fail. The descriptor
  // is released when the last call in flight returns.
  virtual void Shutdown() {}
  virtual BOOL Read(void* buffer, DWORD toRead, DWORD* read);
  virtual BOOL Write(const void* buffer, DWORD toWrite, DWORD* written);
  virtual BOOL IoControl(DWORD code, BYTE* in, DWORD inLen, BYTE* out, DWORD outLen,
                         DWORD* returned);
  virtual BOOL GetCommState(DCB* dcb);
  virtual BOOL SetCommState(const DCB* dcb);
  virtual BOOL GetCommTimeouts(COMMTIMEOUTS* timeouts);
  virtual BOOL SetCommTimeouts(const COMMTIMEOUTS* timeouts);
  virtual BOOL PurgeComm(DWORD flags);
  virtual BOOL ClearCommError(DWORD* errors, COMSTAT* stat);
  // Waits until the bytes written have left (FlushFileBuffers).
  virtual BOOL FlushBuffers() { return TRUE; }
  // Called once by CloseHandle, after Shutdown: gets what the open still
  // holds out, or discards it and fails with ERROR_TIMEOUT.
  virtual BOOL Finish() { return TRUE; }
};

// A non-blocking descriptor whose reads and writes follow COMMTIMEOUTS with
// the Windows CE rules (interval timer running from the start of the read,
// a time-out completing the call with a short count). Owns `fd`.
class TimedDescriptor : public PortOpen {
 public:
  TimedDescriptor(int fd, PortClass portClass);
  ~TimedDescriptor() override;
  TimedDescriptor(const TimedDescriptor&) = delete;
  TimedDescriptor& operator=(const TimedDescriptor&) = delete;

  void Shutdown() override;
  BOOL Read(void* buffer, DWORD toRead, DWORD* read) override;
  BOOL Write(const void* buffer, DWORD toWrite, DWORD* written) override;
  BOOL GetCommTimeouts(COMMTIMEOUTS* timeouts) override;
  BOOL SetCommTimeouts(const COMMTIMEOUTS* timeouts) override;

 protected:
  int fd() const { return fd_; }
  COMMTIMEOUTS Timeouts() const;
  bool IsShutdown() const { return shutdown_.load(); }
  // Sleeps `ms`; false when Shutdown ran before or during the sleep.
  bool SleepUnlessShutdown(DWORD ms);
  const std::atomic<bool>& ShutdownFlag() const { return shutdown_; }
  // Closes the descriptor now (before the destructor), once.
  void CloseDescriptor();
  // The Win32 error for a call on the descriptor that failed with `error`
  // (PortErrorFromErrno, told whether the descriptor is hung up now).
  DWORD ErrorFor(int error) const;

 private:
  enum class Ready { kReady, kTimeout, kShutdown, kError };
  // Waits for `events` on the descriptor until `deadlineMs` (a steady-clock
  // millisecond count; negative: no deadline).
  Ready WaitFor(short events, long long deadlineMs, short* revents);

  int fd_;
  const PortClass class_;
  int wake_;  // eventfd, readable once Shutdown ran
  std::atomic<bool> shutdown_{false};
  mutable std::mutex mutex_;  // guards timeouts_
  COMMTIMEOUTS timeouts_{};
};

// Backends; each takes ownership of `fd` (also on failure, then null with the
// last error set).
std::shared_ptr<PortOpen> OpenSerialLine(int fd);
// Exported for the tests: any descriptor served as a printer.
KELO_HOST_API std::shared_ptr<PortOpen> OpenUsbPrinter(int fd);
// `capture`: opened for writing (see host_file_port.cpp). `fd` must be
// non-blocking: the write time-out is done by poll.
std::shared_ptr<PortOpen> OpenFilePort(int fd, bool capture);

}  // namespace kelo::host
