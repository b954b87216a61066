// The control interface: the open-port table, name matching, reference
// counts, the per-port commands and buffer checks.

#include <cstdio>

#include "port/printer_model.h"
#include "service/status_check.h"
#include "tests/support/recording_device.h"
#include "tests/service/control_fuzz.h"
#include "tests/service/service_fixture.h"

namespace {

using namespace kelo::test;

class ControlTest : public SerialAndParallelTest {
 protected:
  void SetUp() override {
    SerialAndParallelTest::SetUp();
    com2 = InstallPort(u"COM2:", PortDouble::Type::kSerial);
  }
  std::shared_ptr<PortDouble> com2;
};

// "COM1:001" ... : distinct names of one port, none a prefix of another.
std::u16string NumberedName(int n) {
  char text[16];
  std::snprintf(text, sizeof(text), "COM1:%03d", n);
  return kelo::host::FromUtf8(text);
}

TEST_F(ControlTest, ReopeningByNameCountsReferencesToTheFinalClose) {
  Load();
  EXPECT_EQ(Open(u"COM1:"), 1);
  EXPECT_EQ(Open(u"COM1:"), 1);
  EXPECT_EQ(RefCount(1), 2);
  EXPECT_EQ(com1->TotalOpens(), 1);
  EXPECT_TRUE(Close(1));
  EXPECT_EQ(com1->OpenCount(), 1);
  EXPECT_TRUE(Close(1));
  EXPECT_EQ(com1->OpenCount(), 0);
  EXPECT_EQ(OpenPortCount(), 0u);
  SetLastError(kSentinelError);
  EXPECT_FALSE(Close(1));
  EXPECT_EQ(GetLastError(), kSentinelError);
}

TEST_F(ControlTest, NewIndicesFollowTheLargestAndFailedOpensTakeNone) {
  Load();
  EXPECT_EQ(Open(u"COM1:"), 1);
  EXPECT_EQ(Open(u"COM2:"), 2);
  EXPECT_EQ(Open(u"LPT1:"), 3);
  EXPECT_TRUE(Close(1));
  EXPECT_EQ(Open(u"COM1:"), 4);  // 1 is free but 3 is in use

  DebugLines();
  SetLastError(kSentinelError);
  EXPECT_EQ(Open(u"COM9:"), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(DebugLines(), std::vector<std::string>{"KLP_OPEN PrinterOpen error\r\n"});
  EXPECT_EQ(OpenPortCount(), 3u);
  kelo::host::RegisterDevice(u"COM9:", std::make_shared<PortDouble>(PortDouble::Type::kSerial));
  EXPECT_EQ(Open(u"COM9:"), 5);
}

TEST_F(ControlTest, IndexExhaustionReusesTheLowestFreeThenFails) {
  Load();
  for (int n = 1; n <= 255; ++n) ASSERT_EQ(Open(NumberedName(n)), n);
  EXPECT_EQ(com1->OpenCount(), 255);
  SetLastError(kSentinelError);
  EXPECT_EQ(Open(NumberedName(256)), 0);
  EXPECT_EQ(GetLastError(), service::kErrorTooManyOpens);
  EXPECT_EQ(com1->OpenCount(), 255);  // nothing opened, nothing leaked
  EXPECT_EQ(OpenPortCount(), 255u);

  EXPECT_TRUE(Close(200));
  EXPECT_TRUE(Close(7));
  EXPECT_EQ(Open(NumberedName(300)), 7);
  EXPECT_EQ(Open(NumberedName(301)), 200);
  EXPECT_EQ(Open(NumberedName(302)), 0);
  EXPECT_EQ(com1->OpenCount(), 255);
}

TEST_F(ControlTest, ReferenceCountNeverWraps) {
  Load();
  for (int n = 0; n < 255; ++n) ASSERT_EQ(Open(u"COM1:"), 1);
  EXPECT_EQ(RefCount(1), 255);
  SetLastError(kSentinelError);
  EXPECT_EQ(Open(u"COM1:"), 0);
  EXPECT_EQ(GetLastError(), service::kErrorTooManyOpens);
  EXPECT_EQ(RefCount(1), 255);
  for (int n = 0; n < 254; ++n) ASSERT_TRUE(Close(1));
  EXPECT_EQ(com1->OpenCount(), 1);
  EXPECT_TRUE(Close(1));
  EXPECT_EQ(com1->OpenCount(), 0);
}

TEST_F(ControlTest, OpenMatchesAStoredNameTheCallerBeginsWith) {
  Load();
  EXPECT_EQ(Open(u"COM1:"), 1);
  EXPECT_EQ(Open(u"COM1:9600"), 1);  // begins with the stored COM1:
  EXPECT_EQ(RefCount(1), 2);
  EXPECT_EQ(Open(u"COM2:9600"), 2);
  EXPECT_EQ(Open(u"COM2:"), 3);  // a stored COM2:9600 is longer than the caller
  EXPECT_EQ(com2->TotalOpens(), 2);
  EXPECT_EQ(Open(u"com1:"), 4);  // names are compared as given

  // An empty name is a leading part of every stored name, but bounded by the
  // caller's length its terminator is compared too: it matches nothing.
  DebugLines();
  EXPECT_EQ(Open(u""), 0);
  EXPECT_EQ(DebugLines(), std::vector<std::string>{"KLP_OPEN PrinterOpen error\r\n"});
  EXPECT_EQ(OpenPortCount(), 4u);
  EXPECT_EQ(RefCount(1), 2);
}

TEST_F(ControlTest, GetIndexMatchesEitherPrefixAndCountsPositions) {
  Load();
  BYTE position = 0;
  const auto getIndex = [&](const std::u16string& name) -> int {
    const std::vector<BYTE> in = NameBytes(name);
    position = 0xEE;
    if (!Control(KLP_GET_INDEX, &in, &position, 1)) return -1;
    return position;
  };
  DebugLines();
  SetLastError(kSentinelError);
  EXPECT_EQ(getIndex(u"COM1:"), -1);
  EXPECT_EQ(GetLastError(), kSentinelError);
  EXPECT_EQ(DebugLines(),
            std::vector<std::string>{"KLP_GET_INDEX =>err. g_mapOpenPorts.empty()\r\n"});

  EXPECT_EQ(Open(u"LPT1:"), 1);
  EXPECT_EQ(Open(u"COM2:9600"), 2);
  EXPECT_EQ(Open(u"COM1:"), 3);
  EXPECT_TRUE(Close(1));  // indices 2 and 3 remain
  EXPECT_EQ(getIndex(u"COM1:"), 2);  // the position, not the index
  EXPECT_EQ(getIndex(u"COM1:9600"), 2);  // stored COM1: is a prefix of it
  EXPECT_EQ(getIndex(u"COM2:"), 1);  // a prefix of the stored COM2:9600
  EXPECT_EQ(getIndex(u""), 1);  // empty matches every entry
  EXPECT_EQ(getIndex(u"LPT1:"), 3);  // not open: count plus one
}

TEST_F(ControlTest, ControlCodeSplitsCommandAndIndex) {
  Load();
  Open(u"COM1:");
  Open(u"COM2:");
  ASSERT_EQ(Open(u"LPT1:"), 3);
  const std::vector<BYTE> data{0x41, 0x42};
  EXPECT_TRUE(Control(0x0203, &data));
  EXPECT_TRUE(Control(0x01000203, &data));  // bits 24-31 are ignored
  EXPECT_EQ(lpt1->Writes().size(), 2u);
  SetLastError(kSentinelError);
  EXPECT_FALSE(Control(0x0F03, &data));
  EXPECT_EQ(GetLastError(), kSentinelError);
  for (DWORD command : {0x1200u, 0x0u, 0xF00u}) {
    EXPECT_FALSE(Control(command + 3, &data));
    EXPECT_EQ(GetLastError(), kSentinelError);
  }
  EXPECT_EQ(lpt1->Writes().size(), 2u);
  SetLastError(kSentinelError);
  EXPECT_FALSE(Write(9, data));  // unknown index: no code
  EXPECT_EQ(GetLastError(), kSentinelError);
}

TEST_F(ControlTest, WriteIfIdleOnlyOutsideAJob) {
  Load();
  ASSERT_EQ(Open(u"COM1:"), 1);
  const std::vector<BYTE> data{1, 2, 3};
  EXPECT_TRUE(Write(1, data, KLP_WRITE_IF_IDLE));
  EXPECT_TRUE(Control(KLP_BEGIN_JOB + 1, nullptr));
  SetLastError(kSentinelError);
  EXPECT_FALSE(Write(1, data, KLP_WRITE_IF_IDLE));
  EXPECT_EQ(GetLastError(), kSentinelError);
  EXPECT_TRUE(Write(1, data));  // plain writes go on during the job
  EXPECT_EQ(com1->Writes().size(), 2u);
  EXPECT_TRUE(Control(KLP_END_JOB + 1, nullptr));
  EXPECT_TRUE(Write(1, data, KLP_WRITE_IF_IDLE));
  EXPECT_EQ(com1->Writes().size(), 3u);
  EXPECT_FALSE(Control(KLP_BEGIN_JOB + 2, nullptr));
  EXPECT_FALSE(Control(KLP_END_JOB + 2, nullptr));
}

TEST_F(ControlTest, WriteAndReadFailuresPassThrough) {
  Load();
  ASSERT_EQ(Open(u"COM1:"), 1);
  ASSERT_EQ(Open(u"LPT1:"), 2);
  const std::vector<BYTE> data(10, 0x55);
  com1->SetWriteChunks({4, 6});
  EXPECT_TRUE(Write(1, data));
  EXPECT_EQ(com1->WrittenBytes(), data);
  com1->AcceptNothing(true);
  EXPECT_FALSE(Write(1, data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  com1->Vanish(ERROR_SERIAL_NO_DEVICE);
  EXPECT_FALSE(Write(1, data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERIAL_NO_DEVICE));
  EXPECT_FALSE(Control(KLP_WRITE + 1, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  BYTE buffer[8] = {};
  DWORD got = 0;
  lpt1->QueueRead({0x80, 0x8A});
  EXPECT_TRUE(Control(KLP_READ + 2, nullptr, buffer, sizeof(buffer), &got));
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(buffer[1], 0x8A);
  EXPECT_FALSE(Control(KLP_READ + 2, nullptr, buffer, sizeof(buffer), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  lpt1->SetFollowUpResult(false);
  EXPECT_FALSE(Control(KLP_READ + 2, nullptr, buffer, sizeof(buffer), &got));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GRACEFUL_DISCONNECT));
  EXPECT_FALSE(Control(KLP_READ + 2, nullptr, buffer, 0, &got));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ControlTest, RtsControlNeedsAFullValue) {
  Load();
  ASSERT_EQ(Open(u"COM1:"), 1);
  ASSERT_EQ(Open(u"LPT1:"), 2);
  const size_t before = com1->RtsChanges().size();
  const std::vector<BYTE> drop{1, 0, 0, 0};
  const std::vector<BYTE> raise{0, 0, 0, 0};
  EXPECT_TRUE(Control(KLP_RTS_CONTROL + 1, &drop));
  EXPECT_EQ(com1->Dcb().fRtsControl, RTS_CONTROL_DISABLE);
  EXPECT_TRUE(Control(KLP_RTS_CONTROL + 1, &raise));
  EXPECT_EQ(com1->Dcb().fRtsControl, RTS_CONTROL_ENABLE);
  for (size_t len = 0; len < 4; ++len) {
    const std::vector<BYTE> shortValue(len, 1);
    SetLastError(kSentinelError);
    EXPECT_FALSE(Control(KLP_RTS_CONTROL + 1, len ? &shortValue : nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(com1->RtsChanges().size(), before + 2);
  EXPECT_FALSE(Control(KLP_RTS_CONTROL + 2, &drop));  // no RTS line
}

TEST_F(ControlTest, BadNameBuffersFailWithoutTouchingAnything) {
  Load();
  BYTE index = 0xEE;
  std::vector<BYTE> name = NameBytes(u"COM1:");
  const std::vector<BYTE> odd(name.begin(), name.end() - 1);
  const std::vector<BYTE> unterminated(name.begin(), name.end() - 2);
  struct Case {
    const std::vector<BYTE>* in;
    BYTE* out;
    DWORD outLen;
  };
  const Case cases[] = {
      {&odd, &index, 1}, {&unterminated, &index, 1}, {nullptr, &index, 1},
      {&name, nullptr, 1}, {&name, &index, 0},
  };
  for (DWORD command : {KLP_OPEN, KLP_OPEN_QUIET}) {
    for (const Case& c : cases) {
      SetLastError(kSentinelError);
      EXPECT_FALSE(Control(command, c.in, c.out, c.outLen));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
  }
  EXPECT_EQ(index, 0xEE);
  EXPECT_EQ(com1->TotalOpens(), 0);
  EXPECT_EQ(OpenPortCount(), 0u);

  ASSERT_EQ(Open(u"COM1:"), 1);
  for (const Case& c : cases) {
    SetLastError(kSentinelError);
    EXPECT_FALSE(Control(KLP_GET_INDEX, c.in, c.out, c.outLen));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(index, 0xEE);
}

TEST_F(ControlTest, RtsModeCommandAtNewOpenAndBeforeFinalClose) {
  kelo::host::SetRegistryDword(kServiceKey, u"RTSOnOff", 0);
  kelo::host::SetRegistryDword(kServiceKey, u"RTSOn", 0x10D);
  Load();
  ASSERT_EQ(Open(u"COM1:"), 1);
  EXPECT_EQ(com1->WrittenBytes(), (std::vector<BYTE>{0x1B, 0x51, 0x0F, 0x0D}));
  ASSERT_EQ(Open(u"COM1:"), 1);  // reuse sends nothing
  EXPECT_EQ(com1->Writes().size(), 1u);
  EXPECT_TRUE(Close(1));
  EXPECT_EQ(com1->Writes().size(), 1u);
  EXPECT_TRUE(Close(1));
  EXPECT_EQ(com1->WrittenBytes(),
            (std::vector<BYTE>{0x1B, 0x51, 0x0F, 0x0D, 0x1B, 0x51, 0x0F, 0x01}));
  EXPECT_EQ(com1->OpenCount(), 0);
}

TEST_F(ControlTest, NewOpenRecordsTheModelAndReuseKeepsIt) {
  lpt1->SetDeviceIdText("MFG:K;DESCRIPTION:USB Printer V45;");
  Load();
  EXPECT_EQ(GetCurrentPrinterModel(), 0);
  ASSERT_EQ(Open(u"LPT1:"), 1);
  EXPECT_EQ(GetCurrentPrinterModel(), 3);
  ASSERT_EQ(Open(u"COM1:"), 2);
  EXPECT_EQ(GetCurrentPrinterModel(), 0);  // a serial port has no device ID
  ASSERT_EQ(Open(u"LPT1:"), 1);
  EXPECT_EQ(GetCurrentPrinterModel(), 0);
}

TEST(StatusHistoryWalk, EndsInTheConditionOfTheLastStatusBytes) {
  struct Case {
    std::vector<BYTE> bytes;
    bool stopAtMark;
    DWORD error;
  };
  const Case cases[] = {
      {{}, false, 0},
      {{0x88}, false, ERROR_NOT_READY},
      {{0x82}, false, ERROR_OUT_OF_PAPER},
      {{0x86}, false, KLP_STATUS_OUT_OF_PAPER_AND_BIT2},
      {{0x84}, false, KLP_STATUS_CONDITION_BIT2},
      {{0x82, 0x84}, false, KLP_STATUS_CONDITION_BIT2},
      {{0x86, 0x82}, false, ERROR_OUT_OF_PAPER},
      {{0x86, 0x84}, false, KLP_STATUS_CONDITION_BIT2},
      {{0x84, 0x86}, false, KLP_STATUS_OUT_OF_PAPER_AND_BIT2},  // bits 1+2 newest: 16001
      {{0x86, 0x86}, false, KLP_STATUS_OUT_OF_PAPER_AND_BIT2},
      {{0x88, 0x86, 0x82, 0x80}, false, 0},
      {{0x88, 0x08, 0x48, 0xC8}, false, ERROR_NOT_READY},  // not 10xxxxxx: no status
      {{0x82, 0x03, 0x80}, true, ERROR_OUT_OF_PAPER},
      {{0x82, 0x03, 0x80}, false, 0},
      {{0x03, 0x88}, true, 0},
  };
  for (const Case& c : cases) {
    std::deque<StatusRecord> history;
    for (BYTE b : c.bytes) {
      StatusRecord r{};
      r.status = b;
      history.push_back(r);
    }
    EXPECT_EQ(EvaluateStatusHistory(history, c.stopAtMark), c.error)
        << HexDump(c.bytes) << (c.stopAtMark ? " (stop at mark)" : "");
  }
}

TEST_F(ControlTest, CheckStatusOnAnUnknownPortIsNotReady) {
  Load();
  ASSERT_EQ(Open(u"COM1:"), 1);
  EXPECT_TRUE(Control(KLP_CHECK_STATUS + 1, nullptr));  // empty history
  SetLastError(kSentinelError);
  EXPECT_FALSE(Control(KLP_CHECK_STATUS + 2, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
}

// The short run of the fuzzer; the long one carries the label "stress".
TEST_F(ControlTest, FuzzedCallsLeaveTheTableConsistent) {
  PrepareFuzzSettings();
  Load();
  ASSERT_EQ(Open(u"COM1:"), 1);
  ASSERT_EQ(Open(u"LPT1:"), 2);
  RunControlFuzz(20240611, 4000, {com1, com2, lpt1});
  CloseEverything({com1, com2, lpt1});
}

}  // namespace
