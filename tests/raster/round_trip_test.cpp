// What the driver sends, decoded by the printer model, gives back exactly
// the dot rows the halftoner produced.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "emulator/stream_decoder.h"
#include "raster/colour_separation.h"
#include "raster/diffusion.h"
#include "tests/raster/raster_fixture.h"

using Bytes = std::vector<BYTE>;

namespace {

// A photo-like line: smooth gradients with noise, 3 bytes per pixel.
Bytes PhotoLine(int width, int y, std::mt19937& random) {
  Bytes line(static_cast<size_t>(width) * 3);
  for (int x = 0; x < width; ++x) {
    for (int c = 0; c < 3; ++c) {
      const double wave = 127.5 + 127.5 * std::sin((x * (c + 1) + y * 2) / 40.0);
      const int value = static_cast<int>(wave) + static_cast<int>(random() % 21) - 10;
      line[static_cast<size_t>(x) * 3 + static_cast<size_t>(c)] =
          static_cast<BYTE>(std::clamp(value, 0, 255));
    }
  }
  return line;
}

std::vector<Bytes> Decode(const Bytes& stream, int rowBytes, int planes, int plane) {
  kelo::emulator::StreamDecoder decoder(rowBytes, planes);
  EXPECT_TRUE(decoder.Feed(stream.data(), stream.size()));
  EXPECT_TRUE(decoder.Finish());
  if (decoder.error()) ADD_FAILURE() << decoder.error()->message << " at " << decoder.error()->offset;
  return decoder.PlaneRows(plane);
}

}  // namespace

TEST(RoundTrip, GreyPhotoPagesDecodeToTheHalftonedRows) {
  RasterFixture f(384);
  std::mt19937 random(3);
  std::vector<Bytes> produced;
  for (int page = 0; page < 2; ++page) {
    ResetPageRaster(f.raster);
    f.raster.rowCounter = 0;
    for (int y = 0; y < 120; ++y) {
      const Bytes line = PhotoLine(384, y + page * 7, random);
      ASSERT_TRUE(SeparateRow(f.raster, *f.channel, line.data()));
      produced.emplace_back(f.raster.kDots, f.raster.kDots + 48);
    }
  }
  const auto decoded = Decode(f.Sent(), 48, 1, 0);
  ASSERT_EQ(decoded.size(), produced.size());
  for (size_t i = 0; i < produced.size(); ++i) ASSERT_EQ(decoded[i], produced[i]) << "row " << i;
}

TEST(RoundTrip, RandomColourPlanesDecodeToTheHalftonedRows) {
  RasterFixture f(200, true);
  std::mt19937 random(5);
  std::vector<Bytes> produced[4];
  int16_t* values[4] = {f.raster.kValues, f.raster.cValues, f.raster.mValues, f.raster.yValues};
  int16_t* errors[4] = {f.raster.kErrors, f.raster.cErrors, f.raster.mErrors, f.raster.yErrors};
  BYTE* seeds[4] = {f.raster.kSeed, f.raster.cSeed, f.raster.mSeed, f.raster.ySeed};
  const int weights[4] = {f.raster.dotWeightK, f.raster.dotWeightC, f.raster.dotWeightM,
                          f.raster.dotWeightY};
  for (int y = 0; y < 150; ++y) {
    // Stretches of white, of full tone and random tones, so blank rows,
    // repeats, deltas and dense rows all occur.
    const int kind = static_cast<int>(random() % 4);
    for (int plane = 0; plane < 4; ++plane) {
      for (int x = 0; x < 200; ++x) {
        values[plane][x] = kind == 0   ? 0
                           : kind == 1 ? static_cast<int16_t>(8192 * ((x / 30 + plane) % 2))
                                       : static_cast<int16_t>(random() % 8193);
      }
    }
    for (int plane = 0; plane < 4; ++plane) {
      BYTE* dots = plane == 0 ? f.raster.kDots : f.raster.cmyDots;
      ASSERT_TRUE(DiffuseRow(f.raster, *f.channel, values[plane], errors[plane], dots,
                             plane == 0 ? nullptr : f.raster.kDots, weights[plane], seeds[plane],
                             plane));
      produced[plane].emplace_back(dots, dots + f.raster.rowBytes);
    }
    ++f.raster.rowCounter;
  }
  const Bytes stream = f.Sent();
  for (int plane = 0; plane < 4; ++plane) {
    const auto decoded = Decode(stream, f.raster.rowBytes, 4, plane);
    ASSERT_EQ(decoded.size(), produced[plane].size()) << "plane " << plane;
    for (size_t i = 0; i < decoded.size(); ++i) {
      ASSERT_EQ(decoded[i], produced[plane][i]) << "plane " << plane << " row " << i;
    }
  }
}

TEST(RoundTrip, APageAfterABlackBarStartsFromKnownSeeds) {
  // Page 1 ends in a black bar, so the printer is left in encoding 3 with a
  // black seed. Page 2's first rows (blank, then a thin line) must print as
  // sent, although the driver zeroed its seeds at the page start.
  RasterFixture f(64);
  const Bytes black(64 * 3, 0);
  const Bytes white(64 * 3, 0xFF);
  Bytes thin = white;
  std::fill(thin.begin(), thin.begin() + 3 * 8, 0);
  std::vector<Bytes> produced;
  auto line = [&](const Bytes& pixels) {
    ASSERT_TRUE(SeparateRow(f.raster, *f.channel, pixels.data()));
    produced.emplace_back(f.raster.kDots, f.raster.kDots + 8);
  };
  line(white);
  for (int i = 0; i < 5; ++i) line(black);
  Flush(*f.channel);
  ResetPageRaster(f.raster);
  f.raster.rowCounter = 0;
  line(white);
  line(thin);
  line(thin);
  const auto decoded = Decode(f.Sent(), 8, 1, 0);
  ASSERT_EQ(decoded.size(), produced.size());
  for (size_t i = 0; i < produced.size(); ++i) EXPECT_EQ(decoded[i], produced[i]) << "row " << i;
  EXPECT_EQ(decoded[6], Bytes(8, 0));  // a white row, not a repeat of the bar
  EXPECT_EQ(decoded[7][0], 0xFF);
}

