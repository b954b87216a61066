// Time: the wrapping millisecond tick count, Sleep and the clock as a date.

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include "platform/host/host_internal.h"

namespace kelo::host {

namespace {

// Added to the monotonic clock; SetTickCount and virtual sleeps move it.
std::atomic<int64_t> g_tickOffset{0};
std::atomic<bool> g_virtualSleep{false};

int64_t MonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void FillSystemTime(SYSTEMTIME& out, bool local) {
  using namespace std::chrono;
  const auto sinceEpoch =
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const auto seconds = static_cast<std::time_t>(sinceEpoch / 1000);
  std::tm parts = {};
  if (local) {
    localtime_r(&seconds, &parts);
  } else {
    gmtime_r(&seconds, &parts);
  }
  out.wYear = static_cast<WORD>(parts.tm_year + 1900);
  out.wMonth = static_cast<WORD>(parts.tm_mon + 1);
  out.wDayOfWeek = static_cast<WORD>(parts.tm_wday);
  out.wDay = static_cast<WORD>(parts.tm_mday);
  out.wHour = static_cast<WORD>(parts.tm_hour);
  out.wMinute = static_cast<WORD>(parts.tm_min);
  out.wSecond = static_cast<WORD>(parts.tm_sec);
  out.wMilliseconds = static_cast<WORD>(sinceEpoch % 1000);
}

}  // namespace

void SetTickCount(DWORD value) { g_tickOffset.store(static_cast<int64_t>(value) - MonotonicMs()); }

void SetVirtualSleep(bool on) { g_virtualSleep.store(on); }

}  // namespace kelo::host

using namespace kelo::host;

extern "C" {

DWORD WINAPI GetTickCount(void) {
  // Two's-complement truncation gives the wrap at 2^32.
  return static_cast<DWORD>(static_cast<uint64_t>(MonotonicMs() + g_tickOffset.load()));
}

void WINAPI Sleep(DWORD milliseconds) {
  if (g_virtualSleep.load()) {
    g_tickOffset.fetch_add(milliseconds);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void WINAPI GetLocalTime(LPSYSTEMTIME time) {
  if (time != nullptr) FillSystemTime(*time, true);
}

void WINAPI GetSystemTime(LPSYSTEMTIME time) {
  if (time != nullptr) FillSystemTime(*time, false);
}

}  // extern "C"
