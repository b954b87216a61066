// The status and reset commands for applications, with the monitor running:
// asking for status, handing out the records, resets through the monitor,
// stopping it, and the caller's buffers.

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "tests/service/service_fixture.h"

namespace {

using namespace kelo::test;

const std::vector<BYTE> kStatusRequest{0x1B, 0x6B, 0xFF};
const std::vector<BYTE> kReset{0x1B, 0x40};

// A PortRequest for `name` (a literal: it must outlive the call).
BOOL Ask(DWORD code, const char16_t* name, DWORD flag = 0, DWORD timeout = 0) {
  PortRequest request{};
  request.name = name;
  request.nameSize = static_cast<uint8_t>((std::char_traits<char16_t>::length(name) + 1) * 2);
  request.flag = flag;
  request.timeout = timeout;
  return KLP_IOControl(1, code, reinterpret_cast<BYTE*>(&request), sizeof request, nullptr, 0,
                       nullptr);
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

using StatusCommandsTest = MonitorTest;

TEST_F(StatusCommandsTest, UpdateAsksAndGetHandsOutTheRecordsOldestFirst) {
  com1->AnswerStatusRequest(0x82, 0);
  ASSERT_TRUE(Ask(KLP_UPDATE_PRINTERSTATUS, u"COM1:", 0, 500));
  ASSERT_EQ(WaitForSingleObject(dataEvent, 2000), WAIT_OBJECT_0);
  EXPECT_EQ(com1->WrittenBytes(), kStatusRequest);
  EXPECT_EQ(RefCount(1), 1);  // opened for the monitor, which holds it
  com1->QueueRead({0x80});
  ASSERT_TRUE(WaitUntil([] { return Queue().size() == 2; }, 1000));

  const std::vector<BYTE> name = NameBytes(u"COM1:");
  DWORD size = 0;
  EXPECT_TRUE(Control(KLP_GET_PRINTERSTATUS, &name, nullptr, 0, &size));
  EXPECT_EQ(size, 20u);
  DebugLines();
  BYTE records[64] = {};
  DWORD actual = 0;
  EXPECT_FALSE(Control(KLP_GET_PRINTERSTATUS, &name, records, 19, &actual));
  EXPECT_FALSE(Control(KLP_GET_PRINTERSTATUS, &name, records, 0, &actual));
  EXPECT_FALSE(Control(KLP_GET_PRINTERSTATUS, &name, nullptr, 20, &actual));
  EXPECT_EQ(DebugLines(), (std::vector<std::string>{"1.buffer too small=> OutBufLen=19\r\n",
                                                    "1.buffer too small=> dataSize=20\r\n",
                                                    "invalide output buffer\r\n",
                                                    "invalide output buffer\r\n"}));
  EXPECT_EQ(Queue().size(), 2u);  // nothing taken by the refusals

  ASSERT_TRUE(Control(KLP_GET_PRINTERSTATUS, &name, records, sizeof records, &actual));
  EXPECT_EQ(actual, 20u);
  EXPECT_EQ(records[8], 0x82);
  EXPECT_EQ(records[18], 0x80);
  SYSTEMTIME now{};
  GetLocalTime(&now);
  EXPECT_EQ(records[6] | (records[7] << 8), now.wYear);
  EXPECT_TRUE(Control(KLP_GET_PRINTERSTATUS, &name, nullptr, 0, &size));
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(History(), (std::vector<BYTE>{0x82, 0x80}));  // the history keeps them
}

TEST_F(StatusCommandsTest, QuickQuestionsOnAPortNotWatchedYetLeaveTheMonitorOneReference) {
  // The second question comes before the monitor took the first: both open
  // the port for it, and it keeps one of the two references.
  for (DWORD code : {KLP_UPDATE_PRINTERSTATUS, KLP_UPDATE_PRINTERSTATUS, KLP_GET_PRINTERSTATUS}) {
    if (code == KLP_GET_PRINTERSTATUS) {
      const std::vector<BYTE> name = NameBytes(u"COM2:");
      DWORD size = 0;
      EXPECT_TRUE(Control(code, &name, nullptr, 0, &size));
      EXPECT_TRUE(Control(code, &name, nullptr, 0, &size));
    } else {
      ASSERT_TRUE(Ask(code, u"COM1:", 0, 100));
    }
  }
  // Once the monitor has worked through the messages, only its port is open,
  // held once.
  EXPECT_TRUE(WaitUntil(
      [] {
        ServiceLock guard;
        const auto& ports = ServiceState.g_mapOpenPorts;
        return ports.size() == 1 && ports.count(ServiceState.monitoredPort) == 1 &&
               ports.at(ServiceState.monitoredPort).refCount == 1;
      },
      2000))
      << OpenPortCount() << " ports open";
}

TEST_F(StatusCommandsTest, UpdateAsksByCommandByPulseOrNotAtAll) {
  // The pulse on a parallel-class port and an unanswered request both end
  // in the time-out event.
  ASSERT_TRUE(Ask(KLP_UPDATE_PRINTERSTATUS, u"LPT1:", 1, 100));
  EXPECT_EQ(WaitForSingleObject(timeoutEvent, 2000), WAIT_OBJECT_0);
  EXPECT_TRUE(lpt1->Writes().empty());

  ASSERT_TRUE(Ask(KLP_UPDATE_PRINTERSTATUS, u"COM1:", 1, 100));
  EXPECT_EQ(WaitForSingleObject(timeoutEvent, 2000), WAIT_OBJECT_0);
  const std::vector<RtsChange> rts = com1->RtsChanges();
  ASSERT_GE(rts.size(), 2u);
  EXPECT_EQ(rts[rts.size() - 2].rtsControl, RTS_CONTROL_DISABLE);
  EXPECT_EQ(rts.back().rtsControl, RTS_CONTROL_ENABLE);
  EXPECT_GE(rts.back().tick - rts[rts.size() - 2].tick, 20u);
  EXPECT_TRUE(com1->Writes().empty());
  // Only the monitor held LPT1: leaving it for COM1 closed it.
  EXPECT_EQ(lpt1->OpenCount(), 0);
  EXPECT_EQ(OpenPortCount(), 1u);

  // While a document is printed on the port the monitor only watches.
  const BYTE com2Index = Open(u"COM2:");
  ASSERT_NE(com2Index, 0);
  ASSERT_TRUE(Control(KLP_BEGIN_JOB + com2Index, nullptr));
  ASSERT_TRUE(Ask(KLP_UPDATE_PRINTERSTATUS, u"COM2:", 0, 100));
  ASSERT_TRUE(WaitUntil([&] { return MonitoredPort() == com2Index; }, 1000));
  EXPECT_EQ(WaitForSingleObject(timeoutEvent, 400), WAIT_TIMEOUT);
  EXPECT_TRUE(com2->Writes().empty());

  EXPECT_FALSE(Ask(KLP_UPDATE_PRINTERSTATUS, u"COM9:", 0, 100));  // cannot be opened
}

// A port not yet watched is attached and answers no records; the records
// are then the watched port's, and after the monitor has gone those of the
// port it watched last.
TEST_F(StatusCommandsTest, GetAttachesThenDeliversTheNewest64) {
  const std::vector<BYTE> name = NameBytes(u"COM1:");
  DWORD actual = 99;
  BYTE records[64 * 10] = {};
  ASSERT_TRUE(Control(KLP_GET_PRINTERSTATUS, &name, records, sizeof records, &actual));
  EXPECT_EQ(actual, 0u);
  ASSERT_TRUE(WaitUntil([] { return MonitoredPort() == 1; }, 1000));
  EXPECT_TRUE(com1->Writes().empty());  // watch only

  std::vector<BYTE> bytes;
  for (BYTE b = 0; b < 65; ++b) bytes.push_back(static_cast<BYTE>(0x80 + b));
  com1->QueueRead(bytes);
  ASSERT_TRUE(WaitUntil([] { return !Queue().empty() && Queue().back() == 0xC0; }, 1000));
  ASSERT_TRUE(Control(KLP_GET_PRINTERSTATUS, &name, records, sizeof records, &actual));
  ASSERT_EQ(actual, 640u);
  EXPECT_EQ(records[8], 0x81);  // the 65th record pushed out the first
  EXPECT_EQ(records[638], 0xC0);

  com1->QueueRead({0x88});
  ASSERT_TRUE(WaitUntil([] { return Queue().size() == 1; }, 1000));
  Post(service::MonitorStop, 0, 0);
  ASSERT_TRUE(WaitUntil([] { return !MonitorRunning(); }, 1000));
  DebugLines();
  const std::vector<BYTE> other = NameBytes(u"LPT1:");
  EXPECT_FALSE(Control(KLP_GET_PRINTERSTATUS, &other, records, 5, &actual));
  EXPECT_EQ(DebugLines(), (std::vector<std::string>{"2.buffer too small=> OutBufLen=5\r\n",
                                                    "2.buffer too small=> dataSize=10\r\n"}));
  ASSERT_TRUE(Control(KLP_GET_PRINTERSTATUS, &other, records, sizeof records, &actual));
  EXPECT_EQ(actual, 10u);
  EXPECT_EQ(records[8], 0x88);
}

TEST_F(StatusCommandsTest, ResetThroughTheMonitorSendsEscAt) {
  ASSERT_EQ(Open(u"COM1:"), 1);
  ASSERT_TRUE(Ask(KLP_RESET_PRINTER, u"COM1:"));
  ASSERT_TRUE(WaitUntil([&] { return com1->WrittenBytes() == kReset; }, 1000));
  EXPECT_EQ(com1->OpenCount(), 1);  // a client's port stays open

  // A port nobody has open is opened for the reset; the monitor closes it.
  ASSERT_TRUE(Ask(KLP_RESET_PRINTER, u"COM2:"));
  ASSERT_TRUE(WaitUntil([&] { return com2->WrittenBytes() == kReset; }, 1000));
  EXPECT_TRUE(WaitUntil([&] { return com2->OpenCount() == 0; }, 1000));
  EXPECT_EQ(OpenPortCount(), 1u);

  // Never into a document being printed; no code.
  ASSERT_TRUE(Control(KLP_BEGIN_JOB + 1, nullptr));
  SetLastError(kSentinelError);
  EXPECT_FALSE(Ask(KLP_RESET_PRINTER, u"COM1:"));
  EXPECT_EQ(GetLastError(), kSentinelError);
  EXPECT_FALSE(Ask(KLP_RESET_PRINTER, u"COM9:"));  // neither open nor openable
  Sleep(300);
  EXPECT_EQ(com1->WrittenBytes(), kReset);
  ASSERT_TRUE(Control(KLP_END_JOB + 1, nullptr));

  // The client lets go before the monitor has sent the reset: the reset
  // holds the port until it went out.
  ASSERT_TRUE(Ask(KLP_RESET_PRINTER, u"COM1:"));
  EXPECT_TRUE(Close(1));
  EXPECT_TRUE(WaitUntil([&] { return com1->WrittenBytes().size() == 2 * kReset.size(); }, 1000));
  EXPECT_TRUE(WaitUntil([&] { return com1->OpenCount() == 0; }, 1000));
}

TEST_F(StatusCommandsTest, RefusedCallerBufferOrShortRequestFailsAndFreesTheLock) {
  const struct {
    DWORD code;
    const char* text;
  } cases[] = {
      {KLP_RESET_PRINTER, "KLP_RESET_PRINTER CeOpenCallerBuffer failed\r\n"},
      {KLP_UPDATE_PRINTERSTATUS, "KLP_UPDATE_PRINTERSTATUS CeOpenCallerBuffer failed\r\n"},
  };
  for (const auto& c : cases) {
    DebugLines();
    kelo::host::FailCallerBufferOpens(true);
    EXPECT_FALSE(Ask(c.code, u"COM1:"));
    kelo::host::FailCallerBufferOpens(false);
    EXPECT_TRUE(Contains(DebugLines(), c.text)) << c.text;
    std::atomic<bool> entered{false};
    std::thread other([&] {
      ServiceLock guard;
      entered = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return entered.load(); }, 1000)) << c.text;
    if (!entered) other.detach();  // the lock leaked: the thread stays blocked
    else other.join();

    // Shorter than a PortRequest: refused, not read past.
    const std::vector<BYTE> shortInput(sizeof(PortRequest) - 1, 0);
    SetLastError(kSentinelError);
    EXPECT_FALSE(Control(c.code, &shortInput));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(kSentinelError);
    EXPECT_FALSE(Control(c.code, nullptr));  // no input: no code
    EXPECT_EQ(GetLastError(), kSentinelError);
  }
  EXPECT_EQ(OpenPortCount(), 0u);
}

TEST_F(StatusCommandsTest, StopPortMonitorNeedsAMatchingPortAndAWatchedOne) {
  const std::vector<BYTE> name = NameBytes(u"COM1:");
  const auto stop = [](const std::vector<BYTE>& in, DWORD chars) {
    return KLP_IOControl(1, KLP_STOP_PORTMONITOR, const_cast<BYTE*>(in.data()), chars, nullptr,
                         0, nullptr);
  };
  EXPECT_FALSE(stop(name, 6));  // nothing open
  ASSERT_EQ(Open(u"COM1:", KLP_OPEN), 1);
  ASSERT_TRUE(WaitUntil([] { return RefCount(1) == 2; }, 1000));
  EXPECT_FALSE(stop(NameBytes(u"LPT1:"), 6));
  EXPECT_TRUE(stop(name, 6));  // the length counts characters
  Sleep(300);  // the monitor arms the stop from its own tick count
  kelo::host::SetTickCount(GetTickCount() + 31000);
  ASSERT_TRUE(WaitUntil([] { return !MonitorRunning(); }, 1000));
  EXPECT_EQ(RefCount(1), 1);  // the monitor gave its reference back
  ASSERT_TRUE(ensureMonitor());  // idle: nothing watched
  EXPECT_FALSE(stop(name, 6));
}

}  // namespace
