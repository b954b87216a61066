// Printer-class ports: cutting of captured device-ID replies, and the paths
// that run without a printer attached.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "platform/host/host_api.h"
#include "platform/host/host_ports.h"
#include "tests/host_ports/pty_pair.h"

namespace {

using kelo::host::DeviceIdBytesToDeliver;

// Sized once and filled in place: GCC 12 with optimisation takes an insert
// after a two-byte start for a write past it (a false -Warray-bounds).
std::vector<BYTE> Reply(size_t length, const std::string& text) {
  std::vector<BYTE> bytes(2 + text.size());
  bytes[0] = static_cast<BYTE>(length >> 8);
  bytes[1] = static_cast<BYTE>(length & 0xFF);
  std::copy(text.begin(), text.end(), bytes.begin() + 2);
  return bytes;
}

TEST(DeviceIdReply, LengthPrefixIsBigEndianAndCountsItself) {
  const std::string text = "MFG:Acme;CMD:ESC;DESCRIPTION:USB Printer T4;";
  const std::vector<BYTE> reply = Reply(text.size() + 2, text + "\0garbage-after-the-id");
  EXPECT_EQ(DeviceIdBytesToDeliver(reply.data(), reply.size(), 256), text.size() + 2);
}

TEST(DeviceIdReply, IsCutAtTheCallersBuffer) {
  const std::string text(400, 'x');
  const std::vector<BYTE> reply = Reply(402, text);
  EXPECT_EQ(DeviceIdBytesToDeliver(reply.data(), reply.size(), 256), 256u);
  EXPECT_EQ(DeviceIdBytesToDeliver(reply.data(), reply.size(), 1), 1u);
  EXPECT_EQ(DeviceIdBytesToDeliver(reply.data(), reply.size(), 0), 0u);
}

TEST(DeviceIdReply, LengthFieldLargerThanTheReplyStopsAtTheReply) {
  // A device that sends its length little-endian: 0x2A00 claimed, 42 there.
  const std::string text(40, 'k');
  const std::vector<BYTE> reply = Reply(0x2A00, text);
  EXPECT_EQ(DeviceIdBytesToDeliver(reply.data(), reply.size(), 256), reply.size());
  EXPECT_EQ(DeviceIdBytesToDeliver(reply.data(), reply.size(), 10), 10u);
}

TEST(DeviceIdReply, LengthBelowTwoDeliversOnlyThePrefix) {
  for (const size_t length : {0u, 1u}) {
    SCOPED_TRACE(length);
    const std::vector<BYTE> reply = Reply(length, "MFG:stale bytes");
    EXPECT_EQ(DeviceIdBytesToDeliver(reply.data(), reply.size(), 256), 2u);
  }
}

TEST(DeviceIdReply, LengthThatIsAMultipleOf256KeepsItsHighByte) {
  // Taking one byte of the prefix as the length would give 0 here.
  for (const size_t length : {256u, 512u}) {
    SCOPED_TRACE(length);
    const std::vector<BYTE> reply = Reply(length, std::string(length, 'm'));
    EXPECT_EQ(DeviceIdBytesToDeliver(reply.data(), reply.size(), 1024), length);
    EXPECT_EQ(DeviceIdBytesToDeliver(reply.data(), reply.size(), 256), 256u);
  }
}

TEST(DeviceIdReply, ReplyShorterThanItsPrefixDeliversNothing) {
  const BYTE one[] = {0x00};
  EXPECT_EQ(DeviceIdBytesToDeliver(one, sizeof one, 256), 0u);
  EXPECT_EQ(DeviceIdBytesToDeliver(nullptr, 10, 256), 0u);
}

TEST(UsbPrinterPort, MissingDeviceFailsToOpenWithFileNotFound) {
  const char* path = "/dev/usb/lp9";
  struct stat info {};
  if (::stat(path, &info) == 0) GTEST_SKIP() << "a printer is attached as lp9";

  // Straight at the device: mapping succeeds, the open fails.
  auto device = kelo::host::OpenHostPort(u"LPT1:", u"/dev/usb/lp9");
  ASSERT_TRUE(device);
  SetLastError(0);
  EXPECT_EQ(device->Open(GENERIC_READ | GENERIC_WRITE, 0), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // Through the namespace, as the library opens an LPT port.
  kelo::host::InstallHostPortMapper();
  kelo::host::SetRegistryString(u"Host\\Ports", u"LPT1:", u"/dev/usb/lp9");
  SetLastError(0);
  EXPECT_EQ(CreateFileW(u"LPT1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_NE(::stat(path, &info), 0) << "the open must not create the device node";
}

// A printer unplugged while open leaves a descriptor that polls hung up
// and fails every call. No printer-class device can be made here; a
// terminal whose other end closed behaves the same way (reads find
// nothing, calls fail with EIO, POLLHUP), which is the case the printer
// class tells apart from a plain EIO.
TEST(UsbPrinterPort, DeviceThatHungUpFailsEveryCallAsGone) {
  kelo::test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  const int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  pty.CloseMaster();
  const auto port = kelo::host::OpenUsbPrinter(fd);
  ASSERT_TRUE(port);
  COMMTIMEOUTS timeouts{0, 0, 2000, 0, 2000};
  ASSERT_TRUE(port->SetCommTimeouts(&timeouts));

  struct Call {
    const char* what;
    std::function<BOOL()> call;
  };
  BYTE buffer[256];
  DWORD count = 0;
  const Call calls[] = {
      {"read", [&] { return port->Read(buffer, sizeof buffer, &count); }},
      {"write", [&] { return port->Write(buffer, 3, &count); }},
      // The port layer's follow-up after a read that found nothing: its
      // failure is how a printer that went away is told from a quiet one.
      {"port status",
       [&] {
         return port->IoControl(kelo::host::kIoctlPortStatus, nullptr, 0, buffer, 4, &count);
       }},
      {"device ID",
       [&] {
         return port->IoControl(kelo::host::kIoctlGetDeviceId, nullptr, 0, buffer, sizeof buffer,
                                &count);
       }},
  };
  for (const Call& c : calls) {
    SCOPED_TRACE(c.what);
    SetLastError(0);
    count = 0xFFFF;
    EXPECT_FALSE(c.call());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEV_NOT_EXIST));
    EXPECT_EQ(count, 0u);
  }
}

// How a device that went away shows differs by class; a failure that does
// not say so keeps its ordinary code, so that a busy or stalled device is
// never taken for a lost one.
TEST(PortErrors, AVanishedDeviceIsToldApartByTheClassOfItsPort) {
  using kelo::host::PortClass;
  struct Case {
    PortClass port;
    int error;
    bool hungUp;
    DWORD expected;
  };
  const DWORD serialGone = ERROR_SERIAL_NO_DEVICE;
  const DWORD printerGone = ERROR_DEV_NOT_EXIST;
  const Case cases[] = {
      {PortClass::kSerialLine, ENODEV, false, serialGone},  // USB adapter unplugged
      {PortClass::kSerialLine, ENXIO, false, serialGone},
      {PortClass::kSerialLine, EIO, false, serialGone},  // tty hung up
      {PortClass::kSerialLine, 0, true, serialGone},     // read of a hung-up tty
      {PortClass::kSerialLine, ENOTTY, false, static_cast<DWORD>(ERROR_GEN_FAILURE)},
      {PortClass::kPrinter, ENODEV, false, printerGone},
      {PortClass::kPrinter, EIO, true, printerGone},
      {PortClass::kPrinter, EIO, false, static_cast<DWORD>(ERROR_GEN_FAILURE)},  // a stall
      {PortClass::kPrinter, EBUSY, true, static_cast<DWORD>(ERROR_SHARING_VIOLATION)},
      {PortClass::kStream, EIO, true, static_cast<DWORD>(ERROR_GEN_FAILURE)},
      {PortClass::kStream, EPIPE, false, static_cast<DWORD>(ERROR_NO_DATA)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(c.port) << " errno " << c.error
                                    << (c.hungUp ? " hung up" : ""));
    EXPECT_EQ(kelo::host::PortErrorFromErrno(c.port, c.error, c.hungUp), c.expected);
  }
}

}  // namespace
