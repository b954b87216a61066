// a * 255 / d without a division by a variable, for the HSV conversion,
// where d (a component difference or the largest component) is 1..255 and
// 0 <= a <= 255.
//
// kScaledReciprocal[d] = ceil(255 * 2^24 / d). For a <= 255 the rounding
// excess a * (kScaledReciprocal[d] * d - 255 * 2^24) stays below 2^24, so
// the shifted product is the truncated quotient exactly; a test checks
// every (a, d) pair.
#pragma once

#include <array>
#include <cstdint>

inline constexpr int kReciprocalShift = 24;

inline constexpr std::array<uint32_t, 256> kScaledReciprocal = [] {
  std::array<uint32_t, 256> table = {};
  constexpr uint64_t scaled = uint64_t{255} << kReciprocalShift;
  for (uint64_t d = 1; d < 256; ++d) table[d] = static_cast<uint32_t>((scaled + d - 1) / d);
  return table;
}();

// a * 255 / d, truncated; 0 <= a <= 255, 1 <= d <= 255.
inline int Times255Over(int a, int d) {
  return static_cast<int>((static_cast<uint64_t>(a) * kScaledReciprocal[d]) >> kReciprocalShift);
}
