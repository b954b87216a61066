// KLP_RTS_RESET: the hardware reset's line states, timings and retries.

#include "tests/service/service_fixture.h"

namespace {

using namespace kelo::test;

using HardwareResetTest = SerialAndParallelTest;

TEST_F(HardwareResetTest, DefaultsPurgeDropRaiseWaitAndSendNothing) {
  Load();
  ASSERT_EQ(Open(u"COM1:"), 1);
  const size_t rtsBefore = com1->RtsChanges().size();
  const DWORD start = GetTickCount();
  EXPECT_TRUE(Control(KLP_RTS_RESET + 1, nullptr));
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_EQ(com1->Purges(), std::vector<DWORD>{PURGE_TXCLEAR});
  const std::vector<RtsChange> rts = com1->RtsChanges();
  ASSERT_EQ(rts.size(), rtsBefore + 2);
  EXPECT_EQ(rts[rtsBefore].rtsControl, RTS_CONTROL_DISABLE);
  EXPECT_EQ(rts[rtsBefore + 1].rtsControl, RTS_CONTROL_ENABLE);
  EXPECT_GE(rts[rtsBefore + 1].tick - rts[rtsBefore].tick, 220u);
  EXPECT_GE(elapsed, 620u);  // 220 ms down, 400 ms of waiting
  EXPECT_TRUE(com1->Writes().empty());
  EXPECT_EQ(RefCount(1), 1);  // the port stays open
}

TEST_F(HardwareResetTest, RegistryTimingsAndRtsModeRetries) {
  kelo::host::SetRegistryDword(kServiceKey, u"RTSOnOff", 1);
  kelo::host::SetRegistryDword(kServiceKey, u"ResetTime", 60);
  kelo::host::SetRegistryDword(kServiceKey, u"ResetWaitTime", 40);
  kelo::host::SetRegistryDword(kServiceKey, u"RTSRetryWait", 15);
  Load();
  ASSERT_EQ(Open(u"COM1:"), 1);  // sends one ESC Q 15 13
  const size_t rtsBefore = com1->RtsChanges().size();
  com1->SetWriteChunks({0, 0});  // the printer takes the third attempt
  const DWORD start = GetTickCount();
  EXPECT_TRUE(Control(KLP_RTS_RESET + 1, nullptr));
  const DWORD elapsed = GetTickCount() - start;
  const std::vector<RtsChange> rts = com1->RtsChanges();
  ASSERT_EQ(rts.size(), rtsBefore + 2);
  const DWORD down = rts[rtsBefore + 1].tick - rts[rtsBefore].tick;
  EXPECT_GE(down, 60u);
  EXPECT_LT(down, 220u);
  EXPECT_EQ(com1->WriteCalls(), 1 + 3);
  ASSERT_EQ(com1->Writes().size(), 2u);
  EXPECT_EQ(com1->Writes()[1].bytes, (std::vector<BYTE>{0x1B, 0x51, 0x0F, 0x0D}));
  // The command goes out after the wait that follows raising RTS.
  EXPECT_GE(com1->Writes()[1].tick - rts[rtsBefore + 1].tick, 40u + 2 * 15u);
  EXPECT_GE(elapsed, 60u + 40u + 3 * 15u);
}

TEST_F(HardwareResetTest, RetriesEndSilentlyAfterTheMaximum) {
  kelo::host::SetRegistryDword(kServiceKey, u"RTSOnOff", 1);
  kelo::host::SetRegistryDword(kServiceKey, u"ResetTime", 0);
  kelo::host::SetRegistryDword(kServiceKey, u"ResetWaitTime", 0);
  kelo::host::SetRegistryDword(kServiceKey, u"RTSMaxRetries", 5);
  kelo::host::SetRegistryDword(kServiceKey, u"RTSRetryWait", 1);
  Load();
  ASSERT_EQ(Open(u"COM1:"), 1);
  com1->AcceptNothing(true);
  const int before = com1->WriteCalls();
  EXPECT_TRUE(Control(KLP_RTS_RESET + 1, nullptr));  // the result is the line's
  EXPECT_EQ(com1->WriteCalls() - before, 5);
}

TEST_F(HardwareResetTest, ParallelPortFailsAtOnce) {
  kelo::host::SetRegistryDword(kServiceKey, u"RTSOnOff", 1);
  Load();
  ASSERT_EQ(Open(u"LPT1:"), 1);
  const size_t writes = lpt1->Writes().size();
  const DWORD start = GetTickCount();
  EXPECT_FALSE(Control(KLP_RTS_RESET + 1, nullptr));
  EXPECT_LT(GetTickCount() - start, 100u);
  EXPECT_EQ(lpt1->Writes().size(), writes);
  SetLastError(kSentinelError);
  EXPECT_FALSE(Control(KLP_RTS_RESET + 2, nullptr));
  EXPECT_EQ(GetLastError(), kSentinelError);
}

}  // namespace

namespace {

BOOL ResetPrinter(const char16_t* name, DWORD flag) {
  PortRequest request{};
  request.name = name;
  request.nameSize = static_cast<uint8_t>((std::char_traits<char16_t>::length(name) + 1) * 2);
  request.flag = flag;
  return KLP_IOControl(1, KLP_RESET_PRINTER, reinterpret_cast<BYTE*>(&request), sizeof request,
                       nullptr, 0, nullptr);
}

// KLP_RESET_PRINTER with its flag: RTS down a fixed 1500 ms whatever
// ResetTime says, raised with no wait after, then the RTS mode command even
// when the line could not be moved. A port opened for it is closed again.
TEST_F(HardwareResetTest, ResetByRtsPulseHoldsTheLineDown1500Ms) {
  kelo::host::SetRegistryDword(kServiceKey, u"RTSOnOff", 1);
  Load();
  ASSERT_EQ(Open(u"COM1:"), 1);
  kelo::host::SetVirtualSleep(true);  // the pulse moves the tick count
  const size_t rtsBefore = com1->RtsChanges().size();
  const size_t writesBefore = com1->Writes().size();
  EXPECT_TRUE(ResetPrinter(u"COM1:", 1));
  const std::vector<RtsChange> rts = com1->RtsChanges();
  ASSERT_EQ(rts.size(), rtsBefore + 2);
  EXPECT_EQ(rts[rtsBefore].rtsControl, RTS_CONTROL_DISABLE);
  EXPECT_EQ(rts[rtsBefore + 1].rtsControl, RTS_CONTROL_ENABLE);
  const DWORD down = rts[rtsBefore + 1].tick - rts[rtsBefore].tick;
  EXPECT_GE(down, 1500u);
  EXPECT_LT(down, 1600u);
  const std::vector<PortWrite> writes = com1->Writes();
  ASSERT_EQ(writes.size(), writesBefore + 1);
  EXPECT_EQ(writes.back().bytes, (std::vector<BYTE>{0x1B, 0x51, 0x0F, 0x0D}));
  EXPECT_LT(writes.back().tick - rts[rtsBefore + 1].tick, 20u);  // no wait after raising
  EXPECT_EQ(com1->OpenCount(), 1);  // a client's port stays open

  EXPECT_FALSE(ResetPrinter(u"LPT1:", 1));  // no RTS line
  EXPECT_EQ(lpt1->WrittenBytes(), (std::vector<BYTE>{0x1B, 0x51, 0x0F, 0x0D}));
  EXPECT_EQ(lpt1->OpenCount(), 0);  // opened for the reset, closed after it
  EXPECT_EQ(OpenPortCount(), 1u);
  EXPECT_FALSE(ResetPrinter(u"COM9:", 1));  // neither open nor openable
  kelo::host::SetVirtualSleep(false);
}

}  // namespace
