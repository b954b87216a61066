// Port operations: whole writes, reads, the follow-up request, RTS, close.

#include <gtest/gtest.h>

#include <cstring>

#include "platform/platform.h"
#include "port/port_io.h"
#include "port/port_kind.h"
#include "tests/port/port_double.h"

namespace {

using kelo::test::InstallPort;
using kelo::test::PortDouble;

constexpr DWORD kSentinel = 0xC0FFEE;

HANDLE OpenDevice(const char16_t* name) {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

class PortIo : public ::testing::Test {
 protected:
  void SetUp() override {
    com = InstallPort(u"COM1:", PortDouble::Type::kSerial);
    lpt = InstallPort(u"LPT1:", PortDouble::Type::kParallel);
    comHandle = OpenDevice(u"COM1:");
    lptHandle = OpenDevice(u"LPT1:");
    ASSERT_NE(comHandle, INVALID_HANDLE_VALUE);
    ASSERT_NE(lptHandle, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    CloseHandle(comHandle);
    CloseHandle(lptHandle);
  }
  std::shared_ptr<PortDouble> com, lpt;
  HANDLE comHandle = INVALID_HANDLE_VALUE;
  HANDLE lptHandle = INVALID_HANDLE_VALUE;
  const BYTE data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
};

TEST_F(PortIo, WriteLoopsOverShortWritesUntilAllIsSent) {
  com->SetWriteChunks({4, 6});
  EXPECT_TRUE(WritePort(comHandle, kPortSerial, data, sizeof(data)));
  EXPECT_EQ(com->WriteCalls(), 2);
  EXPECT_EQ(com->WrittenBytes(), std::vector<BYTE>(data, data + 10));
  ASSERT_EQ(com->Writes().size(), 2u);
  EXPECT_EQ(com->Writes()[1].bytes.size(), 6u);
}

TEST_F(PortIo, WriteThatMovesNothing) {
  com->AcceptNothing(true);
  SetLastError(kSentinel);
  EXPECT_FALSE(WritePort(comHandle, kPortSerial, data, sizeof(data)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));

  // Parallel-class port whose follow-up request succeeds: the printer is
  // there but took nothing, which is a time-out too, never a failure
  // without a code.
  lpt->AcceptNothing(true);
  SetLastError(kSentinel);
  EXPECT_FALSE(WritePort(lptHandle, kPortParallel, data, sizeof(data)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  ASSERT_FALSE(lpt->IoctlCodes().empty());
  EXPECT_EQ(lpt->IoctlCodes().back(), kIoctlFollowUp);

  lpt->SetFollowUpResult(false);
  EXPECT_FALSE(WritePort(lptHandle, kPortParallel, data, sizeof(data)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));

  // Any other kind gets no follow-up request.
  const size_t before = lpt->IoctlCodes().size();
  EXPECT_FALSE(WritePort(lptHandle, kPortOther, data, sizeof(data)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_EQ(lpt->IoctlCodes().size(), before);
}

// What the port took before a write stopped is reported, so that a retry
// sends only the rest: a resend of accepted bytes corrupts the stream.
TEST_F(PortIo, WriteReportsTheBytesTakenBeforeItStopped) {
  struct Case {
    std::vector<DWORD> chunks;
    BOOL result;
    DWORD taken;
  };
  const Case cases[] = {
      {{1, 0}, FALSE, 1},     // one byte, then nothing within the time-out
      {{4, 3, 0}, FALSE, 7},  // two short writes, then nothing
      {{4, 6}, TRUE, 10},     // all of it
      {{0}, FALSE, 0},
  };
  for (const Case& c : cases) {
    com->SetWriteChunks(c.chunks);
    DWORD taken = 99;
    EXPECT_EQ(WritePort(comHandle, kPortSerial, data, sizeof(data), &taken), c.result);
    EXPECT_EQ(taken, c.taken) << "first chunk " << c.chunks[0];
    com->SetWriteChunks({});
  }
  com->Vanish(ERROR_SERIAL_NO_DEVICE);
  DWORD taken = 99;
  EXPECT_FALSE(WritePort(comHandle, kPortSerial, data, sizeof(data), &taken));
  EXPECT_EQ(taken, 0u);
}

TEST_F(PortIo, WriteRefusesBadArguments) {
  EXPECT_FALSE(WritePort(comHandle, kPortSerial, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(WritePort(INVALID_HANDLE_VALUE, kPortSerial, data, 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PORT));
  EXPECT_FALSE(WritePort(comHandle, 7, data, 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PORT));
  EXPECT_EQ(com->WriteCalls(), 0);
  EXPECT_TRUE(WritePort(comHandle, kPortSerial, data, 0));
  EXPECT_EQ(com->WriteCalls(), 0);
}

TEST_F(PortIo, WriteFailurePassesThePlatformError) {
  com->Vanish(ERROR_SERIAL_NO_DEVICE);
  EXPECT_FALSE(WritePort(comHandle, kPortSerial, data, sizeof(data)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERIAL_NO_DEVICE));
}

TEST_F(PortIo, ReadAndTheParallelFollowUp) {
  BYTE buffer[8] = {};
  DWORD got = 99;
  lpt->QueueRead({0x80, 0x81});
  EXPECT_TRUE(ReadPort(lptHandle, kPortParallel, buffer, sizeof(buffer), &got));
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(buffer[1], 0x81);

  // Nothing there, follow-up succeeds: a quiet port, TRUE with 0 bytes.
  EXPECT_TRUE(ReadPort(lptHandle, kPortParallel, buffer, sizeof(buffer), &got));
  EXPECT_EQ(got, 0u);
  // Follow-up fails: the device is gone.
  lpt->SetFollowUpResult(false);
  EXPECT_FALSE(ReadPort(lptHandle, kPortParallel, buffer, sizeof(buffer), &got));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GRACEFUL_DISCONNECT));

  EXPECT_FALSE(ReadPort(lptHandle, kPortParallel, nullptr, 4, &got));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(ReadPort(lptHandle, kPortParallel, buffer, 4, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(ReadPort(INVALID_HANDLE_VALUE, kPortParallel, buffer, 4, &got));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PORT));

  com->Vanish(ERROR_SERIAL_NO_DEVICE);
  EXPECT_FALSE(ReadPort(comHandle, kPortSerial, buffer, sizeof(buffer), &got));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERIAL_NO_DEVICE));
}

TEST_F(PortIo, RtsLineTogglesOnlyTheRtsField) {
  const DCB before = com->Dcb();
  EXPECT_TRUE(SetRtsLine(comHandle, TRUE));
  EXPECT_EQ(com->Dcb().fRtsControl, RTS_CONTROL_DISABLE);
  EXPECT_TRUE(SetRtsLine(comHandle, FALSE));
  DCB after = com->Dcb();
  EXPECT_EQ(after.fRtsControl, RTS_CONTROL_ENABLE);
  EXPECT_EQ(std::memcmp(&before, &after, sizeof(DCB)), 0);
  ASSERT_EQ(com->RtsChanges().size(), 2u);

  EXPECT_FALSE(SetRtsLine(lptHandle, TRUE));
  EXPECT_FALSE(SetRtsLine(lptHandle, FALSE));
}

TEST_F(PortIo, PurgeOnlyTouchesSerialPorts) {
  EXPECT_TRUE(PurgePort(comHandle, kPortSerial, FALSE));
  EXPECT_TRUE(PurgePort(comHandle, kPortSerial, TRUE));
  EXPECT_FALSE(PurgePort(comHandle, kPortParallel, TRUE));
  EXPECT_EQ(com->Purges(), (std::vector<DWORD>{PURGE_TXCLEAR, PURGE_RXCLEAR}));
}

TEST_F(PortIo, CloseChecksKindAndHandle) {
  EXPECT_FALSE(ClosePort(comHandle, 11));
  EXPECT_EQ(com->OpenCount(), 1);
  EXPECT_FALSE(ClosePort(INVALID_HANDLE_VALUE, kPortSerial));
  EXPECT_TRUE(ClosePort(comHandle, kPortSerial));
  EXPECT_EQ(com->OpenCount(), 0);
  comHandle = OpenDevice(u"COM1:");  // for TearDown
}

}  // namespace
