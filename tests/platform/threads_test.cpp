// Events, waits, threads with their message queues, time and strings.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/host/host_api.h"

namespace {

DWORD WINAPI EchoThread(LPVOID parameter) {
  auto* received = static_cast<std::atomic<int>*>(parameter);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) received->fetch_add(static_cast<int>(msg.wParam));
  return 7;
}

DWORD WINAPI ReturnAtOnce(LPVOID) { return 3; }

}  // namespace

TEST(Events, TheSameNameGivesTheSameEvent) {
  HANDLE first = CreateEventW(nullptr, FALSE, FALSE, u"KELO_TEST_EVENT");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  HANDLE second = CreateEventW(nullptr, FALSE, FALSE, u"KELO_TEST_EVENT");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_NE(first, second);
  ASSERT_TRUE(SetEvent(first));
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
  CloseHandle(first);
  CloseHandle(second);
}

TEST(Events, AutoResetReleasesOneWaiterAndStaysSetWhileNobodyWaits) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_TIMEOUT);
  SetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // reset by the first wait

  std::atomic<int> woken{0};
  std::thread a([&] { woken += WaitForSingleObject(event, 500) == WAIT_OBJECT_0; });
  std::thread b([&] { woken += WaitForSingleObject(event, 500) == WAIT_OBJECT_0; });
  Sleep(50);
  SetEvent(event);
  a.join();
  b.join();
  EXPECT_EQ(woken.load(), 1);
  CloseHandle(event);
}

TEST(Events, ManualResetStaysSetUntilReset) {
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  ResetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST(Events, BadHandlesFail) {
  EXPECT_FALSE(EventModify(reinterpret_cast<HANDLE>(0x12345), EVENT_SET));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x12345), 0), WAIT_FAILED);
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x12345)));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
}

TEST(Threads, AMessagePostedRightAfterCreationArrives) {
  std::atomic<int> received{0};
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, &EchoThread, &received, 0, &id);
  ASSERT_NE(thread, nullptr);
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(PostThreadMessageW(id, WM_USER + 1, 5, 0));
  EXPECT_TRUE(PostThreadMessageW(id, WM_USER + 1, 6, 0));
  EXPECT_TRUE(PostThreadMessageW(id, WM_QUIT, 0, 0));
  ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(received.load(), 11);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
  // The queue went with the thread.
  EXPECT_FALSE(PostThreadMessageW(id, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
  CloseHandle(thread);
}

TEST(Threads, ExitCodeIsStillActiveWhileRunning) {
  std::atomic<int> received{0};
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, &EchoThread, &received, 0, &id);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  PostThreadMessageW(id, WM_QUIT, 0, 0);
  EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  CloseHandle(thread);
  HANDLE quick = CreateThread(nullptr, 0, &ReturnAtOnce, nullptr, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(quick, 5000), WAIT_OBJECT_0);
  CloseHandle(quick);
}

TEST(Messages, PeekWithoutRemoveLeavesTheMessageAndFiltersByRange) {
  EXPECT_FALSE(PeekMessageW(nullptr, nullptr, 0, 0, PM_NOREMOVE));  // creates the queue
  const DWORD self = GetCurrentThreadId();
  ASSERT_TRUE(PostThreadMessageW(self, 0x401, 1, 2));
  ASSERT_TRUE(PostThreadMessageW(self, 0x405, 3, 4));
  MSG msg = {};
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.message, 0x401u);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0x405, 0x405, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_EQ(msg.lParam, 4);
  ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), 1);
  EXPECT_EQ(msg.message, 0x401u);
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST(Messages, UnknownThreadHasNoQueue) {
  EXPECT_FALSE(PostThreadMessageW(0x7FFFFFF0, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
}

TEST(CriticalSection, IsReentrant) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  std::atomic<bool> other{true};
  std::thread t([&] { other = TryEnterCriticalSection(&section) != 0; });
  t.join();
  EXPECT_FALSE(other.load());
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  std::thread u([&] {
    other = TryEnterCriticalSection(&section) != 0;
    if (other) LeaveCriticalSection(&section);
  });
  u.join();
  EXPECT_TRUE(other.load());
  DeleteCriticalSection(&section);
}

TEST(TickCount, WrapsAt32Bits) {
  kelo::host::SetTickCount(0xFFFFFFF0u);
  const DWORD before = GetTickCount();
  EXPECT_GE(before, 0xFFFFFFF0u);
  Sleep(40);
  const DWORD after = GetTickCount();
  EXPECT_LT(after, 0x1000u);  // wrapped past zero
  EXPECT_GE(after - before, 40u);  // the difference stays right across the wrap
}

TEST(Clock, LocalTimeIsPlausible) {
  SYSTEMTIME time;
  std::memset(&time, 0xFF, sizeof time);
  GetLocalTime(&time);
  EXPECT_GE(time.wYear, 2024);
  EXPECT_GE(time.wMonth, 1);
  EXPECT_LE(time.wMonth, 12);
  EXPECT_LE(time.wDayOfWeek, 6);
  EXPECT_LT(time.wMilliseconds, 1000);
}

TEST(Strings, CompareIgnoringCase) {
  EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"com", 3, u"COM", 3),
            CSTR_EQUAL);
  EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, 0, u"com", 3, u"COM", 3), CSTR_GREATER_THAN);
  EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"LPT1:", 3, u"lpt", -1),
            CSTR_EQUAL);
  EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"CO", -1, u"COM", -1),
            CSTR_LESS_THAN);
  EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, nullptr, 1, u"COM", -1), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Strings, Utf8RoundTripAndBadInput) {
  const std::u16string text = u"Grüße \U0001F5A8";
  EXPECT_EQ(kelo::host::FromUtf8(kelo::host::ToUtf8(text)), text);
  EXPECT_EQ(kelo::host::FromUtf8("\xC3"), u"\uFFFD");
  EXPECT_EQ(kelo::host::ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
}

TEST(DebugOutput, LinesAreCapturedAsUtf8) {
  kelo::host::StartDebugCapture();
  OutputDebugStringW(u"KLP_OPEN PrinterOpen error\r\n");
  OutputDebugStringW(nullptr);
  const auto lines = kelo::host::TakeDebugLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "KLP_OPEN PrinterOpen error\r\n");
}
