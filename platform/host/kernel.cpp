// Last error, debug output, strings, time, GDI objects and caller buffers.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <ctime>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/host/host_internal.h"

namespace kelo::host {

namespace {

thread_local DWORD t_lastError = 0;

struct DebugState {
  std::mutex mutex;
  bool capturing = false;
  std::vector<std::string> lines;
  std::function<BOOL(HGDIOBJ)> gdiDeleter;
};

DebugState& State() {
  static auto* state = new DebugState;  // never destroyed: used until exit
  return *state;
}

std::atomic<int64_t> g_tickOffset{0};

int64_t MonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void FillSystemTime(SYSTEMTIME& out, bool local) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
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
  out.wMilliseconds = static_cast<WORD>(ms);
}

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

}  // namespace

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    uint32_t c = 0xFFFD;
    size_t extra = 0;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    }
    ++i;
    bool bad = b >= 0x80 && extra == 0;
    for (size_t k = 0; k < extra; ++k, ++i) {
      if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
        bad = true;
        break;
      }
      c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    }
    if (bad || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::u16string Lower(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) c = FoldAscii(c);
  return out;
}

size_t WideLength(const WCHAR* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

void DebugLine(const std::string& utf8Line) {
  DebugState& s = State();
  std::lock_guard lock(s.mutex);
  if (s.capturing) {
    s.lines.push_back(utf8Line);
    return;
  }
  std::fputs(utf8Line.c_str(), stderr);
  if (utf8Line.empty() || utf8Line.back() != '\n') std::fputc('\n', stderr);
  std::fflush(stderr);
}

void StartDebugCapture() {
  std::lock_guard lock(State().mutex);
  State().capturing = true;
}

std::vector<std::string> TakeDebugLines() {
  std::lock_guard lock(State().mutex);
  return std::exchange(State().lines, {});
}

void StopDebugCapture() {
  std::lock_guard lock(State().mutex);
  State().capturing = false;
  State().lines.clear();
}

void SetTickCount(DWORD value) {
  g_tickOffset.store(static_cast<int64_t>(value) - MonotonicMs());
}

void SetGdiObjectDeleter(std::function<BOOL(HGDIOBJ)> deleter) {
  std::lock_guard lock(State().mutex);
  State().gdiDeleter = std::move(deleter);
}

}  // namespace kelo::host

using namespace kelo::host;

extern "C" {

DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD error) { t_lastError = error; }

void WINAPI OutputDebugStringW(LPCWSTR text) {
  if (text == nullptr) return;
  DebugLine(ToUtf8(std::u16string_view(text, WideLength(text))));
}

DWORD WINAPI GetTickCount(void) {
  return static_cast<DWORD>(static_cast<uint64_t>(MonotonicMs() + g_tickOffset.load()));
}

void WINAPI Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void WINAPI GetLocalTime(LPSYSTEMTIME time) {
  if (time != nullptr) FillSystemTime(*time, true);
}

void WINAPI GetSystemTime(LPSYSTEMTIME time) {
  if (time != nullptr) FillSystemTime(*time, false);
}

int WINAPI CompareStringW(LCID, DWORD flags, LPCWSTR a, int countA, LPCWSTR b, int countB) {
  if (a == nullptr || b == nullptr || countA < -1 || countB < -1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t lengthA = countA == -1 ? WideLength(a) : static_cast<size_t>(countA);
  const size_t lengthB = countB == -1 ? WideLength(b) : static_cast<size_t>(countB);
  const bool fold = (flags & NORM_IGNORECASE) != 0;
  for (size_t i = 0; i < lengthA && i < lengthB; ++i) {
    const char16_t ca = fold ? FoldAscii(a[i]) : a[i];
    const char16_t cb = fold ? FoldAscii(b[i]) : b[i];
    if (ca != cb) return ca < cb ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
  }
  if (lengthA == lengthB) return CSTR_EQUAL;
  return lengthA < lengthB ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

BOOL WINAPI DeleteObject(HGDIOBJ object) {
  std::function<BOOL(HGDIOBJ)> deleter;
  {
    std::lock_guard lock(State().mutex);
    deleter = State().gdiDeleter;
  }
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return deleter ? deleter(object) : TRUE;
}

HRESULT WINAPI CeOpenCallerBuffer(PVOID* destination, PVOID source, DWORD size, DWORD,
                                  BOOL) {
  if (destination == nullptr || (source == nullptr && size != 0)) return E_INVALIDARG;
  // One address space: the caller's buffer is the service's view.
  *destination = source;
  return S_OK;
}

HRESULT WINAPI CeCloseCallerBuffer(PVOID, PVOID, DWORD, DWORD) { return S_OK; }

}  // extern "C"
