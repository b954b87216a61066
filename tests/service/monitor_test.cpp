// The status monitor thread: reading and queueing status bytes, requests
// and their time-outs, port selection, delayed stops, lost ports, and
// clients racing it.

#include <atomic>
#include <functional>
#include <thread>

#include "tests/host_ports/pty_pair.h"
#include "tests/service/service_fixture.h"

namespace {

using namespace kelo::test;
using service::MonitorKeepAlive;
using service::MonitorSendReset;
using service::MonitorStop;
using service::MonitorWatch;

TEST_F(MonitorTest, ThreeBytesMakeThreeRecordsInOrderAndOneDataEvent) {
  ASSERT_EQ(Open(u"COM1:", KLP_OPEN), 1);
  // The monitor takes its own reference when it picks up the attach (an idle
  // monitor looks at its messages every 200 ms).
  ASSERT_TRUE(WaitUntil([] { return RefCount(1) == 2; }, 1000));
  EXPECT_EQ(MonitoredPort(), 1);
  com1->QueueRead({0x80, 0x81, 0x82});
  EXPECT_EQ(WaitForSingleObject(dataEvent, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(dataEvent, 300), WAIT_TIMEOUT);
  EXPECT_EQ(Queue(), (std::vector<BYTE>{0x80, 0x81, 0x82}));
  EXPECT_EQ(History(), (std::vector<BYTE>{0x80, 0x81, 0x82}));
  SYSTEMTIME now{};
  GetLocalTime(&now);
  {
    ServiceLock guard;
    EXPECT_EQ(ServiceState.queuedPort, 1);
    for (const StatusRecord& r : ServiceState.statusQueue) {
      EXPECT_EQ(r.yearLow | (r.yearHigh << 8), now.wYear);
      EXPECT_GE(r.month, 1);
      EXPECT_LE(r.month, 12);
      EXPECT_LT(r.second, 60);
      EXPECT_EQ(r.unused5, 0);
      EXPECT_EQ(r.unused9, 0);
    }
  }
  // The newest status byte says out of paper.
  EXPECT_FALSE(Control(KLP_CHECK_STATUS + 1, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OUT_OF_PAPER));
}

TEST_F(MonitorTest, SeventyBytesKeepTheNewest64InBothQueues) {
  ASSERT_EQ(Open(u"COM1:", KLP_OPEN), 1);
  std::vector<BYTE> bytes;
  for (int i = 0; i < 70; ++i) bytes.push_back(static_cast<BYTE>(i));
  com1->QueueRead(bytes);
  ASSERT_TRUE(WaitUntil([] { return !Queue().empty() && Queue().back() == 69; }, 2000));
  const std::vector<BYTE> newest(bytes.begin() + 6, bytes.end());
  EXPECT_EQ(Queue(), newest);
  EXPECT_EQ(History(), newest);
}

TEST_F(MonitorTest, UnansweredRequestSetsTheTimeoutEventAfterWaitPlus100) {
  ASSERT_EQ(Open(u"LPT1:"), 1);  // the quiet open's reference goes to the monitor
  ASSERT_TRUE(ensureMonitor());
  const DWORD start = GetTickCount();
  Post(MonitorWatch, 1 + (500u << 16), 1);
  ASSERT_EQ(WaitForSingleObject(timeoutEvent, 2000), WAIT_OBJECT_0);
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 600u);
  EXPECT_LT(elapsed, 1200u);
  EXPECT_EQ(lpt1->WrittenBytes(), (std::vector<BYTE>{0x1B, 0x6B, 0xFF}));
  EXPECT_EQ(MonitoredPort(), 1);
  EXPECT_EQ(WaitForSingleObject(dataEvent, 0), WAIT_TIMEOUT);
}

TEST_F(MonitorTest, AnsweredRequestSetsOnlyTheDataEvent) {
  ASSERT_EQ(Open(u"COM1:"), 1);
  com1->AnswerStatusRequest(0x88, 100);
  ASSERT_TRUE(ensureMonitor());
  Post(MonitorWatch, 1 + (500u << 16), 1);
  EXPECT_EQ(WaitForSingleObject(dataEvent, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(timeoutEvent, 800), WAIT_TIMEOUT);
  EXPECT_FALSE(Control(KLP_CHECK_STATUS + 1, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
}

TEST_F(MonitorTest, RequestByRtsPulse) {
  ASSERT_EQ(Open(u"COM1:"), 1);
  ASSERT_EQ(Open(u"LPT1:"), 2);
  ASSERT_TRUE(ensureMonitor());
  const size_t before = com1->RtsChanges().size();
  Post(MonitorWatch, 1 + (100u << 16), 0x10001);
  ASSERT_TRUE(WaitUntil([&] { return com1->RtsChanges().size() >= before + 2; }, 1000));
  const std::vector<RtsChange> rts = com1->RtsChanges();
  EXPECT_EQ(rts[before].rtsControl, RTS_CONTROL_DISABLE);
  EXPECT_EQ(rts[before + 1].rtsControl, RTS_CONTROL_ENABLE);
  const DWORD down = rts[before + 1].tick - rts[before].tick;
  EXPECT_GE(down, 20u);
  EXPECT_LT(down, 120u);
  EXPECT_TRUE(com1->Writes().empty());  // no ESC k 255
  // The wait (100 ms, plus 100) is armed after the 50 ms that follow raising.
  EXPECT_EQ(WaitForSingleObject(timeoutEvent, 1500), WAIT_OBJECT_0);
  EXPECT_GE(GetTickCount() - rts[before + 1].tick, 50u + 100u + 100u);

  // A parallel-class port has no RTS line: the time-out event comes at once.
  const DWORD start = GetTickCount();
  Post(MonitorWatch, 2 + (5000u << 16), 0x10001);
  EXPECT_EQ(WaitForSingleObject(timeoutEvent, 1000), WAIT_OBJECT_0);
  EXPECT_LT(GetTickCount() - start, 500u);
}

TEST_F(MonitorTest, SwitchingPortsEmptiesOnlyTheQueueAndHandsBackTheReference) {
  ASSERT_EQ(Open(u"COM1:"), 1);
  ASSERT_EQ(Open(u"COM1:"), 1);
  ASSERT_EQ(Open(u"COM2:"), 2);
  ASSERT_EQ(Open(u"COM2:"), 2);
  ASSERT_TRUE(ensureMonitor());
  Post(MonitorWatch, 1, 0);  // watch only
  com1->QueueRead({0x84});
  ASSERT_TRUE(WaitUntil([] { return Queue().size() == 1; }, 1000));
  EXPECT_TRUE(com1->Writes().empty());
  Post(MonitorWatch, 2, 0);
  ASSERT_TRUE(WaitUntil([] { return MonitoredPort() == 2; }, 1000));
  EXPECT_TRUE(Queue().empty());
  EXPECT_EQ(History(), std::vector<BYTE>{0x84});
  EXPECT_EQ(RefCount(1), 1);
  EXPECT_EQ(RefCount(2), 2);

  // An index that is not open makes the thread idle, with no request.
  Post(MonitorWatch, 9 + (100u << 16), 1);
  ASSERT_TRUE(WaitUntil([] { return MonitoredPort() == 0; }, 1000));
  EXPECT_EQ(WaitForSingleObject(timeoutEvent, 400), WAIT_TIMEOUT);
  EXPECT_TRUE(com2->Writes().empty());
}

TEST_F(MonitorTest, DelayedStopEndsTheThreadAndReleasesItsPort) {
  ASSERT_EQ(Open(u"COM1:", KLP_OPEN), 1);
  const DWORD start = GetTickCount();
  Post(MonitorStop, 300, 0);
  ASSERT_TRUE(WaitUntil([] { return !MonitorRunning(); }, 2000));
  EXPECT_GE(GetTickCount() - start, 300u);
  EXPECT_EQ(ServiceState.monitorThreadId.load(), 0u);
  EXPECT_EQ(RefCount(1), 1);
  EXPECT_EQ(MonitoredPort(), 0);
  // The next command that needs the monitor starts a new one.
  ASSERT_TRUE(ensureMonitor());
  EXPECT_TRUE(MonitorRunning());
}

TEST_F(MonitorTest, KeepAliveCancelsADelayedStop) {
  ASSERT_TRUE(ensureMonitor());
  Post(MonitorStop, 300, 0);
  Sleep(50);
  ASSERT_TRUE(ensureMonitor());  // posts MonitorKeepAlive
  Sleep(600);
  EXPECT_TRUE(MonitorRunning());
  Post(MonitorStop, 100, 0);  // a new stop replaces nothing cancelled
  EXPECT_TRUE(WaitUntil([] { return !MonitorRunning(); }, 1500));
}

TEST_F(MonitorTest, DelayedStopAcrossTheTickCountWrap) {
  kelo::host::SetTickCount(0xFFFFFFFFu - 400);
  ASSERT_TRUE(ensureMonitor());
  const DWORD posted = GetTickCount();
  ASSERT_GT(posted, 0xFFFFFFFFu - 300);  // the deadline lies past the wrap
  Post(MonitorStop, 500, 0);
  Sleep(250);
  EXPECT_TRUE(MonitorRunning());  // wrapped by now, but not yet due
  ASSERT_TRUE(WaitUntil([] { return !MonitorRunning(); }, 2000));
  EXPECT_GE(GetTickCount() - posted, 500u);
}

TEST_F(MonitorTest, LostPortEndsTheMonitorAndClosesThePortForGood) {
  ASSERT_EQ(Open(u"COM1:", KLP_OPEN), 1);
  ASSERT_EQ(Open(u"COM1:"), 1);
  ASSERT_TRUE(WaitUntil([] { return RefCount(1) == 3; }, 1000));
  com1->Vanish(ERROR_SERIAL_NO_DEVICE);
  ASSERT_TRUE(WaitUntil([] { return !MonitorRunning(); }, 1000));
  EXPECT_EQ(OpenPortCount(), 0u);
  EXPECT_EQ(com1->OpenCount(), 0);
  EXPECT_FALSE(Write(1, {1, 2, 3}));
}

TEST_F(MonitorTest, LostParallelPortIsSeenThroughTheFollowUpRequest) {
  ASSERT_EQ(Open(u"LPT1:", KLP_OPEN), 1);
  lpt1->SetFollowUpResult(false);  // reads return nothing, the follow-up fails: 1226
  ASSERT_TRUE(WaitUntil([] { return !MonitorRunning(); }, 1000));
  EXPECT_EQ(OpenPortCount(), 0u);
  EXPECT_EQ(lpt1->OpenCount(), 0);
}

TEST_F(MonitorTest, SendResetWritesEscAtAndClosesOnlyWhenAsked) {
  HANDLE lpt = CreateFileW(u"LPT1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE com = CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(lpt, INVALID_HANDLE_VALUE);
  ASSERT_NE(com, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(ensureMonitor());
  Post(MonitorSendReset, reinterpret_cast<WPARAM>(lpt), 9 + 0x10000);
  Post(MonitorSendReset, reinterpret_cast<WPARAM>(com), 8);
  ASSERT_TRUE(WaitUntil([&] { return lpt1->OpenCount() == 0 && !com1->Writes().empty(); }, 1000));
  EXPECT_EQ(lpt1->WrittenBytes(), (std::vector<BYTE>{0x1B, 0x40}));
  EXPECT_EQ(com1->WrittenBytes(), (std::vector<BYTE>{0x1B, 0x40}));
  EXPECT_EQ(com1->OpenCount(), 1);
  EXPECT_EQ(WaitForSingleObject(timeoutEvent, 0), WAIT_TIMEOUT);
  CloseHandle(com);
  // A reset that cannot be written sets the time-out event.
  Post(MonitorSendReset, reinterpret_cast<WPARAM>(com), 8);
  EXPECT_EQ(WaitForSingleObject(timeoutEvent, 1000), WAIT_OBJECT_0);
}

// A port closed while its attach message was on the way leaves no close to
// arm the delayed stop: the monitor, finding nothing to watch, arms it.
TEST_F(MonitorTest, AMonitorWithNothingToWatchStopsAfterTheIdleDelay) {
  ASSERT_TRUE(ensureMonitor());
  Post(service::MonitorAttach, 7, 0);  // no port 7 is open
  Sleep(300);
  EXPECT_TRUE(MonitorRunning());
  kelo::host::SetTickCount(GetTickCount() + 31000);
  EXPECT_TRUE(WaitUntil([] { return !MonitorRunning(); }, 2000));
}

TEST_F(MonitorTest, DeinitStopsTheMonitorWhichHandsBackItsReference) {
  ASSERT_EQ(Open(u"COM1:", KLP_OPEN), 1);
  const DWORD start = GetTickCount();
  EXPECT_TRUE(KLP_Deinit(1));
  EXPECT_LT(GetTickCount() - start, 1000u);
  EXPECT_FALSE(MonitorRunning());
  // Single-threaded again: the table can be looked at without the lock. The
  // port the client left open is closed with the service.
  EXPECT_TRUE(ServiceState.g_mapOpenPorts.empty());
  EXPECT_EQ(com1->OpenCount(), 0);
  Load();
}

// The monitor is stuck in a port read past KLP_Deinit's 2000 ms: the lock
// and the events must stay usable until it leaves, and go with it.
TEST_F(MonitorTest, MonitorOutlivingDeinitTearsDownLockAndEventsItself) {
  ASSERT_EQ(Open(u"COM1:", KLP_OPEN), 1);
  ASSERT_TRUE(WaitUntil([] { return RefCount(1) == 2; }, 1000));
  com1->StallNextRead(2600);
  Sleep(100);  // the monitor is inside the stalled read, holding the lock
  const DWORD start = GetTickCount();
  EXPECT_TRUE(KLP_Deinit(1));
  EXPECT_GE(GetTickCount() - start, 1900u);
  HANDLE monitor = ServiceState.monitorHandle;
  ASSERT_NE(monitor, nullptr);
  ASSERT_EQ(WaitForSingleObject(monitor, 3000), WAIT_OBJECT_0);
  EXPECT_FALSE(ServiceState.lockCreated);
  EXPECT_EQ(ServiceState.statusDataEvent, nullptr);
  EXPECT_EQ(ServiceState.statusTimeoutEvent, nullptr);
  // It gave its reference back and closed what the client left open.
  EXPECT_TRUE(ServiceState.g_mapOpenPorts.empty());
  EXPECT_EQ(com1->OpenCount(), 0);
  Load();
  EXPECT_EQ(ServiceState.monitorHandle, nullptr);
  EXPECT_TRUE(ServiceState.lockCreated);
}

// Clients open, write, check and close on both ports at once while the
// monitor reads and queues; ThreadSanitizer watches. The ports take at most
// 5 bytes a write, so each 16-byte client write is several platform writes
// that another client's could fall between if the lock did not cover them.
TEST_F(MonitorTest, ConcurrentClientsWhileTheMonitorRuns) {
  com1->SetMaxWriteChunk(5);
  lpt1->SetMaxWriteChunk(5);
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    while (feeding.load()) {
      com1->QueueRead({0x80});
      lpt1->QueueRead({0x80, 0x80});
      Sleep(15);
    }
  });
  constexpr int kClients = 4;
  constexpr int kRounds = 5;
  constexpr int kWritesPerRound = 3;
  constexpr BYTE kFirstTag = 0x30;  // no tag is an ESC of the monitor's commands
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      const std::u16string name = c % 2 ? u"COM1:" : u"LPT1:";
      for (int r = 0; r < kRounds; ++r) {
        const BYTE index = Open(name, r % 2 ? KLP_OPEN : KLP_OPEN_QUIET);
        if (index == 0) {
          ++failures;
          continue;
        }
        for (int w = 0; w < kWritesPerRound; ++w) {
          const int tag = kFirstTag + (c * kRounds + r) * kWritesPerRound + w;
          if (!Write(index, std::vector<BYTE>(16, static_cast<BYTE>(tag)))) ++failures;
        }
        Control(KLP_CHECK_STATUS + index, nullptr);
        if (!Close(index)) ++failures;
      }
    });
  }
  for (std::thread& t : clients) t.join();
  feeding.store(false);
  feeder.join();
  EXPECT_EQ(failures.load(), 0);

  // Every client write reached its port whole: one run of 16 equal bytes per tag.
  std::vector<int> runsOfTag(256, 0);
  for (const auto& port : {com1, lpt1}) {
    const std::vector<BYTE> bytes = port->WrittenBytes();
    size_t i = 0;
    while (i < bytes.size()) {
      size_t j = i;
      while (j < bytes.size() && bytes[j] == bytes[i]) ++j;
      EXPECT_EQ(j - i, 16u) << "tag " << int{bytes[i]} << " at " << i;
      ++runsOfTag[bytes[i]];
      i = j;
    }
  }
  for (int t = kFirstTag; t < kFirstTag + kClients * kRounds * kWritesPerRound; ++t) {
    EXPECT_EQ(runsOfTag[t], 1) << "tag " << t;
  }
  EXPECT_LE(Queue().size(), kStatusQueueLimit);
  // Only the monitor may still hold a port.
  EXPECT_LE(RefCount(1), 1);
  EXPECT_LE(RefCount(2), 1);
  EXPECT_TRUE(KLP_Deinit(1));
  EXPECT_TRUE(ServiceState.g_mapOpenPorts.empty());
  EXPECT_EQ(com1->OpenCount() + lpt1->OpenCount(), 0);
  Load();
}

// A port held 255 times has no reference left for the monitor: its attach is
// dropped rather than watch the port on a reference it never took.
TEST_F(MonitorTest, AttachToAPortAtFullCountIsDropped) {
  for (int n = 0; n < 254; ++n) ASSERT_EQ(Open(u"COM1:"), 1);
  ASSERT_EQ(Open(u"COM1:", KLP_OPEN), 1);
  EXPECT_EQ(RefCount(1), 255);
  Sleep(300);  // an idle monitor has looked at its messages by now
  EXPECT_EQ(RefCount(1), 255);
  EXPECT_EQ(MonitoredPort(), 0);
  for (int n = 0; n < 255; ++n) ASSERT_TRUE(Close(1));
  EXPECT_EQ(com1->OpenCount(), 0);
  EXPECT_EQ(OpenPortCount(), 0u);
}

// The last client's close leaves the monitor's reference and arms its stop
// in 30 s (tick count moved, not waited for); the stop is the final close.
TEST_F(MonitorTest, LastClientCloseStopsTheMonitorThirtySecondsLater) {
  ASSERT_EQ(Open(u"COM1:", KLP_OPEN), 1);
  ASSERT_TRUE(WaitUntil([] { return RefCount(1) == 2; }, 1000));
  const DWORD start = GetTickCount();
  EXPECT_TRUE(Close(1));
  EXPECT_GE(GetTickCount() - start, 150u);  // it sleeps holding the lock
  EXPECT_EQ(RefCount(1), 1);
  kelo::host::SetTickCount(GetTickCount() + 29000);
  Sleep(300);
  EXPECT_TRUE(MonitorRunning());
  EXPECT_EQ(com1->OpenCount(), 1);
  kelo::host::SetTickCount(GetTickCount() + 1500);
  ASSERT_TRUE(WaitUntil([] { return !MonitorRunning(); }, 1000));
  EXPECT_EQ(OpenPortCount(), 0u);
  EXPECT_EQ(com1->OpenCount(), 0);
}

TEST_F(MonitorTest, AnOpenWithinTheDelayKeepsTheMonitor) {
  ASSERT_EQ(Open(u"COM1:", KLP_OPEN), 1);
  ASSERT_TRUE(WaitUntil([] { return RefCount(1) == 2; }, 1000));
  EXPECT_TRUE(Close(1));
  ASSERT_EQ(Open(u"COM2:", KLP_OPEN), 2);  // ensureMonitor: MonitorKeepAlive
  kelo::host::SetTickCount(GetTickCount() + 31000);
  Sleep(300);
  EXPECT_TRUE(MonitorRunning());
  EXPECT_EQ(MonitoredPort(), 2);
}

// MonitorStop with 30000 posted 20 s before the tick count wraps.
TEST_F(MonitorTest, StopArmedBeforeTheWrapFallsDueAfterIt) {
  ASSERT_TRUE(ensureMonitor());
  kelo::host::SetTickCount(0xFFFFFFFFu - 20000);
  Post(MonitorStop, 30000, 0);
  Sleep(300);
  EXPECT_TRUE(MonitorRunning());
  kelo::host::SetTickCount(5000);  // wrapped; due at about 10000
  Sleep(300);
  EXPECT_TRUE(MonitorRunning());
  kelo::host::SetTickCount(11000);
  EXPECT_TRUE(WaitUntil([] { return !MonitorRunning(); }, 1000));
}

// The reply deadline lies past the wrap while the request goes out before it.
TEST_F(MonitorTest, ReplyWaitAcrossTheTickCountWrap) {
  ASSERT_EQ(Open(u"LPT1:"), 1);
  ASSERT_TRUE(ensureMonitor());
  kelo::host::SetTickCount(0xFFFFFFFFu - 300);
  const DWORD start = GetTickCount();
  Post(MonitorWatch, 1 + (500u << 16), 1);
  ASSERT_EQ(WaitForSingleObject(timeoutEvent, 2000), WAIT_OBJECT_0);
  EXPECT_GE(GetTickCount() - start, 600u);
}

TEST_F(MonitorTest, CheckStatusReadsItsFlagOnlyFromFourBytes) {
  ASSERT_EQ(Open(u"COM1:", KLP_OPEN), 1);
  ASSERT_TRUE(WaitUntil([] { return RefCount(1) == 2; }, 1000));
  com1->QueueRead({0x82, 0x03, 0x80});
  ASSERT_TRUE(WaitUntil([] { return History().size() == 3; }, 1000));
  const std::vector<BYTE> flag1{1, 0, 0, 0};
  const std::vector<BYTE> flag0{0, 0, 0, 0};
  const std::vector<BYTE> three{1, 0, 0};
  const std::vector<BYTE> five{1, 0, 0, 0, 0};
  SetLastError(kSentinelError);
  EXPECT_FALSE(Control(KLP_CHECK_STATUS + 1, &flag1));  // the walk ends at 0x03
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OUT_OF_PAPER));
  SetLastError(kSentinelError);
  EXPECT_TRUE(Control(KLP_CHECK_STATUS + 1, &flag0));
  EXPECT_TRUE(Control(KLP_CHECK_STATUS + 1, &three));
  EXPECT_TRUE(Control(KLP_CHECK_STATUS + 1, &five));
  EXPECT_TRUE(Control(KLP_CHECK_STATUS + 1, nullptr));
  EXPECT_EQ(GetLastError(), kSentinelError);
  EXPECT_EQ(History().size(), 3u);  // read, never consumed

  // A quiet open leaves the history; KLP_OPEN empties it.
  ASSERT_EQ(Open(u"COM2:"), 2);
  EXPECT_EQ(History().size(), 3u);
  ASSERT_EQ(Open(u"COM1:", KLP_OPEN), 1);
  EXPECT_TRUE(History().empty());
  EXPECT_TRUE(Control(KLP_CHECK_STATUS + 1, &flag1));
}

// The monitor reads holding the lock: a client's write to another port waits
// for a read that hangs.
TEST_F(MonitorTest, ReadsHoldTheLock) {
  ASSERT_EQ(Open(u"COM1:", KLP_OPEN), 1);
  ASSERT_EQ(Open(u"COM2:"), 2);
  ASSERT_TRUE(WaitUntil([] { return RefCount(1) == 2; }, 1000));
  com1->StallNextRead(400);
  Sleep(60);  // serial reads end after 20 ms: the stalled one has begun
  const DWORD start = GetTickCount();
  EXPECT_TRUE(Write(2, {1, 2, 3}));
  EXPECT_GE(GetTickCount() - start, 250u);
}

// One 64-byte read a pass; a quiet parallel-class port every 100 ms, a serial
// port back to back (its own 20 ms read time-out paces it), none when idle.
TEST_F(MonitorTest, PollingCadence) {
  ASSERT_EQ(Open(u"LPT1:", KLP_OPEN), 1);
  ASSERT_EQ(Open(u"COM1:"), 2);
  ASSERT_TRUE(WaitUntil([] { return RefCount(1) == 2; }, 1000));
  size_t before = lpt1->ReadSizes().size();
  Sleep(1000);
  const std::vector<DWORD> lptReads = lpt1->ReadSizes();
  const size_t parallelReads = lptReads.size() - before;
  EXPECT_GE(parallelReads, 6u);
  EXPECT_LE(parallelReads, 12u);
  for (DWORD size : lptReads) EXPECT_EQ(size, 64u);

  Post(MonitorWatch, 2, 0);
  ASSERT_TRUE(WaitUntil([] { return MonitoredPort() == 2; }, 1000));
  before = com1->ReadSizes().size();
  Sleep(500);
  EXPECT_GE(com1->ReadSizes().size() - before, 12u);  // a 100 ms pause would give 5

  Post(MonitorWatch, 9, 0);  // not open: idle
  ASSERT_TRUE(WaitUntil([] { return MonitoredPort() == 0; }, 1000));
  const size_t comReads = com1->ReadSizes().size();
  const size_t lptReadsIdle = lpt1->ReadSizes().size();
  Sleep(300);
  EXPECT_EQ(com1->ReadSizes().size(), comReads);
  EXPECT_EQ(lpt1->ReadSizes().size(), lptReadsIdle);
}

}  // namespace

namespace {

// The monitor hands back the port it leaves; a client still holding the
// port it goes to must keep it running.
TEST_F(MonitorTest, SwitchingPortsWhileClientsHoldBothDoesNotStopTheMonitor) {
  ASSERT_EQ(Open(u"COM1:", KLP_OPEN), 1);
  ASSERT_TRUE(WaitUntil([] { return RefCount(1) == 2; }, 1000));
  ASSERT_EQ(Open(u"COM2:", KLP_OPEN), 2);
  ASSERT_TRUE(WaitUntil([] { return MonitoredPort() == 2 && RefCount(1) == 1; }, 1000));
  kelo::host::SetTickCount(GetTickCount() + 31000);
  Sleep(400);
  EXPECT_TRUE(MonitorRunning());
  EXPECT_EQ(MonitoredPort(), 2);
}

// A deadline just before the wrap is due just after it, even when no pass
// saw the tick count between the two.
TEST_F(MonitorTest, StopDueJustBeforeTheWrapIsNotMissed) {
  ASSERT_TRUE(ensureMonitor());
  kelo::host::SetTickCount(0xFFFFFFFFu - 30000 - 10);
  Post(MonitorStop, 30000, 0);
  Sleep(300);  // armed: due at about 0xFFFFFFF5
  EXPECT_TRUE(MonitorRunning());
  kelo::host::SetTickCount(50);
  EXPECT_TRUE(WaitUntil([] { return !MonitorRunning(); }, 1000));
}

// A port whose reads fail at once with an error that does not mean it is
// gone is polled like a quiet parallel-class port, not back to back.
TEST_F(MonitorTest, AReadFailingAtOnceDoesNotMakeTheMonitorSpin) {
  ASSERT_EQ(Open(u"COM1:", KLP_OPEN), 1);
  ASSERT_TRUE(WaitUntil([] { return RefCount(1) == 2; }, 1000));
  com1->Vanish(ERROR_GEN_FAILURE);
  const size_t before = com1->ReadSizes().size();
  Sleep(500);
  EXPECT_LE(com1->ReadSizes().size() - before, 8u);  // spinning gives thousands
  EXPECT_TRUE(MonitorRunning());
}

}  // namespace

namespace {

// A real serial line whose other end goes away (a pseudo-terminal whose
// controlling side is closed, as a USB adapter unplugged): the monitor sees
// the port lost, ends, and the port is closed although its client still
// holds it.
TEST_F(MonitorTest, ALostSerialLineEndsTheMonitorAndClosesThePort) {
  PtyPair line;
  ASSERT_TRUE(line.ok());
  kelo::host::InstallHostPortMapper();
  kelo::host::SetRegistryString(u"Host\\Ports", u"COM5:", kelo::host::FromUtf8(line.path()));
  ASSERT_EQ(Open(u"COM5:", KLP_OPEN), 1);
  ASSERT_TRUE(WaitUntil([] { return RefCount(1) == 2; }, 1000));
  line.CloseMaster();
  EXPECT_TRUE(WaitUntil([] { return !MonitorRunning(); }, 2000));
  EXPECT_EQ(OpenPortCount(), 0u);
}

}  // namespace
