// The vector separation and grey conversion paths against the per-pixel
// ones.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "raster/separation_line.h"
#include "tests/raster/raster_fixture.h"

namespace {

// The paths this machine runs besides the per-pixel one.
std::vector<SeparationPath> OtherPaths() {
  std::vector<SeparationPath> paths;
  for (SeparationPath path : {SeparationPath::kVector, SeparationPath::kVectorAvx2}) {
    if (SeparationPathAvailable(path)) paths.push_back(path);
  }
  return paths;
}

struct LineTones {
  std::vector<int16_t> k, c, m, y;
  explicit LineTones(const RasterState& r)
      : k(r.kValues, r.kValues + r.rowWidth),
        c(r.cValues, r.cValues + r.rowWidth),
        m(r.mValues, r.mValues + r.rowWidth),
        y(r.yValues, r.yValues + r.rowWidth) {}
};

// The first pixel where the tones of path differ from the per-pixel ones,
// or -1.
int FirstDifference(const RasterState& r, const BYTE* bgr, SeparationPath path) {
  SeparateColourLine(r, bgr, r.rowWidth, SeparationPath::kScalar);
  const LineTones scalar(r);
  SeparateColourLine(r, bgr, r.rowWidth, path);
  const LineTones other(r);
  for (int x = 0; x < r.rowWidth; ++x) {
    const auto i = static_cast<size_t>(x);
    if (scalar.k[i] != other.k[i] || scalar.c[i] != other.c[i] || scalar.m[i] != other.m[i] ||
        scalar.y[i] != other.y[i]) {
      return x;
    }
  }
  return -1;
}

// The same for the grey printing's K tones.
int FirstGreyDifference(const RasterState& r, const BYTE* bgr, SeparationPath path) {
  GreyToneLine(r, bgr, r.rowWidth, SeparationPath::kScalar);
  const std::vector<int16_t> scalar(r.kValues, r.kValues + r.rowWidth);
  GreyToneLine(r, bgr, r.rowWidth, path);
  for (int x = 0; x < r.rowWidth; ++x) {
    if (scalar[static_cast<size_t>(x)] != r.kValues[x]) return x;
  }
  return -1;
}

}  // namespace

TEST(SeparationLine, TheBuildHasItsVectorPath) {
  EXPECT_TRUE(SeparationPathAvailable(SeparationPath::kScalar));
#if defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 10)  // vector extensions
  EXPECT_TRUE(SeparationPathAvailable(SeparationPath::kVector));
#endif
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  __builtin_cpu_init();
  EXPECT_EQ(SeparationPathAvailable(SeparationPath::kVectorAvx2),
            __builtin_cpu_supports("avx2") != 0);
#endif
  EXPECT_TRUE(SeparationPathAvailable(FastestSeparationPath()));
}

// Every one of the 2^24 colours, 1024 to a line, on every path.
TEST(SeparationLine, EveryColourMatchesThePerPixelPath) {
  constexpr int kWidth = 1024;
  RasterFixture f(kWidth, true, false);
  std::vector<BYTE> line(3 * kWidth);
  for (int row = 0; row < (1 << 24) / kWidth; ++row) {
    for (int x = 0; x < kWidth; ++x) {
      const int colour = row * kWidth + x;
      line[3 * static_cast<size_t>(x)] = static_cast<BYTE>(colour);
      line[3 * static_cast<size_t>(x) + 1] = static_cast<BYTE>(colour >> 8);
      line[3 * static_cast<size_t>(x) + 2] = static_cast<BYTE>(colour >> 16);
    }
    for (SeparationPath path : OtherPaths()) {
      const int x = FirstDifference(f.raster, line.data(), path);
      ASSERT_EQ(x, -1) << "path " << static_cast<int>(path) << ", blue-green-red "
                       << int{line[3 * x]} << "," << int{line[3 * x + 1]} << ","
                       << int{line[3 * x + 2]};
      const int g = FirstGreyDifference(f.raster, line.data(), path);
      ASSERT_EQ(g, -1) << "grey, path " << static_cast<int>(path) << ", blue-green-red "
                       << int{line[3 * g]} << "," << int{line[3 * g + 1]} << ","
                       << int{line[3 * g + 2]};
    }
  }
}

// Widths around the group of eight, so that the per-pixel rest of a line
// starts at every offset, and around the vector code's chunks of 16 groups
// (a full chunk followed by a partial one), with all-grey groups, mixed
// groups, runs and white with a little ink (white groups take a shortcut).
TEST(SeparationLine, LinesOfAnyWidthMatchThePerPixelPath) {
  std::mt19937 random(7);
  for (int width : {1, 7, 8, 9, 15, 16, 17, 23, 40, 128, 136, 255, 641}) {
    RasterFixture f(static_cast<ULONG>(width), true, false);
    for (const char* kind : {"random", "grey", "runs", "white"}) {
      std::vector<BYTE> line(3 * static_cast<size_t>(width));
      for (int x = 0; x < width; ++x) {
        BYTE* pixel = &line[3 * static_cast<size_t>(x)];
        const auto v = static_cast<BYTE>(random());
        if (std::strcmp(kind, "random") == 0) {
          for (int c = 0; c < 3; ++c) pixel[c] = static_cast<BYTE>(random());
        } else if (std::strcmp(kind, "grey") == 0) {
          std::memset(pixel, v, 3);
          if (x % 9 == 8) pixel[0] ^= 1;  // a colour now and then
        } else if (std::strcmp(kind, "white") == 0) {
          std::memset(pixel, 0xFF, 3);
          if (random() % 11 == 0) pixel[random() % 3] = static_cast<BYTE>(random());
        } else {
          const BYTE run[3] = {static_cast<BYTE>(x / 5 * 3), 40, static_cast<BYTE>(x % 2 * 200)};
          std::memcpy(pixel, run, 3);
        }
      }
      for (SeparationPath path : OtherPaths()) {
        EXPECT_EQ(FirstDifference(f.raster, line.data(), path), -1)
            << "width " << width << ", " << kind << ", path " << static_cast<int>(path);
        EXPECT_EQ(FirstGreyDifference(f.raster, line.data(), path), -1)
            << "grey, width " << width << ", " << kind << ", path " << static_cast<int>(path);
      }
    }
  }
}

// A raster state without the wide tables (not set up by SetupRaster) still
// separates right: every path falls back to the per-pixel one.
TEST(SeparationLine, WithoutWideTablesEveryPathFallsBack) {
  RasterFixture f(24, true, false);
  std::vector<BYTE> line(3 * 24);
  for (size_t i = 0; i < line.size(); ++i) line[i] = static_cast<BYTE>(i * 37);
  int32_t* const wide[2] = {f.raster.colourToneWide, f.raster.greyToneWide};
  f.raster.colourToneWide = nullptr;
  f.raster.greyToneWide = nullptr;
  for (SeparationPath path : OtherPaths()) {
    EXPECT_EQ(FirstDifference(f.raster, line.data(), path), -1) << static_cast<int>(path);
    EXPECT_EQ(FirstGreyDifference(f.raster, line.data(), path), -1) << static_cast<int>(path);
  }
  f.raster.colourToneWide = wide[0];
  f.raster.greyToneWide = wide[1];
}
