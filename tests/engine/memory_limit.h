// Runs a piece of a test in a child process and measures how far its
// address space grew, so that a test can show an input costs what it should
// and not gigabytes. Address space counts what was allocated, touched or not
// (an allocation that is never filled costs no RAM but is still a fault).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace kelo::test {

struct MeasuredRun {
  bool ok = false;     // the body returned true and the growth stayed within bounds
  size_t growth = 0;   // bytes the peak address space rose above the start
  std::string how;     // why not ok, for the failure message
};

// The child may grow by at most `allowedGrowth` bytes; beyond a few GiB its
// allocations fail (a safety net, so that a fault cannot take the machine's
// memory).
MeasuredRun RunMeasured(size_t allowedGrowth, const std::function<bool()>& body);

}  // namespace kelo::test
