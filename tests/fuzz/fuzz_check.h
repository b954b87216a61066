// The checks of the fuzz targets: a condition that does not hold ends the
// run with the target's name and what failed, so that libFuzzer keeps the
// input (and the replay test fails on it).
#pragma once

#include <cstdio>
#include <cstdlib>

namespace kelo::fuzz {

inline void CheckOrAbort(bool condition, const char* target, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "%s: %s\n", target, what);
  std::abort();
}

}  // namespace kelo::fuzz
