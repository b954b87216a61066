// Raster setup: tone tables, geometry, buffers, allocation failure.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include <cmath>
#include <random>
#include <vector>

#include "raster/colour_separation.h"
#include "raster/page_buffers.h"
#include "tests/raster/raster_fixture.h"

namespace {
std::atomic<int> g_allocations{0};
std::atomic<int> g_failAt{-1};  // fail the n-th allocation from now (0-based)
}  // namespace

// The replacements below pair malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Counting allocator for this test binary: every allocation of the raster
// code passes here, so tests can count them and make one fail.
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  const int n = g_allocations.fetch_add(1);
  if (n == g_failAt.load()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size) {
  g_allocations.fetch_add(1);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete[](void* p) noexcept { std::free(p); }
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

GDIINFO Info(ULONG horz, ULONG vert) {
  GDIINFO info = {};
  info.ulHorzRes = horz;
  info.ulVertRes = vert;
  return info;
}

DEVMODEW Mode(bool colour, bool landscape) {
  DEVMODEW devmode = {};
  devmode.dmColor = colour ? DMCOLOR_COLOR : DMCOLOR_MONOCHROME;
  devmode.dmOrientation = landscape ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT;
  return devmode;
}

}  // namespace

TEST(ToneTables, TellingRows) {
  int16_t grey[256];
  int16_t colour[256];
  BYTE value[256];
  FillGreyTone(grey);
  FillColourTone(colour);
  FillValueCurve(value);
  const struct {
    int i, grey, colour, value;
  } rows[] = {{0, 0, 0, 0},          {1, 0, 6, 0},         {2, 9, 15, 0},
              {3, 16, 25, 0},        {16, 170, 224, 1},    {32, 448, 552, 3},
              {64, 1183, 1358, 14},  {128, 3121, 3344, 60}, {192, 5506, 5665, 141},
              {254, 8147, 8150, 253}, {255, 8192, 8192, 255}};
  for (const auto& row : rows) {
    EXPECT_EQ(grey[row.i], row.grey) << row.i;
    EXPECT_EQ(colour[row.i], row.colour) << row.i;
    EXPECT_EQ(value[row.i], row.value) << row.i;
  }
  EXPECT_EQ(value[13], 0);
  EXPECT_EQ(value[14], 1);
  for (int i = 1; i < 256; ++i) {
    EXPECT_LE(grey[i - 1], grey[i]);
    EXPECT_LE(colour[i - 1], colour[i]);
    EXPECT_LE(value[i - 1], value[i]);
  }
}

TEST(SetupRaster, GreyAllocatesNoColourBuffers) {
  RasterState r;
  ASSERT_EQ(SetupRaster(r, Info(640, 904), Mode(false, false)), 1);
  EXPECT_EQ(r.rowWidth, 640);
  EXPECT_EQ(r.rowBytes, 80);
  EXPECT_EQ(r.colourMode, 0);
  EXPECT_NE(r.kValues, nullptr);
  EXPECT_EQ(r.cValues, nullptr);
  EXPECT_EQ(r.colourTone, nullptr);
  EXPECT_EQ(r.valueCurve, nullptr);
  EXPECT_EQ(r.rotationRow, nullptr);
  EXPECT_EQ(r.dotWeightK, 10649);
  EXPECT_EQ(r.dotWeightC, 9011);
  EXPECT_EQ(r.dotWeightM, 9830);
  EXPECT_EQ(r.dotWeightY, 9011);
  EXPECT_EQ(r.blueHueWarp, 163);
  EXPECT_EQ(r.greenHueWarp, 229);
  ReleaseRasterBuffers(r);
}

TEST(SetupRaster, WideTablesHoldTheToneTablesEntries) {
  for (bool colour : {false, true}) {
    RasterState r;
    ASSERT_EQ(SetupRaster(r, Info(64, 64), Mode(colour, false)), 1);
    ASSERT_NE(r.greyToneWide, nullptr);
    EXPECT_EQ(r.colourToneWide != nullptr, colour);
    EXPECT_EQ(r.valueCurveWide != nullptr, colour);
    for (int i = 0; i < 256; ++i) {
      ASSERT_EQ(r.greyToneWide[i], r.greyTone[i]) << i;
      if (!colour) continue;
      ASSERT_EQ(r.colourToneWide[i], r.colourTone[i]) << i;
      ASSERT_EQ(r.valueCurveWide[i], r.valueCurve[i]) << i;
    }
    ReleaseRasterBuffers(r);
    EXPECT_EQ(r.greyToneWide, nullptr);
    EXPECT_EQ(r.valueCurveWide, nullptr);
  }
}

TEST(SetupRaster, LandscapeRowsRunAcrossTheShortSide) {
  RasterState r;
  ASSERT_EQ(SetupRaster(r, Info(904, 640), Mode(true, true)), 1);
  EXPECT_EQ(r.rowWidth, 640);
  EXPECT_EQ(r.rowBytes, 80);
  EXPECT_NE(r.rotationRow, nullptr);
  EXPECT_NE(r.valueCurve, nullptr);
  EXPECT_NE(r.ySeed, nullptr);
  ReleaseRasterBuffers(r);
  ReleaseRasterBuffers(r);  // any number of times
  EXPECT_EQ(r.kDots, nullptr);
}

TEST(SetupRaster, OddWidthRoundsTheRowBytesUp) {
  RasterState r;
  ASSERT_EQ(SetupRaster(r, Info(385, 100), Mode(false, false)), 1);
  EXPECT_EQ(r.rowBytes, 49);
  ReleaseRasterBuffers(r);
}

TEST(SetupRaster, RowsWiderThanOneLengthByteAreRefused) {
  RasterState r;
  EXPECT_EQ(SetupRaster(r, Info(2040, 100), Mode(false, false)), 1);
  EXPECT_EQ(SetupRaster(r, Info(2048, 100), Mode(false, false)), 0);
  EXPECT_EQ(r.kDots, nullptr);
  EXPECT_EQ(SetupRaster(r, Info(0, 100), Mode(false, false)), 0);
  ReleaseRasterBuffers(r);
}

TEST(SetupRaster, AnyFailedAllocationFailsTheSetup) {
  // Grey portrait: 9 buffers; colour landscape: 23.
  for (int fail = 0; fail < 23; ++fail) {
    RasterState r;
    g_allocations = 0;
    g_failAt = fail;
    EXPECT_EQ(SetupRaster(r, Info(904, 640), Mode(true, true)), 0) << "allocation " << fail;
    g_failAt = -1;
    ReleaseRasterBuffers(r);
  }
  RasterState r;
  g_allocations = 0;
  EXPECT_EQ(SetupRaster(r, Info(904, 640), Mode(true, true)), 1);
  EXPECT_EQ(g_allocations.load(), 23);
  ReleaseRasterBuffers(r);
}

TEST(ResetPageRaster, ZeroesSeedsAndErrorsAndRestartsTheNoise) {
  RasterState r;
  ASSERT_EQ(SetupRaster(r, Info(64, 64), Mode(true, false)), 1);
  ResetPageRaster(r);
  const int first = r.Rand();
  r.Rand();
  r.kSeed[3] = 0xFF;
  r.mErrors[5] = -77;
  r.currentMode = 3;
  ResetPageRaster(r);
  EXPECT_EQ(r.kSeed[3], 0);
  EXPECT_EQ(r.mErrors[5], 0);
  EXPECT_EQ(r.currentMode, kModeUnknown);
  EXPECT_EQ(r.Rand(), first);
  ReleaseRasterBuffers(r);
}

TEST(Generator, FollowsTheFixedFormula) {
  RasterState r;
  r.randomState = 119;
  // 119 * 214013 + 2531011 = 27998558, >> 16 = 427.
  EXPECT_EQ(r.Rand(), 427);
  for (int i = 0; i < 1000; ++i) {
    const int v = r.Rand();
    ASSERT_GE(v, 0);
    ASSERT_LE(v, 32767);
  }
}

TEST(RasterAllocations, NoneDuringAWholePage) {
  constexpr int kWidth = 640;
  constexpr int kLines = 904;
  std::mt19937 random(9);
  std::vector<BYTE> page(static_cast<size_t>(kWidth) * kLines * 3);
  for (auto& b : page) b = static_cast<BYTE>(random() % 4 == 0 ? 0xFF : random());
  for (bool colour : {false, true}) {
    RasterFixture f(kWidth, colour, /*record=*/false);
    // A flush reads its settings from the registry, which may allocate on
    // the host; that cost is the channel's, once per flush.
    const BYTE one = 0;
    ASSERT_TRUE(Write(*f.channel, &one, 1));
    g_allocations = 0;
    ASSERT_TRUE(Flush(*f.channel));
    const int perFlush = g_allocations.load();
    f.discarding->writes = 0;

    g_allocations = 0;
    ResetPageRaster(f.raster);
    f.raster.rowCounter = 0;
    for (int y = 0; y < kLines; ++y) {
      ASSERT_TRUE(SeparateRow(f.raster, *f.channel, page.data() + y * kWidth * 3));
    }
    ASSERT_TRUE(Flush(*f.channel));
    const int flushes = f.discarding->writes.load();
    EXPECT_GE(flushes, colour ? 6 : 2);
    EXPECT_EQ(g_allocations.load(), flushes * perFlush) << (colour ? "colour" : "grey");
  }
}
