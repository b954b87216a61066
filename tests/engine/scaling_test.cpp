// Resampling: area averages when shrinking, bilinear when enlarging, copies
// at equal size; and the top-rows shortcut agrees with the whole result.

#include <gtest/gtest.h>

#include <numeric>

#include "engine/image_scaling.h"
#include "tests/engine/test_images.h"

using kelo::engine::RgbImage;
using kelo::engine::ScaleImage;
using kelo::engine::ScaleImageTop;

namespace {

// A grey image from one row of values repeated `height` times.
RgbImage Rows(const std::vector<uint8_t>& row, int height) {
  RgbImage image(static_cast<int>(row.size()), height);
  for (int y = 0; y < height; ++y) {
    for (size_t x = 0; x < row.size(); ++x) {
      uint8_t* p = image.Pixel(static_cast<int>(x), y);
      p[0] = p[1] = p[2] = row[x];
    }
  }
  return image;
}

std::vector<int> RedRow(const RgbImage& image, int y) {
  std::vector<int> row;
  for (int x = 0; x < image.width; ++x) row.push_back(image.Pixel(x, y)[0]);
  return row;
}

double Mean(const RgbImage& image) {
  return std::accumulate(image.rgb.begin(), image.rgb.end(), 0.0) /
         static_cast<double>(image.rgb.size());
}

}  // namespace

TEST(AreaAverage, HalvingACheckerboardGivesEvenGrey) {
  RgbImage board(8, 8);
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      uint8_t* p = board.Pixel(x, y);
      p[0] = p[1] = p[2] = ((x + y) % 2 == 0) ? 0 : 255;
    }
  }
  const RgbImage half = ScaleImage(board, 4, 4);
  for (uint8_t sample : half.rgb) EXPECT_EQ(sample, 128);  // 127.5 rounded
}

TEST(AreaAverage, WholeFactorsAverageTheirBlocks) {
  const RgbImage third = ScaleImage(Rows({0, 30, 60, 255, 255, 255}, 3), 2, 1);
  EXPECT_EQ(RedRow(third, 0), (std::vector<int>{30, 255}));
}

TEST(AreaAverage, FractionalCoverageWeighsPartPixels) {
  // Three pixels onto two: each output covers one and a half.
  // (0 + 90 / 2) / 1.5 = 30 and (90 / 2 + 180) / 1.5 = 150.
  EXPECT_EQ(RedRow(ScaleImage(Rows({0, 90, 180}, 1), 2, 1), 0), (std::vector<int>{30, 150}));
  // And vertically the same.
  RgbImage column(1, 3);
  const uint8_t values[3] = {0, 90, 180};
  for (int y = 0; y < 3; ++y) column.Pixel(0, y)[1] = values[y];
  const RgbImage shrunk = ScaleImage(column, 1, 2);
  EXPECT_EQ(shrunk.Pixel(0, 0)[1], 30);
  EXPECT_EQ(shrunk.Pixel(0, 1)[1], 150);
}

TEST(AreaAverage, OneDotStripesTurnGreyInsteadOfAliasing) {
  std::vector<uint8_t> stripes(640);
  for (size_t x = 0; x < stripes.size(); ++x) stripes[x] = (x % 2 == 0) ? 0 : 255;
  const RgbImage source = Rows(stripes, 4);
  for (int width : {427, 384, 320, 201}) {
    const RgbImage scaled = ScaleImage(source, width, 4);
    for (int value : RedRow(scaled, 0)) {
      // Sampling would hit pure black or white; an average never does.
      EXPECT_GT(value, 60) << width;
      EXPECT_LT(value, 195) << width;
    }
    EXPECT_NEAR(Mean(scaled), Mean(source), 1.0) << width;
  }
}

TEST(AreaAverage, FlatColourStaysExactAtAnySize) {
  RgbImage flat(97, 61);
  for (int i = 0; i < 97 * 61; ++i) {
    flat.rgb[static_cast<size_t>(i) * 3] = 17;
    flat.rgb[static_cast<size_t>(i) * 3 + 1] = 128;
    flat.rgb[static_cast<size_t>(i) * 3 + 2] = 254;
  }
  for (auto [w, h] : {std::pair{13, 9}, {96, 60}, {1, 1}, {200, 125}, {97, 30}}) {
    const RgbImage scaled = ScaleImage(flat, w, h);
    ASSERT_EQ(scaled.width, w);
    ASSERT_EQ(scaled.height, h);
    for (int i = 0; i < w * h; ++i) {
      ASSERT_EQ(scaled.rgb[static_cast<size_t>(i) * 3], 17) << w << "x" << h;
      ASSERT_EQ(scaled.rgb[static_cast<size_t>(i) * 3 + 1], 128) << w << "x" << h;
      ASSERT_EQ(scaled.rgb[static_cast<size_t>(i) * 3 + 2], 254) << w << "x" << h;
    }
  }
}

TEST(Bilinear, EnlargingInterpolatesBetweenPixelCentres) {
  // Output centres at -0.25, 0.25, 0.75 and 1.25 source pixels; the ends
  // hold the border values.
  EXPECT_EQ(RedRow(ScaleImage(Rows({0, 255}, 1), 4, 1), 0), (std::vector<int>{0, 64, 191, 255}));
}

TEST(Resampling, EqualSizeIsACopy) {
  const RgbImage noise = kelo::test::NoiseImage(31, 17, 9);
  EXPECT_EQ(ScaleImage(noise, 31, 17).rgb, noise.rgb);
}

TEST(Resampling, TopRowsEqualTheWholeResult) {
  const RgbImage noise = kelo::test::NoiseImage(50, 70, 3);
  for (auto [w, h] : {std::pair{20, 28}, {100, 140}, {50, 90}, {35, 49}}) {
    const RgbImage whole = ScaleImage(noise, w, h);
    for (int rows : {1, h / 3, h}) {
      const RgbImage top = ScaleImageTop(noise, w, h, rows);
      ASSERT_EQ(top.height, rows);
      EXPECT_TRUE(std::equal(top.rgb.begin(), top.rgb.end(), whole.rgb.begin()))
          << w << "x" << h << " rows " << rows;
    }
  }
  EXPECT_EQ(ScaleImageTop(noise, 20, 28, 99).height, 28);
  EXPECT_EQ(ScaleImageTop(noise, 20, 28, -1).height, 0);
}
