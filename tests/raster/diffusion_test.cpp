// Error diffusion of one plane's line.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "raster/diffusion.h"
#include "tests/raster/raster_fixture.h"

namespace {

// Runs one K line of `values` and returns its dot row.
std::vector<BYTE> DiffuseK(RasterFixture& f, const std::vector<int16_t>& values) {
  EXPECT_TRUE(DiffuseRow(f.raster, *f.channel, values.data(), f.raster.kErrors, f.raster.kDots,
                         nullptr, f.raster.dotWeightK, f.raster.kSeed, 0));
  return std::vector<BYTE>(f.raster.kDots, f.raster.kDots + f.raster.rowBytes);
}

// A generator state whose next `count` draws satisfy `wanted`.
template <typename Wanted>
uint32_t StateWhoseDraws(int count, Wanted wanted) {
  for (uint32_t state = 0;; ++state) {
    RasterState probe;
    probe.randomState = state;
    std::vector<int> draws;
    for (int i = 0; i < count; ++i) draws.push_back(probe.Rand());
    if (wanted(draws)) return state;
  }
}

int CountDots(const BYTE* row, int bytes) {
  int n = 0;
  for (int i = 0; i < bytes; ++i) n += __builtin_popcount(row[i]);
  return n;
}

}  // namespace

TEST(DiffuseRow, WorkedExample) {
  RasterFixture f(3);
  f.raster.randomState = 0xE170F641;  // the next value drawn is 16384
  const auto dots = DiffuseK(f, {8192, 0, 5000});
  EXPECT_EQ(dots, std::vector<BYTE>{0xA0});
  EXPECT_EQ(f.raster.kErrors[0], 0);
  EXPECT_EQ(f.raster.kErrors[1], -1059);
  EXPECT_EQ(f.raster.kErrors[2], -1765);
}

TEST(DiffuseRow, AllZeroPrintsNothingAndPassesErrorsOn) {
  RasterFixture f(64);
  for (int x = 0; x < 64; ++x) f.raster.kErrors[x] = 3000;
  const std::vector<int16_t> white(64, 0);
  const auto dots = DiffuseK(f, white);
  EXPECT_EQ(CountDots(dots.data(), 8), 0);
  int carried = 0;
  for (int x = 0; x < 64; ++x) carried += f.raster.kErrors[x];
  EXPECT_GT(carried, 0);
}

TEST(DiffuseRow, AllFullTonePrintsEveryDot) {
  RasterFixture f(64);
  for (int x = 0; x < 64; ++x) f.raster.kErrors[x] = -8000;
  const auto dots = DiffuseK(f, std::vector<int16_t>(64, 8192));
  EXPECT_EQ(CountDots(dots.data(), 8), 64);
}

TEST(DiffuseRow, MaskedPixelsGetNoDotAndPassTheirTone) {
  RasterFixture f(16, true);
  std::memset(f.raster.kDots, 0, 2);
  f.raster.kDots[0] = 0xFF;
  const std::vector<int16_t> tone(16, 8192);
  ASSERT_TRUE(DiffuseRow(f.raster, *f.channel, tone.data(), f.raster.cErrors, f.raster.cmyDots,
                         f.raster.kDots, f.raster.dotWeightC, f.raster.cSeed, 1));
  EXPECT_EQ(f.raster.cmyDots[0], 0x00);
  EXPECT_EQ(f.raster.cmyDots[1], 0xFF);
  // The masked tone went on to the next line.
  EXPECT_GT(f.raster.cErrors[3], 0);
}

TEST(DiffuseRow, OddLinesRunRightToLeftAndLoseTheGuardShares) {
  RasterFixture f(2);
  f.raster.rowCounter = 1;
  f.raster.randomState = 0xE170F641;
  // Pixel 1 first (noise path, prints), pixel 0 then white.
  const auto dots = DiffuseK(f, {0, 5000});
  EXPECT_EQ(dots, std::vector<BYTE>{0x40});
  // e = -5649 at x = 1: 5/16 to x = 1, 1/16 to x = 0, 3/16 to the guard
  // at w. Pixel 0 then passes on the carry -2472: 5/16 to x = 0, 3/16 back
  // to x = 1, 1/16 to the guard at -1.
  EXPECT_EQ(f.raster.kErrors[1], -1765 + (3 * -2472) / 16);
  EXPECT_EQ(f.raster.kErrors[0], -353 + (5 * -2472) / 16);
}

TEST(DiffuseRow, DensityOverALargeAreaFollowsTheDotWeight) {
  RasterFixture f(256);
  for (const auto& [tone, expected] : {std::pair{4096, 4096.0 / 10649}, {8191, 8191.0 / 10649}}) {
    ResetPageRaster(f.raster);
    f.raster.rowCounter = 0;
    const std::vector<int16_t> line(256, static_cast<int16_t>(tone));
    int dots = 0;
    for (int y = 0; y < 200; ++y) {
      ASSERT_TRUE(DiffuseRow(f.raster, *f.channel, line.data(), f.raster.kErrors, f.raster.kDots,
                             nullptr, f.raster.dotWeightK, f.raster.kSeed, 0));
      dots += CountDots(f.raster.kDots, 32);
      ++f.raster.rowCounter;
    }
    EXPECT_NEAR(dots / (256.0 * 200), expected, 0.02) << "tone " << tone;
  }
}

TEST(DiffuseRow, EvenLinesLoseTheOuterSharesToTheGuards) {
  RasterFixture f(2);
  f.raster.randomState = 0xE170F641;
  const auto dots = DiffuseK(f, {5000, 0});
  EXPECT_EQ(dots, std::vector<BYTE>{0x80});
  // e = -5649 at x = 0: 1/16 to x = 1, 5/16 to x = 0, 3/16 to the guard at
  // -1. Pixel 1 passes on the carry -2472: 5/16 to x = 1, 3/16 to x = 0,
  // 1/16 to the guard at w.
  EXPECT_EQ(f.raster.kErrors[0], -1765 + (3 * -2472) / 16);
  EXPECT_EQ(f.raster.kErrors[1], -353 + (5 * -2472) / 16);
}

TEST(DiffuseRow, DrawsOneValuePerNoisePathPixel) {
  RasterFixture f(16, true);
  std::memset(f.raster.kDots, 0, 2);
  f.raster.kDots[1] = 0xF0;  // pixels 8..11 masked
  // 0 and 8192 draw nothing, masked pixels draw nothing, 4096 draws.
  const std::vector<int16_t> tone = {0,    8192, 4096, 4096, 1,    8191, 0,    0,
                                     4096, 4096, 4096, 4096, 4096, 0,    8192, 4096};
  RasterState expected;
  expected.randomState = f.raster.randomState;
  for (int i = 0; i < 6; ++i) expected.Rand();
  ASSERT_TRUE(DiffuseRow(f.raster, *f.channel, tone.data(), f.raster.cErrors, f.raster.cmyDots,
                         f.raster.kDots, f.raster.dotWeightC, f.raster.cSeed, 1));
  EXPECT_EQ(f.raster.randomState, expected.randomState);
}

TEST(DiffuseRow, NoiseSignAlternatesAndZeroNoiseBreaksTheChain) {
  const struct {
    const char* what;
    std::vector<int16_t> values;
    std::vector<int16_t> errors;
    int draw;  // which draw must be large
    int above;
    BYTE dots;
  } cases[] = {
      // Two light pixels: the second noise is negated to positive, and only
      // that lifts pixel 1 (s = 2875) over the threshold.
      {"same sign", {2000, 2000}, {0, 0}, 1, 20000, 0x40},
      // Light then dark: signs differ, the positive noise stays and prints
      // pixel 1 (s = 3375).
      {"opposite signs", {2000, 6000}, {0, -3500}, 1, 14000, 0x40},
      // The zero noise of 4096 ends the chain: pixel 2's negative noise is
      // kept, so it stays white (s = 3000).
      {"zero noise", {2000, 4096, 2000}, {0, 0, 3486}, 2, 19000, 0x40},
      // The line's first noise has no predecessor and keeps its sign
      // (s = 3000).
      {"first noise", {6000}, {-3000}, 0, 30000, 0x80},
  };
  for (const auto& c : cases) {
    RasterFixture f(static_cast<ULONG>(c.values.size()));
    std::copy(c.errors.begin(), c.errors.end(), f.raster.kErrors);
    f.raster.randomState = StateWhoseDraws(static_cast<int>(c.values.size()),
                                           [&](const std::vector<int>& d) {
                                             return d[static_cast<size_t>(c.draw)] > c.above;
                                           });
    EXPECT_EQ(DiffuseK(f, c.values), std::vector<BYTE>{c.dots}) << c.what;
  }
}
