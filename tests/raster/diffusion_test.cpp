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
