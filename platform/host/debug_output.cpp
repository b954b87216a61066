// The debug output: one line per call, to stderr as UTF-8, or kept for a
// test while it captures.

#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/host/host_internal.h"

namespace kelo::host {

namespace {

struct DebugState {
  std::mutex mutex;
  bool capturing = false;
  std::vector<std::string> lines;
};

DebugState& State() {
  static auto* state = new DebugState;  // never destroyed: threads may log until exit
  return *state;
}

void Emit(std::string line) {
  DebugState& s = State();
  std::lock_guard lock(s.mutex);
  if (s.capturing) {
    s.lines.push_back(std::move(line));
    return;
  }
  // The target's lines end in "\r\n"; a terminal wants "\n" alone.
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

void DebugLine(std::string_view utf8Line) {
  std::string line(utf8Line);
  line += "\r\n";
  Emit(std::move(line));
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

}  // namespace kelo::host

extern "C" {

void WINAPI OutputDebugStringW(LPCWSTR text) {
  if (text == nullptr) return;
  kelo::host::Emit(kelo::host::ToUtf8(kelo::host::WideView(text)));
}

}  // extern "C"
