// The channel against a stand-in "KLP1:" that records every control call.

#include <gtest/gtest.h>

#include <memory>

#include "channel/channel.h"
#include "channel/output_buffer.h"
#include "tests/support/recording_device.h"

using kelo::test::InstallRecordingService;
using kelo::test::RecordingServiceDevice;

namespace {

constexpr DWORD kSentinel = 0xDEADBEEF;

std::unique_ptr<PrinterChannel> NewChannel() { return std::make_unique<PrinterChannel>(); }

// A device service module that ActivateDevice "loads" in-process: its Init
// publishes nothing itself; the device manager publishes "KLP1:" for it.
struct FakeServiceModule {
  static inline int inits = 0;
  static inline int opens = 0;
  static inline bool failInit = false;
  static inline std::shared_ptr<RecordingServiceDevice> recorder;

  static DWORD Init(LPCWSTR, LPCVOID) {
    ++inits;
    return failInit ? 0 : 0x1234;
  }
  static BOOL Deinit(DWORD) { return TRUE; }
  static DWORD Open(DWORD, DWORD, DWORD) {
    ++opens;
    return 0x55;
  }
  static BOOL Close(DWORD) { return TRUE; }
  static BOOL IoControl(DWORD, DWORD code, PBYTE in, DWORD inLen, PBYTE out, DWORD outLen,
                        PDWORD actual) {
    return recorder->IoControl(1, code, in, inLen, out, outLen, actual);
  }

  static void Register() {
    recorder = std::make_shared<RecordingServiceDevice>();
    kelo::host::RegisterModule(
        u"libkelo.so", {{"KLP_Init", reinterpret_cast<void*>(&Init)},
                        {"KLP_Deinit", reinterpret_cast<void*>(&Deinit)},
                        {"KLP_Open", reinterpret_cast<void*>(&Open)},
                        {"KLP_Close", reinterpret_cast<void*>(&Close)},
                        {"KLP_IOControl", reinterpret_cast<void*>(&IoControl)}});
  }
};

}  // namespace

TEST(OpenChannel, SendsThePortNameWithItsTerminatorAndKeepsTheIndex) {
  auto service = InstallRecordingService();
  service->portIndex = 7;
  auto channel = NewChannel();
  ASSERT_NE(OpenChannel(*channel, u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(channel->portIndex, 7);

  const auto opens = service->CallsOf(KLP_OPEN);
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].code, 0x100u);
  ASSERT_EQ(opens[0].input.size(), 12u);  // 5 characters and the terminator, 2 bytes each
  EXPECT_EQ(opens[0].input[0], 'L');
  EXPECT_EQ(opens[0].input[8], ':');
  EXPECT_EQ(opens[0].input[10], 0);
  EXPECT_EQ(opens[0].input[11], 0);
  EXPECT_EQ(opens[0].outLen, 1u);
}

TEST(OpenChannel, ActivatesTheServiceWhenKlp1IsMissing) {
  FakeServiceModule::Register();
  auto channel = NewChannel();
  ASSERT_NE(OpenChannel(*channel, u"COM1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(FakeServiceModule::inits, 1);
  EXPECT_EQ(FakeServiceModule::opens, 1);
  EXPECT_EQ(FakeServiceModule::recorder->CallsOf(KLP_OPEN).size(), 1u);
}

TEST(OpenChannel, FailsWithInvalidHandleWhenTheServiceCannotBeLoaded) {
  FakeServiceModule::Register();
  FakeServiceModule::failInit = true;
  auto channel = NewChannel();
  SetLastError(kSentinel);
  EXPECT_EQ(OpenForPrinting(*channel, ChannelSettings{}, u"COM1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(FakeServiceModule::inits, 1);  // one activation between the two attempts
  EXPECT_EQ(channel->device, INVALID_HANDLE_VALUE);
}

TEST(OpenChannel, AFailedOpenCommandClosesTheDevice) {
  auto service = InstallRecordingService();
  service->FailCommand(KLP_OPEN, ERROR_UNKNOWN_PORT);
  auto channel = NewChannel();
  EXPECT_EQ(OpenChannel(*channel, u"LPT9:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PORT));
  EXPECT_EQ(channel->device, INVALID_HANDLE_VALUE);
  EXPECT_EQ(service->opens(), 1);
  EXPECT_EQ(service->closes(), 1);

  SetLastError(kSentinel);
  EXPECT_EQ(OpenForPrinting(*channel, ChannelSettings{}, u"LPT9:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(OpenChannel, ReopeningClosesTheFormerConnectionFirst) {
  auto service = InstallRecordingService();
  auto channel = NewChannel();
  ASSERT_NE(OpenChannel(*channel, u"LPT1:"), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Write(*channel, "abc", 3));
  ASSERT_NE(OpenChannel(*channel, u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(service->opens(), 2);
  EXPECT_EQ(service->closes(), 1);
  ASSERT_EQ(service->Writes().size(), 1u);  // the old connection's data was flushed
  EXPECT_EQ(service->CallsOf(KLP_CLOSE).size(), 1u);
}

TEST(OpenChannel, NullPortNameIsRefused) {
  InstallRecordingService();
  auto channel = NewChannel();
  EXPECT_EQ(OpenChannel(*channel, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(ChannelCommands, CarryThePortIndexInTheLowByte) {
  auto service = InstallRecordingService();
  service->portIndex = 3;
  auto channel = NewChannel();
  ASSERT_NE(OpenChannel(*channel, u"COM2:"), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Write(*channel, "x", 1));
  ASSERT_TRUE(Flush(*channel));
  SetRts(*channel, 1);
  CheckStatus(*channel);
  BeginJob(*channel);
  EndJob(*channel);
  ResetThroughRts(*channel);
  CloseChannel(*channel);

  std::vector<DWORD> codes;
  for (const auto& call : service->Calls()) codes.push_back(call.code);
  EXPECT_EQ(codes, (std::vector<DWORD>{0x100, 0x203, 0x503, 0x603, 0x703, 0x803, 0xD03, 0x303}));
}

TEST(ChannelCommands, InputsAreFourByteValues) {
  auto service = InstallRecordingService();
  auto channel = NewChannel();
  ASSERT_NE(OpenChannel(*channel, u"COM2:"), INVALID_HANDLE_VALUE);
  SetRts(*channel, 1);
  SetRts(*channel, 0);
  CheckStatus(*channel);
  const auto rts = service->CallsOf(KLP_RTS_CONTROL);
  ASSERT_EQ(rts.size(), 2u);
  EXPECT_EQ(rts[0].input, (std::vector<BYTE>{1, 0, 0, 0}));
  EXPECT_EQ(rts[1].input, (std::vector<BYTE>{0, 0, 0, 0}));
  const auto status = service->CallsOf(KLP_CHECK_STATUS);
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].input, (std::vector<BYTE>{0, 0, 0, 0}));
  for (DWORD command : {KLP_BEGIN_JOB, KLP_END_JOB}) {
    (command == KLP_BEGIN_JOB ? BeginJob : EndJob)(*channel);
    EXPECT_FALSE(service->CallsOf(command).at(0).hadInput);
  }
}

TEST(CloseChannel, FlushesBeforeClosingThePort) {
  auto service = InstallRecordingService();
  auto channel = NewChannel();
  ASSERT_NE(OpenChannel(*channel, u"LPT1:"), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Write(*channel, "tail", 4));
  CloseChannel(*channel);
  const auto calls = service->Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].code & 0xFFFF00, KLP_WRITE);
  EXPECT_EQ(calls[1].input, (std::vector<BYTE>{'t', 'a', 'i', 'l'}));
  EXPECT_EQ(calls[2].code & 0xFFFF00, KLP_CLOSE);
  EXPECT_EQ(channel->device, INVALID_HANDLE_VALUE);
  EXPECT_EQ(service->closes(), 1);
}

TEST(CloseChannel, DoesNothingWhenClosed) {
  auto service = InstallRecordingService();
  auto channel = NewChannel();
  CloseChannel(*channel);
  CloseChannel(*channel);
  EXPECT_TRUE(service->Calls().empty());
  EXPECT_EQ(service->opens(), 0);
}

TEST(CheckStatusWithRetry, RetriesNotReadyWithWaitsOf100Ms) {
  auto service = InstallRecordingService();
  service->ScriptCommand(KLP_CHECK_STATUS, {ERROR_NOT_READY, ERROR_NOT_READY, 0});
  auto channel = NewChannel();
  ASSERT_NE(OpenChannel(*channel, u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CheckStatusWithRetry(*channel));
  const auto checks = service->CallsOf(KLP_CHECK_STATUS);
  ASSERT_EQ(checks.size(), 3u);
  EXPECT_GE(checks[1].tick - checks[0].tick, 100u);
  EXPECT_GE(checks[2].tick - checks[1].tick, 100u);
}

TEST(CheckStatusWithRetry, OtherErrorsEndItAtOnce) {
  auto service = InstallRecordingService();
  service->FailCommand(KLP_CHECK_STATUS, ERROR_OUT_OF_PAPER);
  auto channel = NewChannel();
  ASSERT_NE(OpenChannel(*channel, u"LPT1:"), INVALID_HANDLE_VALUE);
  const DWORD before = GetTickCount();
  EXPECT_FALSE(CheckStatusWithRetry(*channel));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OUT_OF_PAPER));
  EXPECT_EQ(service->CallsOf(KLP_CHECK_STATUS).size(), 1u);
  EXPECT_LT(GetTickCount() - before, 100u);  // no wait happened
}

TEST(CheckStatusWithRetry, GivesUpAfterNineChecks) {
  auto service = InstallRecordingService();
  service->FailCommand(KLP_CHECK_STATUS, ERROR_NOT_READY);
  auto channel = NewChannel();
  ASSERT_NE(OpenChannel(*channel, u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(CheckStatusWithRetry(*channel));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
  const auto checks = service->CallsOf(KLP_CHECK_STATUS);
  ASSERT_EQ(checks.size(), 9u);
  EXPECT_GE(checks.back().tick - checks.front().tick, 800u);
}

TEST(CheckStatusWithRetry, NotReadyThenOtherErrorKeepsTheOtherError) {
  auto service = InstallRecordingService();
  service->ScriptCommand(KLP_CHECK_STATUS, {ERROR_NOT_READY, ERROR_GRACEFUL_DISCONNECT});
  auto channel = NewChannel();
  ASSERT_NE(OpenChannel(*channel, u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(CheckStatusWithRetry(*channel));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GRACEFUL_DISCONNECT));
  EXPECT_EQ(service->CallsOf(KLP_CHECK_STATUS).size(), 2u);
}

TEST(CheckStatusWithRetry, FailsOnAClosedChannel) {
  auto channel = NewChannel();
  EXPECT_FALSE(CheckStatusWithRetry(*channel));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}
