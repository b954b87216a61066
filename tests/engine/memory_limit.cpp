#include "tests/engine/memory_limit.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

namespace kelo::test {

namespace {

constexpr size_t kSafetyNet = size_t{4} << 30;

// A "VmSize:" or "VmPeak:" line of /proc/self/status, in bytes; 0 if absent.
size_t StatusBytes(const char* field) {
  size_t kib = 0;
  if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    const size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, status) != nullptr) {
      if (std::strncmp(line, field, length) == 0) {
        if (std::sscanf(line + length, "%zu", &kib) != 1) kib = 0;
        break;
      }
    }
    std::fclose(status);
  }
  return kib * 1024;
}

}  // namespace

MeasuredRun RunMeasured(size_t allowedGrowth, const std::function<bool()>& body) {
  int channel[2];
  if (pipe(channel) != 0) return {false, 0, "pipe failed"};
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) return {false, 0, "fork failed"};
  if (child == 0) {
    close(channel[0]);
    const size_t start = StatusBytes("VmSize:");
    const size_t peakBefore = StatusBytes("VmPeak:");
    const rlimit limit = {start + kSafetyNet, start + kSafetyNet};
    if (start == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
    int code = 1;
    try {
      code = body() ? 0 : 1;
    } catch (const std::exception&) {
      code = 2;
    }
    // A peak the parent left above the start hides growth below it; the
    // bodies measured here start far below any earlier peak that large.
    const size_t peak = StatusBytes("VmPeak:");
    const size_t growth = peak > peakBefore && peak > start ? peak - start : 0;
    if (write(channel[1], &growth, sizeof growth) != static_cast<ssize_t>(sizeof growth)) code = 4;
    _exit(code);
  }
  close(channel[1]);
  MeasuredRun run;
  ssize_t got;
  do {
    got = read(channel[0], &run.growth, sizeof run.growth);
  } while (got < 0 && errno == EINTR);
  close(channel[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  const std::string grew =
      got == static_cast<ssize_t>(sizeof run.growth)
          ? " (address space grew by " + std::to_string(run.growth >> 20) + " MiB)"
          : "";
  if (!WIFEXITED(status)) {
    run.how = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                  : "did not end normally";
    return run;
  }
  switch (WEXITSTATUS(status)) {
    case 0: break;
    case 1: run.how = "the check failed" + grew; return run;
    case 2: run.how = "an exception (out of memory?)"; return run;
    case 3: run.how = "the limit could not be set"; return run;
    default: run.how = "exit code " + std::to_string(WEXITSTATUS(status)); return run;
  }
  if (got != static_cast<ssize_t>(sizeof run.growth)) {
    run.how = "no measurement came back";
    return run;
  }
  if (run.growth > allowedGrowth) {
    run.how = "address space grew by " + std::to_string(run.growth >> 20) + " MiB";
    return run;
  }
  run.ok = true;
  return run;
}

}  // namespace kelo::test
