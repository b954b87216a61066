// Events (named and unnamed, manual and auto reset), waits and critical
// sections.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/host/host_api.h"

namespace {

constexpr DWORD kSentinel = 0x5EE1u;

// Starts `count` threads that each wait on `event` up to `ms` and counts the
// ones released.
struct Waiters {
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  Waiters(HANDLE event, int count, DWORD ms) {
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([this, event, ms] {
        if (WaitForSingleObject(event, ms) == WAIT_OBJECT_0) ++released;
      });
    }
    Sleep(100);  // lets them reach the wait
  }
  int Join() {
    for (auto& t : threads) t.join();
    return released.load();
  }
};

}  // namespace

TEST(Events, TheSameNameGivesTheSameEventWithAlreadyExists) {
  SetLastError(kSentinel);
  HANDLE first = CreateEventW(nullptr, FALSE, FALSE, u"KELO_TEST_EVENT");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  HANDLE second = CreateEventW(nullptr, TRUE, TRUE, u"KELO_TEST_EVENT");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_NE(first, second);
  // The first creator's kind and state stand: auto reset, not signalled.
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(first));
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT);
  HANDLE other = CreateEventW(nullptr, FALSE, FALSE, u"kelo_test_event");  // names are exact
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_TRUE(CloseHandle(other));
}

TEST(Events, ANamedEventLivesUntilItsLastHandleIsClosed) {
  HANDLE first = CreateEventW(nullptr, TRUE, FALSE, u"KELO_LIFETIME");
  HANDLE second = CreateEventW(nullptr, TRUE, FALSE, u"KELO_LIFETIME");
  CloseHandle(first);
  SetEvent(second);
  HANDLE third = CreateEventW(nullptr, TRUE, FALSE, u"KELO_LIFETIME");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(WaitForSingleObject(third, 0), WAIT_OBJECT_0);
  CloseHandle(second);
  CloseHandle(third);
  HANDLE fresh = CreateEventW(nullptr, TRUE, FALSE, u"KELO_LIFETIME");
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_TIMEOUT);
  CloseHandle(fresh);
}

TEST(Events, AutoResetReleasesOneWaiterAndResets) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  Waiters waiters(event, 3, 400);
  SetEvent(event);
  EXPECT_EQ(waiters.Join(), 1);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // the release reset it
  CloseHandle(event);
}

TEST(Events, AutoResetStaysSignalledWhileNobodyWaits) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  SetEvent(event);
  SetEvent(event);  // no count: still one release
  Sleep(20);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST(Events, WaitTimesOutWhenNotSignalled) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST(Events, ManualResetReleasesEveryWaiterAndStaysSetUntilReset) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Waiters waiters(event, 3, 2000);
  SetEvent(event);
  EXPECT_EQ(waiters.Join(), 3);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  ResetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST(Events, ASetReleasesThePresentWaitersEvenWhenResetAtOnce) {
  HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Waiters all(manual, 2, 2000);
  SetEvent(manual);
  ResetEvent(manual);
  EXPECT_EQ(all.Join(), 2);
  HANDLE automatic = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  Waiters one(automatic, 1, 2000);
  SetEvent(automatic);
  ResetEvent(automatic);
  EXPECT_EQ(one.Join(), 1);
  CloseHandle(manual);
  CloseHandle(automatic);
}

TEST(Events, PulseReleasesThePresentWaitersAndLeavesTheEventReset) {
  HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Waiters all(manual, 2, 2000);
  EXPECT_TRUE(PulseEvent(manual));
  EXPECT_EQ(all.Join(), 2);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  HANDLE automatic = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EXPECT_TRUE(PulseEvent(automatic));  // nobody waits: nothing is kept
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  Waiters some(automatic, 2, 400);
  PulseEvent(automatic);
  EXPECT_EQ(some.Join(), 1);
  CloseHandle(manual);
  CloseHandle(automatic);
}

TEST(Events, BadHandlesAndFunctionsFail) {
  EXPECT_FALSE(EventModify(reinterpret_cast<HANDLE>(0x12345), EVENT_SET));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, INFINITE), WAIT_FAILED);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EXPECT_FALSE(EventModify(event, 7));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  CloseHandle(event);
  EXPECT_FALSE(SetEvent(event));  // closed
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Events, ClosingAHandleWhileAnotherThreadWaitsOnItIsSafe) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, u"KELO_CLOSED_WHILE_WAITING");
  HANDLE other = CreateEventW(nullptr, TRUE, FALSE, u"KELO_CLOSED_WHILE_WAITING");
  Waiters waiters(event, 1, 2000);
  EXPECT_TRUE(CloseHandle(event));
  SetEvent(other);
  EXPECT_EQ(waiters.Join(), 1);
  CloseHandle(other);
}

TEST(CriticalSection, IsReentrantAndExcludesOtherThreads) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  EXPECT_TRUE(TryEnterCriticalSection(&section));
  std::atomic<bool> other{true};
  std::thread([&] { other = TryEnterCriticalSection(&section) != 0; }).join();
  EXPECT_FALSE(other.load());
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  std::thread([&] { other = TryEnterCriticalSection(&section) != 0; }).join();
  EXPECT_FALSE(other.load()) << "still held once";
  LeaveCriticalSection(&section);
  std::thread([&] {
    other = TryEnterCriticalSection(&section) != 0;
    if (other) LeaveCriticalSection(&section);
  }).join();
  EXPECT_TRUE(other.load());
  DeleteCriticalSection(&section);
}
