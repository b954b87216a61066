// The Windows side of the line tests run by peer.py: results go to stdout
// one a line ("ok NAME", "FAIL NAME: why", "note NAME: text"); a request for
// the peer is a line "? REQUEST" whose answer comes back on stdin.
// Include it after the Win32 declarations (<windows.h> or the library's
// platform headers): it uses DWORD and GetTickCount.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace win32test {

inline int g_failures = 0;

inline std::string Format(const char* format, va_list args) {
  char text[1024];
  vsnprintf(text, sizeof text, format, args);
  return text;
}

// One check, one line; the detail is printed on failure only.
inline bool Check(const char* name, bool passed, const char* format = "", ...) {
  if (passed) {
    std::printf("ok %s\n", name);
  } else {
    va_list args;
    va_start(args, format);
    std::printf("FAIL %s: %s\n", name, Format(format, args).c_str());
    va_end(args);
    ++g_failures;
  }
  std::fflush(stdout);
  return passed;
}

// An observation that is not a verdict.
inline void Note(const char* name, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::printf("note %s: %s\n", name, Format(format, args).c_str());
  va_end(args);
  std::fflush(stdout);
}

// Sends a request to the peer and returns its one-line answer ("" when
// stdin ended: the peer is gone).
inline std::string Ask(const std::string& request) {
  std::printf("? %s\n", request.c_str());
  std::fflush(stdout);
  char answer[1024];
  if (std::fgets(answer, sizeof answer, stdin) == nullptr) return "";
  std::string text = answer;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

inline std::string Hex(const void* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

// The value of `key` in the peer's "a=1 b=2" answer, -1 when absent.
inline long Field(const std::string& pairs, const char* key) {
  const std::string wanted = std::string(key) + "=";
  size_t at = 0;
  while ((at = pairs.find(wanted, at)) != std::string::npos) {
    if (at == 0 || pairs[at - 1] == ' ') {
      return std::strtol(pairs.c_str() + at + wanted.size(), nullptr, 10);
    }
    at += wanted.size();
  }
  return -1;
}

inline DWORD ElapsedMs(DWORD start) { return GetTickCount() - start; }

}  // namespace win32test
