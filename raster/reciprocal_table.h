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

// x / d truncated for 0 <= x < 2^24 and a constant d, as (x * m) >> (32 +
// shift) with m = ceil(2^(32 + shift) / d): the vector code's division by
// 255 and by 65025 (two truncating divisions by 255 in a row), a multiply
// where a division would take four times as long. With e = m d - 2^(32 +
// shift), x m / 2^(32 + shift) exceeds x / d by x e / (d 2^(32 + shift)),
// less than 1 / d when x e < 2^(32 + shift); the remainder of x / d is at
// most (d - 1) / d, so the sum never reaches the next integer.
struct ConstantDivisor {
  uint32_t multiplier;
  int shift;  // beyond 32
};

constexpr ConstantDivisor MakeConstantDivisor(uint64_t d, int shift) {
  const uint64_t scale = uint64_t{1} << (32 + shift);
  return {static_cast<uint32_t>((scale + d - 1) / d), shift};
}

constexpr bool ExactBelow2To24(ConstantDivisor divisor, uint64_t d) {
  const uint64_t scale = uint64_t{1} << (32 + divisor.shift);
  const uint64_t excess = divisor.multiplier * d - scale;
  return ((uint64_t{1} << 24) - 1) * excess < scale;
}

inline constexpr ConstantDivisor kDivideBy255 = MakeConstantDivisor(255, 0);
inline constexpr ConstantDivisor kDivideBy65025 = MakeConstantDivisor(65025, 8);
static_assert(ExactBelow2To24(kDivideBy255, 255), "x / 255 needs a larger shift");
static_assert(ExactBelow2To24(kDivideBy65025, 65025), "x / 65025 needs a larger shift");
