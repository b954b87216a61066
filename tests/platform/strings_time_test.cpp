// Last error, debug output, strings, the tick count and the clock.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/host/host_api.h"

namespace {
constexpr DWORD kSentinel = 0x5EE1u;
}

TEST(LastError, IsKeptPerThread) {
  SetLastError(1234);
  DWORD seen = 99;
  std::thread([&] {
    seen = GetLastError();
    SetLastError(5);
  }).join();
  EXPECT_EQ(seen, 0u);
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST(LastError, ErrnoValuesMapToWin32Codes) {
  EXPECT_EQ(kelo::host::Win32ErrorFromErrno(ENOENT), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(kelo::host::Win32ErrorFromErrno(EACCES), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(kelo::host::Win32ErrorFromErrno(EBUSY), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(kelo::host::Win32ErrorFromErrno(ENODEV), static_cast<DWORD>(ERROR_DEV_NOT_EXIST));
  EXPECT_EQ(kelo::host::Win32ErrorFromErrno(EIO), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

TEST(TickCount, WrapsAt32BitsAndDifferencesStayRight) {
  kelo::host::SetTickCount(0xFFFFFFF0u);
  const DWORD before = GetTickCount();
  EXPECT_GE(before, 0xFFFFFFF0u);
  Sleep(40);
  const DWORD after = GetTickCount();
  EXPECT_LT(after, 0x10000u);  // wrapped past zero
  EXPECT_GE(after - before, 40u);
  EXPECT_LT(after - before, 10000u);
}

TEST(TickCount, CountsFromTheValueSet) {
  kelo::host::SetTickCount(1000);
  const DWORD first = GetTickCount();
  EXPECT_GE(first, 1000u);
  EXPECT_LT(first, 1500u);
  Sleep(20);
  EXPECT_GE(GetTickCount() - first, 20u);
}


// A virtual sleep moves the tick count by exactly its length and does not
// wait for it (an hour would time the test out); turned off, Sleep waits.
TEST(TickCount, VirtualSleepMovesTheCountWithoutWaiting) {
  kelo::host::SetTickCount(0xFFFFFF00u);  // across the wrap as well
  kelo::host::SetVirtualSleep(true);
  const DWORD before = GetTickCount();
  Sleep(3600 * 1000);
  const DWORD after = GetTickCount();
  kelo::host::SetVirtualSleep(false);
  EXPECT_GE(after - before, 3600u * 1000u);
  EXPECT_LT(after - before, 3600u * 1000u + 10000u);
  const auto start = std::chrono::steady_clock::now();
  Sleep(30);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}
TEST(Clock, FillsEveryFieldOfLocalAndSystemTime) {
  for (const int fill : {0x00, 0xFF}) {
    SYSTEMTIME local;
    SYSTEMTIME utc;
    std::memset(&local, fill, sizeof local);
    std::memset(&utc, fill, sizeof utc);
    GetLocalTime(&local);
    GetSystemTime(&utc);
    for (const SYSTEMTIME& t : {local, utc}) {
      EXPECT_GE(t.wYear, 2024);
      EXPECT_LT(t.wYear, 2200);
      EXPECT_GE(t.wMonth, 1);
      EXPECT_LE(t.wMonth, 12);
      EXPECT_LE(t.wDayOfWeek, 6);
      EXPECT_GE(t.wDay, 1);
      EXPECT_LE(t.wDay, 31);
      EXPECT_LE(t.wHour, 23);
      EXPECT_LE(t.wMinute, 59);
      EXPECT_LE(t.wSecond, 60);
      EXPECT_LT(t.wMilliseconds, 1000);
    }
  }
  // 1 January 2000 was a Saturday: the day of week follows the date.
  SYSTEMTIME t;
  GetSystemTime(&t);
  int y = t.wYear;
  int m = t.wMonth;
  if (m < 3) {
    m += 12;
    --y;
  }
  const int zeller = (t.wDay + 13 * (m + 1) / 5 + y + y / 4 - y / 100 + y / 400) % 7;  // 0 = Sat
  EXPECT_EQ(t.wDayOfWeek, (zeller + 6) % 7);
}

TEST(Strings, CompareIgnoringCase) {
  SetLastError(kSentinel);
  EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"com", 3, u"COM", 3),
            CSTR_EQUAL);
  EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, 0, u"com", 3, u"COM", 3), CSTR_GREATER_THAN);
  EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"LPT1:", 3, u"lpt", -1),
            CSTR_EQUAL);
  EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"CO", -1, u"COM", -1),
            CSTR_LESS_THAN);
  EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"COM2", -1, u"com1", -1),
            CSTR_GREATER_THAN);
  EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"", 0, u"", -1), CSTR_EQUAL);
  EXPECT_EQ(GetLastError(), kSentinel);
  EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, nullptr, 1, u"COM", -1), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"COM", -1, nullptr, -1), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Strings, Utf8RoundTripsEveryPlane) {
  const std::u16string text = u"KLP \u00FC\u20AC \U0001F5A8";
  const std::string utf8 = kelo::host::ToUtf8(text);
  EXPECT_EQ(utf8, "KLP \xC3\xBC\xE2\x82\xAC \xF0\x9F\x96\xA8");
  EXPECT_EQ(kelo::host::FromUtf8(utf8), text);
}

TEST(Strings, BadSequencesBecomeReplacementCharacters) {
  using kelo::host::FromUtf8;
  using kelo::host::ToUtf8;
  EXPECT_EQ(FromUtf8("\xC3"), u"\uFFFD");              // cut short
  EXPECT_EQ(FromUtf8("\xC3("), u"\uFFFD(");            // the next character survives
  EXPECT_EQ(FromUtf8("\xC0\x80"), u"\uFFFD");          // overlong NUL
  EXPECT_EQ(FromUtf8("\xE0\x80\xAF"), u"\uFFFD");      // overlong '/'
  EXPECT_EQ(FromUtf8("\xED\xA0\x80"), u"\uFFFD");      // an encoded surrogate
  EXPECT_EQ(FromUtf8("\xF4\x90\x80\x80"), u"\uFFFD");  // above U+10FFFF
  EXPECT_EQ(FromUtf8("\x80\xFF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
  EXPECT_EQ(ToUtf8(std::u16string(u"\xDC00"
                                  "a")),
            "\xEF\xBF\xBD"
            "a");
  EXPECT_EQ(ToUtf8(std::u16string(u"\xD800"
                                  "\xD800"
                                  "\xDC00")),
            "\xEF\xBF\xBD\xF0\x90\x80\x80");
}

TEST(DebugOutput, CapturedLinesAreKeptAsUtf8) {
  kelo::host::StartDebugCapture();
  OutputDebugStringW(u"KLP_OPEN PrinterOpen error\r\n");
  OutputDebugStringW(u"Gr\u00FC\u00DFe");
  OutputDebugStringW(nullptr);
  const auto lines = kelo::host::TakeDebugLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "KLP_OPEN PrinterOpen error\r\n");
  EXPECT_EQ(lines[1],
            "Gr\xC3\xBC\xC3\x9F"
            "e");
  EXPECT_TRUE(kelo::host::TakeDebugLines().empty());
  kelo::host::StopDebugCapture();
}

TEST(DebugOutput, WithoutCaptureLinesGoToStderr) {
  ::testing::internal::CaptureStderr();
  OutputDebugStringW(u"first\r\n");
  OutputDebugStringW(u"second \u00FC");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "first\nsecond \xC3\xBC\n");
}
