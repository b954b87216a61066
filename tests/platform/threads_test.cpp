// Threads, their handles and exit codes, and thread message queues.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "platform/host/host_api.h"

namespace {

// Sums the wParam of every message until WM_QUIT; returns 7.
DWORD WINAPI SumUntilQuit(LPVOID parameter) {
  auto* sum = static_cast<std::atomic<int>*>(parameter);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) sum->fetch_add(static_cast<int>(msg.wParam));
  return 7;
}

DWORD WINAPI ReportOwnId(LPVOID parameter) {
  *static_cast<DWORD*>(parameter) = GetCurrentThreadId();
  return 0;
}

DWORD WINAPI WaitForGo(LPVOID parameter) {
  WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE);
  return 0;
}

}  // namespace

TEST(Threads, AMessagePostedRightAfterCreationArrives) {
  for (int round = 0; round < 20; ++round) {  // no window in which a post is lost
    std::atomic<int> sum{0};
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, &SumUntilQuit, &sum, 0, &id);
    ASSERT_NE(thread, nullptr);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(PostThreadMessageW(id, WM_USER + 1, 5, 0));
    ASSERT_TRUE(PostThreadMessageW(id, WM_USER + 1, 6, 0));
    ASSERT_TRUE(PostThreadMessageW(id, WM_QUIT, 0, 0));
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(sum.load(), 11);
    CloseHandle(thread);
  }
}

TEST(Threads, ExitCodeIsStillActiveUntilTheThreadReturns) {
  std::atomic<int> sum{0};
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, &SumUntilQuit, &sum, 0, &id);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  PostThreadMessageW(id, WM_QUIT, 0, 0);
  ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // stays signalled
  EXPECT_FALSE(GetExitCodeThread(thread, nullptr));
  CloseHandle(thread);
  EXPECT_FALSE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Threads, PostingToAnEndedThreadFailsWithInvalidThreadId) {
  std::atomic<int> sum{0};
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, &SumUntilQuit, &sum, 0, &id);
  PostThreadMessageW(id, WM_QUIT, 0, 0);
  ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  SetLastError(0);
  EXPECT_FALSE(PostThreadMessageW(id, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
  CloseHandle(thread);
}

TEST(Threads, IdsAreUniqueNonZeroAndSeenByTheThreadItself) {
  const DWORD self = GetCurrentThreadId();
  std::set<DWORD> ids{self};
  for (int i = 0; i < 8; ++i) {
    DWORD reported = 0;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, &ReportOwnId, &reported, 0, &id);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(reported, id);
    EXPECT_NE(id, 0u);
    ids.insert(id);
    CloseHandle(thread);
  }
  DWORD other = 0;
  std::thread([&] { other = GetCurrentThreadId(); }).join();
  ids.insert(other);
  EXPECT_EQ(ids.size(), 10u);
  EXPECT_NE(self, 0u);
  EXPECT_EQ(GetCurrentThreadId(), self);  // stable for the thread's life
}

TEST(Threads, AThreadHandleCanBeClosedWhileTheThreadRuns) {
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, &WaitForGo, go, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(CloseHandle(thread));
  SetEvent(go);
  Sleep(20);
  CloseHandle(go);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Messages, PeekWithoutRemoveLeavesTheMessageAndTheRangeFilters) {
  EXPECT_FALSE(PeekMessageW(nullptr, nullptr, 0, 0, PM_NOREMOVE));  // makes the queue
  const DWORD self = GetCurrentThreadId();
  kelo::host::SetTickCount(5000);
  ASSERT_TRUE(PostThreadMessageW(self, 0x401, 1, 2));
  ASSERT_TRUE(PostThreadMessageW(self, 0x405, 3, -4));
  MSG msg;
  std::memset(&msg, 0xFF, sizeof msg);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.message, 0x401u);
  EXPECT_EQ(msg.hwnd, nullptr);
  EXPECT_GE(msg.time, 5000u);
  EXPECT_LT(msg.time, 6000u);
  EXPECT_EQ(msg.pt.x, 0);
  EXPECT_EQ(msg.pt.y, 0);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0x401, 0x401, PM_NOREMOVE));
  EXPECT_EQ(msg.wParam, 1u);  // still there
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0x402, 0x404, PM_REMOVE));
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0x405, 0x405, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_EQ(msg.lParam, -4);
  ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), 1);
  EXPECT_EQ(msg.message, 0x401u);
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST(Messages, QuitMakesGetMessageReturnZeroWhateverTheFilter) {
  const DWORD self = GetCurrentThreadId();
  PeekMessageW(nullptr, nullptr, 0, 0, PM_NOREMOVE);
  ASSERT_TRUE(PostThreadMessageW(self, WM_QUIT, 0, 0));
  MSG msg = {};
  EXPECT_EQ(GetMessageW(&msg, nullptr, 0x401, 0x405), 0);
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(GetMessageW(nullptr, nullptr, 0, 0), -1);
}

TEST(Messages, GetMessageBlocksUntilAPostArrives) {
  PeekMessageW(nullptr, nullptr, 0, 0, PM_NOREMOVE);
  const DWORD self = GetCurrentThreadId();
  std::thread poster([self] {
    Sleep(50);
    PostThreadMessageW(self, WM_USER + 9, 99, 0);
  });
  MSG msg = {};
  EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), 1);
  EXPECT_EQ(msg.wParam, 99u);
  poster.join();
}

TEST(Messages, AThreadHasNoQueueBeforeItsFirstMessageCallNorAfterItEnds) {
  EXPECT_FALSE(PostThreadMessageW(0x7FFFFFF0, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
  std::atomic<DWORD> id{0};
  std::atomic<bool> posted{false};
  std::atomic<bool> step{false};
  std::thread other([&] {
    id = GetCurrentThreadId();
    while (!step) Sleep(1);
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    posted = PostThreadMessageW(id, WM_USER, 0, 0) != 0;
  });
  while (id == 0) Sleep(1);
  EXPECT_FALSE(PostThreadMessageW(id, WM_USER, 0, 0));  // no queue yet
  step = true;
  other.join();
  EXPECT_TRUE(posted.load());
  EXPECT_FALSE(PostThreadMessageW(id, WM_USER, 0, 0));  // gone with the thread
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
}

TEST(Messages, ManyPostersLoseNothing) {
  std::atomic<int> sum{0};
  DWORD id = 0;
  HANDLE consumer = CreateThread(nullptr, 0, &SumUntilQuit, &sum, 0, &id);
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([id] {
      for (int i = 0; i < 500; ++i) PostThreadMessageW(id, WM_USER, 1, 0);
    });
  }
  for (auto& t : posters) t.join();
  PostThreadMessageW(id, WM_QUIT, 0, 0);
  ASSERT_EQ(WaitForSingleObject(consumer, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(sum.load(), 2000);
  CloseHandle(consumer);
}
