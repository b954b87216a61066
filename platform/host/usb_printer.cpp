// USB printer-class devices (/dev/usb/lpN): the IEEE 1284 device ID and the
// port status request as parallel-class control codes; reads and writes
// bounded by the port time-outs (TimedDescriptor).

#include <sys/ioctl.h>

#include <linux/lp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/host/host_ports.h"

namespace kelo::host {

namespace {

// The printer-class driver's device-ID request; not in the exported kernel
// headers: a read ioctl of type 'P', number 1, whose size field is the
// buffer length.
constexpr unsigned long GetDeviceIdRequest(unsigned len) { return _IOC(_IOC_READ, 'P', 1, len); }

// The driver keeps at most this many bytes of a device ID (its 1 KiB cache
// less the terminator it appends) and clamps the length prefix to it.
constexpr size_t kKernelDeviceIdMax = 1023;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

class UsbPrinter final : public TimedDescriptor {
 public:
  explicit UsbPrinter(int fd) : TimedDescriptor(fd, PortClass::kPrinter) {}

  BOOL IoControl(DWORD code, BYTE*, DWORD, BYTE* out, DWORD outLen, DWORD* returned) override {
    if (returned != nullptr) *returned = 0;
    switch (code) {
      case kIoctlGetDeviceId:
        return GetDeviceId(out, outLen, returned);
      case kIoctlPortStatus:
        return PortStatus(out, outLen, returned);
      default:
        return Fail(ERROR_NOT_SUPPORTED);
    }
  }

 private:
  BOOL GetDeviceId(BYTE* out, DWORD outLen, DWORD* returned) {
    if (out == nullptr && outLen != 0) return Fail(ERROR_INVALID_PARAMETER);
    if (outLen == 0) return Fail(ERROR_INSUFFICIENT_BUFFER);
    BYTE reply[kKernelDeviceIdMax + 1] = {};
    int result;
    do {
      result = ::ioctl(fd(), GetDeviceIdRequest(sizeof reply), reply);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return Fail(ErrorFor(errno));
    const size_t n = DeviceIdBytesToDeliver(reply, kKernelDeviceIdMax, outLen);
    if (n == 0) return Fail(ERROR_GEN_FAILURE);
    std::memcpy(out, reply, n);
    // The ID is not NUL-terminated; a terminator after it (not counted)
    // keeps a caller's string search inside the reply.
    if (n < outLen) out[n] = 0;
    if (returned != nullptr) *returned = static_cast<DWORD>(n);
    return TRUE;
  }

  // Succeeds while the device is there; the status byte is handed out as a
  // DWORD when the caller gave room for one. A device that went away fails
  // it with ERROR_DEV_NOT_EXIST, which is how the port layer learns that a
  // read found nothing because the printer is gone.
  BOOL PortStatus(BYTE* out, DWORD outLen, DWORD* returned) {
    if (out != nullptr && outLen < sizeof(DWORD)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (IsShutdown()) return Fail(ERROR_INVALID_HANDLE);
    int status = 0;
    int result;
    do {
      result = ::ioctl(fd(), LPGETSTATUS, &status);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return Fail(ErrorFor(errno));
    if (out != nullptr) {
      const DWORD value = static_cast<DWORD>(status) & 0xFFu;
      std::memcpy(out, &value, sizeof value);
      if (returned != nullptr) *returned = sizeof value;
    }
    return TRUE;
  }
};

}  // namespace

size_t DeviceIdBytesToDeliver(const BYTE* reply, size_t replySize, size_t capacity) {
  if (reply == nullptr || replySize < 2) return 0;
  // Big-endian, and it counts its own two bytes.
  size_t length = (static_cast<size_t>(reply[0]) << 8) | reply[1];
  if (length < 2) length = 2;
  return std::min({length, replySize, capacity});
}

std::shared_ptr<PortOpen> OpenUsbPrinter(int fd) { return std::make_shared<UsbPrinter>(fd); }

}  // namespace kelo::host
