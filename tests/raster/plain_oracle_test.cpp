// The driver's separation and diffusion against the plain one-pixel-at-a-time
// loop: same dots, same errors for the next line, same generator state, line
// after line, on lines built to reach every shortcut and every edge of the
// exact result (16-bit truncations, guard entries, masks, zero errors).

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "raster/colour_separation.h"
#include "raster/diffusion.h"
#include "tests/raster/plain_halftoner.h"
#include "tests/raster/raster_fixture.h"

using Bytes = std::vector<BYTE>;
using kelo::test::HexDump;

namespace {

// Tones in runs of one kind: blank, full, mid-tone, any tone, and tones next
// to the special values, so that runs of every path meet in every order.
plain::Tones RandomTones(int width, std::mt19937& random) {
  plain::Tones tones(static_cast<size_t>(width));
  for (size_t x = 0; x < tones.size();) {
    const unsigned kind = random() % 7;
    for (size_t run = random() % 20 + 1; run > 0 && x < tones.size(); --run, ++x) {
      int v = 0;
      switch (kind) {
        case 0: v = 0; break;
        case 1: v = 8192; break;
        case 2: v = 4096; break;
        case 3:
          v = static_cast<int>(random() % 2 == 0 ? 1 + random() % 3 : 8189 + random() % 3);
          break;
        default: v = static_cast<int>(random() % 8193); break;
      }
      tones[x] = static_cast<int16_t>(v);
    }
  }
  return tones;
}

// Incoming errors: none, small, or anywhere in the 16-bit range (which makes
// the sums wrap and the guard shares large).
plain::Tones RandomErrors(int width, std::mt19937& random) {
  plain::Tones errors(static_cast<size_t>(width), 0);
  const unsigned kind = random() % 4;
  for (auto& e : errors) {
    if (kind == 1) e = static_cast<int16_t>(static_cast<int>(random() % 6001) - 3000);
    if (kind == 2) e = static_cast<int16_t>(random());
    if (kind == 3 && random() % 8 == 0) e = static_cast<int16_t>(random());
  }
  return errors;
}

Bytes RandomMask(int width, std::mt19937& random) {
  Bytes mask(static_cast<size_t>(width + 7) / 8);
  const unsigned kind = random() % 3;
  for (auto& b : mask) {
    b = kind == 0 ? BYTE{0} : kind == 1 ? BYTE{0xFF} : static_cast<BYTE>(random());
  }
  return mask;
}

struct Capture {
  std::vector<Bytes> rows[kPlanes];
};

void Observe(RasterFixture& f, Capture& capture) {
  f.raster.observerContext = &capture;
  f.raster.dotRowObserver = [](void* context, int plane, const BYTE* dots, int n) {
    static_cast<Capture*>(context)->rows[plane].emplace_back(dots, dots + n);
  };
}

// Prints `pages` pages of `lines` lines made by `line`(y) through both the
// driver and the plain halftoner and compares them after every line.
template <typename MakeLine>
void ExpectPagesMatch(int width, bool colour, int pages, int lines, MakeLine line) {
  RasterFixture f(static_cast<ULONG>(width), colour, /*record=*/false);
  Capture capture;
  Observe(f, capture);
  int16_t* const driverErrors[kPlanes] = {f.raster.kErrors, f.raster.cErrors, f.raster.mErrors,
                                          f.raster.yErrors};
  const int planes = colour ? kPlanes : 1;
  size_t row = 0;
  for (int page = 0; page < pages; ++page) {
    plain::Halftoner expected(width, colour);
    ResetPageRaster(f.raster);
    f.raster.rowCounter = 0;
    for (int y = 0; y < lines; ++y, ++row) {
      const Bytes pixels = line(y);
      ASSERT_TRUE(SeparateRow(f.raster, *f.channel, pixels.data()));
      expected.Line(pixels.data());
      for (int p = 0; p < planes; ++p) {
        ASSERT_EQ(capture.rows[p].size(), row + 1);
        ASSERT_EQ(capture.rows[p][row], expected.dots[p])
            << "page " << page << " line " << y << " plane " << p << "\n  driver "
            << HexDump(capture.rows[p][row]) << "\n  plain  " << HexDump(expected.dots[p]);
        ASSERT_TRUE(
            std::equal(expected.errors[p].begin(), expected.errors[p].end(), driverErrors[p]))
            << "page " << page << " line " << y << " plane " << p;
      }
      ASSERT_EQ(f.raster.randomState, expected.state) << "page " << page << " line " << y;
    }
  }
}

Bytes PhotoLine(int width, int y, std::mt19937& random) {
  Bytes line(static_cast<size_t>(width) * 3);
  for (size_t i = 0; i < line.size(); ++i) {
    const int x = static_cast<int>(i / 3);
    const int c = static_cast<int>(i % 3);
    const double wave = 127.5 + 127.5 * std::sin((x * (c + 1) + y * (3 - c)) / 37.0);
    const int value = static_cast<int>(wave) + static_cast<int>(random() % 15) - 7;
    line[i] = static_cast<BYTE>(std::clamp(value, 0, 255));
  }
  return line;
}

// White with black strokes, a grey stroke and a coloured stamp: long white
// runs that errors from the ink spill into, and runs of repeated pixels.
Bytes ReceiptLine(int width, int y, std::mt19937& random) {
  Bytes line(static_cast<size_t>(width) * 3, 0xFF);
  auto paint = [&](int x, BYTE b, BYTE g, BYTE r) {
    line[static_cast<size_t>(3 * x)] = b;
    line[static_cast<size_t>(3 * x + 1)] = g;
    line[static_cast<size_t>(3 * x + 2)] = r;
  };
  if (y % 24 < 14) {
    for (int x = 10; x < width - 10; ++x) {
      if (x % 15 < 10 && random() % 3 == 0) paint(x, 0, 0, 0);
    }
  }
  if (y % 40 == 20) {
    for (int x = 0; x < width / 3; ++x) paint(x, 0x80, 0x80, 0x80);
  }
  if (y > 30 && y < 50) {
    for (int x = width / 2; x < width / 2 + 40 && x < width; ++x) paint(x, 0x30, 0x30, 0xE0);
  }
  return line;
}

// Runs of random colours, of greys and of white, including single pixels.
Bytes RunsLine(int width, std::mt19937& random) {
  Bytes line(static_cast<size_t>(width) * 3, 0xFF);
  for (int x = 0; x < width;) {
    BYTE bgr[3] = {static_cast<BYTE>(random()), static_cast<BYTE>(random()),
                   static_cast<BYTE>(random())};
    const unsigned kind = random() % 4;
    if (kind == 0) bgr[0] = bgr[1] = bgr[2] = 0xFF;
    if (kind == 1) bgr[1] = bgr[2] = bgr[0];
    for (unsigned run = random() % 9 + 1; run > 0 && x < width; --run, ++x) {
      std::copy(bgr, bgr + 3, line.begin() + 3 * x);
    }
  }
  return line;
}

// White with stray pixels: groups of eight white pixels next to groups
// holding one pixel a step off white in one component (which is not white
// to the short path, yet may print nothing), one dark pixel, or a grey.
Bytes StrayPixelsLine(int width, std::mt19937& random) {
  Bytes line(static_cast<size_t>(width) * 3, 0xFF);
  for (int x = 0; x < width; ++x) {
    const unsigned kind = random() % 24;
    BYTE* pixel = line.data() + 3 * x;
    if (kind == 0) pixel[random() % 3] = 0xFE;
    if (kind == 1) pixel[random() % 3] = static_cast<BYTE>(random() % 64);
    if (kind == 2) std::fill_n(pixel, 3, static_cast<BYTE>(random()));
  }
  return line;
}

}  // namespace

TEST(PlainOracle, DiffuseRowOnRandomLinesBothWays) {
  std::mt19937 random(17);
  for (int width : {1, 2, 7, 8, 9, 15, 16, 17, 31, 64, 100, 203, 640}) {
    RasterFixture f(static_cast<ULONG>(width), /*colour=*/true, /*record=*/false);
    for (int trial = 0; trial < 60; ++trial) {
      plain::Tones tones = RandomTones(width, random);
      if (trial % 4 == 0) {
        // Photo-like: no blank or full tone, the row takes the noise path only.
        for (auto& v : tones) v = static_cast<int16_t>(1 + random() % 8191);
      }
      plain::Tones expectedErrors = RandomErrors(width, random);
      const bool masked = trial % 2 == 1;
      const Bytes mask = RandomMask(width, random);
      f.raster.rowCounter = static_cast<int>(random() % 4);
      const uint32_t state = static_cast<uint32_t>(random());
      f.raster.randomState = state;
      std::copy(expectedErrors.begin(), expectedErrors.end(), f.raster.cErrors);
      std::copy(mask.begin(), mask.end(), f.raster.kDots);

      uint32_t expectedState = state;
      const Bytes expectedDots = plain::Diffuse(tones, expectedErrors, masked ? &mask : nullptr,
                                                9011, f.raster.rowCounter, expectedState);
      ASSERT_TRUE(DiffuseRow(f.raster, *f.channel, tones.data(), f.raster.cErrors,
                             f.raster.cmyDots, masked ? f.raster.kDots : nullptr, 9011,
                             f.raster.cSeed, 1));
      SCOPED_TRACE(::testing::Message() << "width " << width << " trial " << trial);
      ASSERT_EQ(Bytes(f.raster.cmyDots, f.raster.cmyDots + f.raster.rowBytes), expectedDots);
      ASSERT_TRUE(std::equal(expectedErrors.begin(), expectedErrors.end(), f.raster.cErrors));
      ASSERT_EQ(f.raster.randomState, expectedState);
    }
  }
}

TEST(PlainOracle, PhotoPagesInGreyAndColour) {
  for (bool colour : {false, true}) {
    SCOPED_TRACE(colour ? "colour" : "grey");
    std::mt19937 random(23);
    ExpectPagesMatch(640, colour, 2, 60, [&](int y) { return PhotoLine(640, y, random); });
  }
}

TEST(PlainOracle, ReceiptPagesInGreyAndColour) {
  for (bool colour : {false, true}) {
    SCOPED_TRACE(colour ? "colour" : "grey");
    std::mt19937 random(29);
    ExpectPagesMatch(203, colour, 2, 80, [&](int y) { return ReceiptLine(203, y, random); });
  }
}

TEST(PlainOracle, RunsOfColoursGreysAndWhite) {
  for (bool colour : {false, true}) {
    SCOPED_TRACE(colour ? "colour" : "grey");
    std::mt19937 random(31);
    ExpectPagesMatch(385, colour, 1, 120, [&](int) { return RunsLine(385, random); });
  }
}

TEST(PlainOracle, EveryColourSeparatesAlike) {
  // All 2^24 colours, 256 to a line: every path of the separation, every hue
  // sector and every tie.
  constexpr int kWidth = 256;
  RasterFixture f(kWidth, /*colour=*/true, /*record=*/false);
  plain::Halftoner expected(kWidth, true);
  const int16_t* const driverValues[kPlanes] = {f.raster.kValues, f.raster.cValues,
                                                f.raster.mValues, f.raster.yValues};
  Bytes line(kWidth * 3);
  for (int y = 0; y < 65536; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      // Blue and green fixed per line, red along it: neighbours differ by
      // one step of red, and each line holds one grey pixel when g = b.
      const int colour = y * kWidth + x;
      line[static_cast<size_t>(3 * x)] = static_cast<BYTE>(colour >> 8);
      line[static_cast<size_t>(3 * x + 1)] = static_cast<BYTE>(colour >> 16);
      line[static_cast<size_t>(3 * x + 2)] = static_cast<BYTE>(colour);
    }
    ASSERT_TRUE(SeparateRow(f.raster, *f.channel, line.data()));
    expected.Separate(line.data());
    for (int p = 0; p < kPlanes; ++p) {
      ASSERT_TRUE(std::equal(expected.values[p].begin(), expected.values[p].end(), driverValues[p]))
          << "line " << y << " plane " << p;
    }
  }
}

TEST(PlainOracle, WhiteGroupsWithStrayPixelsAtEveryWidth) {
  for (bool colour : {false, true}) {
    for (int width : {1, 7, 8, 9, 23, 64, 203}) {
      SCOPED_TRACE(::testing::Message() << (colour ? "colour" : "grey") << " width " << width);
      std::mt19937 random(37 + static_cast<unsigned>(width));
      ExpectPagesMatch(width, colour, 1, 40, [&](int) { return StrayPixelsLine(width, random); });
    }
  }
}
