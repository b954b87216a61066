// Every byte a client hands the service reaches the printer, or the client
// learns what did not: counts of bytes taken, the end of a job that waits
// for the line, closes that had to discard, and the unload that closes what
// clients left open.

#include "tests/service/service_fixture.h"

namespace {

using namespace kelo::test;

using Delivery = SerialAndParallelTest;

TEST_F(Delivery, AWriteReportsTheBytesThePortTookWhenTheCallerAsks) {
  Load();
  const BYTE index = Open(u"COM1:");
  ASSERT_NE(index, 0);
  // What the port took, also when the write then failed (the port-level
  // tests cover the ways a write stops).
  const std::vector<BYTE> data(10, 0x41);
  com1->SetWriteChunks({4, 0});
  DWORD taken = 99;
  EXPECT_FALSE(Control(KLP_WRITE + index, &data, nullptr, 0, &taken));
  EXPECT_EQ(taken, 4u);
  // A caller that passes no count sees the same result.
  com1->SetWriteChunks({2, 0});
  EXPECT_FALSE(Write(index, data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
}

TEST_F(Delivery, TheEndOfAJobWaitsForTheLineAndSaysWhatStayedInIt) {
  Load();
  const BYTE com = Open(u"COM1:");
  const BYTE lpt = Open(u"LPT1:");
  ASSERT_NE(com, 0);
  ASSERT_NE(lpt, 0);
  EXPECT_TRUE(Control(KLP_END_JOB + com, nullptr));

  com1->HoldOutput(1234);
  lpt1->HoldOutput(1234);  // a parallel-class port queues nothing: not asked
  DWORD unsent = 0;
  DWORD actual = 0;
  EXPECT_FALSE(Control(KLP_END_JOB + com, nullptr, reinterpret_cast<BYTE*>(&unsent),
                       sizeof unsent, &actual));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_EQ(unsent, 1234u);
  EXPECT_EQ(actual, sizeof unsent);
  EXPECT_FALSE(Control(KLP_END_JOB + com, nullptr));  // no room for the count: still fails
  EXPECT_TRUE(Control(KLP_END_JOB + lpt, nullptr));
}

TEST_F(Delivery, ALastCloseThatDiscardedBytesFails) {
  Load();
  const BYTE index = Open(u"COM1:");
  ASSERT_NE(index, 0);
  com1->HoldOutput(50);
  SetLastError(kSentinelError);
  EXPECT_FALSE(Close(index));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_EQ(OpenPortCount(), 0u);  // the port is gone all the same
  EXPECT_EQ(com1->OpenCount(), 0);
}

// Ports that clients left open are closed by the unload, each as its last
// close would (the RTS mode command first); a later load starts with an
// empty table, so an old index writes nowhere.
TEST_F(Delivery, UnloadingClosesEveryPortLeftOpen) {
  kelo::host::SetRegistryDword(kServiceKey, u"RTSOnOff", 1);
  Load();
  const BYTE com = Open(u"COM1:");
  ASSERT_NE(com, 0);
  ASSERT_EQ(Open(u"COM1:"), com);  // two holders
  ASSERT_NE(Open(u"LPT1:"), 0);
  ASSERT_TRUE(KLP_Deinit(1));
  EXPECT_EQ(com1->OpenCount(), 0);
  EXPECT_EQ(lpt1->OpenCount(), 0);
  const std::vector<BYTE> rtsOff = {0x1B, 0x51, 0x0F, 0x01};
  const std::vector<BYTE> written = com1->WrittenBytes();
  ASSERT_GE(written.size(), rtsOff.size());
  EXPECT_TRUE(std::equal(rtsOff.begin(), rtsOff.end(), written.end() - 4));

  Load();
  EXPECT_EQ(OpenPortCount(), 0u);
  EXPECT_FALSE(Write(com, {0x41}));
  EXPECT_EQ(com1->WrittenBytes(), written);
}

}  // namespace
