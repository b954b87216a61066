// Printer-class ports: cutting of captured device-ID replies, and the paths
// that run without a printer attached.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/host/host_api.h"
#include "platform/host/host_ports.h"

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

}  // namespace
