// Laying images out on the page: the three fit modes, landscape pages,
// 1:1 placement of page-sized images, white around the image, BGR order.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "engine/page_layout.h"
#include "tests/engine/memory_limit.h"
#include "tests/engine/test_images.h"

using kelo::engine::DrawImagePage;
using kelo::engine::FitMode;
using kelo::engine::Placement;
using kelo::engine::PlaceImage;
using kelo::engine::RgbImage;

namespace {

struct Case {
  int imageW, imageH, pageW, pageH;
  FitMode fit;
  Placement expected;
};

void ExpectPlacement(const Case& c) {
  const Placement p = PlaceImage(c.imageW, c.imageH, c.pageW, c.pageH, c.fit);
  EXPECT_EQ(p.x, c.expected.x) << c.imageW << "x" << c.imageH;
  EXPECT_EQ(p.y, c.expected.y) << c.imageW << "x" << c.imageH;
  EXPECT_EQ(p.width, c.expected.width) << c.imageW << "x" << c.imageH;
  EXPECT_EQ(p.height, c.expected.height) << c.imageW << "x" << c.imageH;
}

// A page bitmap with `stride` bytes a row, filled with `fill`.
struct Bitmap {
  int width, height;
  size_t stride;
  std::vector<uint8_t> bytes;
  Bitmap(int w, int h, uint8_t fill = 0x11)
      : width(w), height(h), stride(static_cast<size_t>(w) * 3 + 4),
        bytes(stride * static_cast<size_t>(h), fill) {}
  const uint8_t* At(int x, int y) const { return bytes.data() + y * stride + x * 3; }
};

}  // namespace

TEST(FitModes, WidthScalesToThePaperWidthAtTheTop) {
  ExpectPlacement({320, 100, 640, 904, FitMode::kWidth, {0, 0, 640, 200}});
  ExpectPlacement({1280, 4000, 640, 904, FitMode::kWidth, {0, 0, 640, 2000}});  // cut off below
  ExpectPlacement({3, 1000, 384, 544, FitMode::kWidth, {0, 0, 384, 128000}});
  ExpectPlacement({5000, 1, 640, 904, FitMode::kWidth, {0, 0, 640, 1}});  // never 0 rows
  // A thin strip outgrows 32 bits: 640 times 4,000,000 rows.
  ExpectPlacement({1, 4000000, 640, 904, FitMode::kWidth, {0, 0, 640, 2560000000}});
}

TEST(FitModes, PageFitsInsideAndCentres) {
  ExpectPlacement({1000, 1000, 640, 904, FitMode::kPage, {0, 132, 640, 640}});
  ExpectPlacement({100, 400, 640, 904, FitMode::kPage, {207, 0, 226, 904}});
  ExpectPlacement({64, 90, 640, 904, FitMode::kPage, {0, 2, 640, 900}});
}

TEST(FitModes, NoneKeepsOnePixelADot) {
  ExpectPlacement({100, 50, 640, 904, FitMode::kNone, {0, 0, 100, 50}});
  ExpectPlacement({2000, 3000, 640, 904, FitMode::kNone, {0, 0, 2000, 3000}});
}

TEST(FitModes, LandscapePagesAreWiderThanHigh) {
  // 80 x 113 mm turned: 904 x 640 dots.
  ExpectPlacement({640, 904, 904, 640, FitMode::kPage, {225, 0, 453, 640}});
  ExpectPlacement({640, 904, 904, 640, FitMode::kWidth, {0, 0, 904, 1277}});
  ExpectPlacement({1808, 1280, 904, 640, FitMode::kPage, {0, 0, 904, 640}});
}

TEST(FitModes, PageSizedImagesAreNotScaledInAnyMode) {
  for (FitMode fit : {FitMode::kWidth, FitMode::kPage, FitMode::kNone}) {
    ExpectPlacement({640, 904, 640, 904, fit, {0, 0, 640, 904}});
    ExpectPlacement({904, 640, 904, 640, fit, {0, 0, 904, 640}});
  }
}

TEST(FitModes, Names) {
  FitMode mode = FitMode::kNone;
  EXPECT_TRUE(kelo::engine::ParseFitMode("page", &mode));
  EXPECT_EQ(mode, FitMode::kPage);
  EXPECT_TRUE(kelo::engine::ParseFitMode("width", &mode));
  EXPECT_EQ(mode, FitMode::kWidth);
  EXPECT_TRUE(kelo::engine::ParseFitMode("none", &mode));
  EXPECT_EQ(mode, FitMode::kNone);
  EXPECT_FALSE(kelo::engine::ParseFitMode("Page", &mode));
  EXPECT_FALSE(kelo::engine::ParseFitMode("", &mode));
  EXPECT_EQ(mode, FitMode::kNone);
}

TEST(PageDrawing, APageSizedImageIsCopiedPixelForPixel) {
  const RgbImage noise = kelo::test::NoiseImage(64, 90, 77);
  for (FitMode fit : {FitMode::kWidth, FitMode::kPage}) {
    Bitmap page(64, 90);
    DrawImagePage(noise, fit, 64, 90, page.bytes.data(), page.stride);
    for (int y = 0; y < 90; ++y) {
      for (int x = 0; x < 64; ++x) {
        const uint8_t* in = noise.Pixel(x, y);
        const uint8_t* out = page.At(x, y);
        ASSERT_EQ(out[0], in[2]);  // blue first
        ASSERT_EQ(out[1], in[1]);
        ASSERT_EQ(out[2], in[0]);
      }
    }
  }
}

TEST(PageDrawing, TheRestOfThePageIsWhiteAndNothingOutsideItIsTouched) {
  RgbImage red(10, 10);
  for (int i = 0; i < 100; ++i) {
    red.rgb[static_cast<size_t>(i) * 3 + 1] = 0;
    red.rgb[static_cast<size_t>(i) * 3 + 2] = 0;
  }
  // The page is the top left 40 x 30 of a 50 x 60 surface.
  Bitmap surface(50, 60);
  DrawImagePage(red, FitMode::kPage, 40, 30, surface.bytes.data(), surface.stride);
  for (int y = 0; y < 60; ++y) {
    for (int x = 0; x < 50; ++x) {
      const uint8_t* p = surface.At(x, y);
      const std::vector<uint8_t> px(p, p + 3);
      if (x >= 40 || y >= 30) {
        ASSERT_EQ(px, (std::vector<uint8_t>{0x11, 0x11, 0x11})) << x << "," << y;
      } else if (x >= 5 && x < 35) {  // 30 x 30, centred
        ASSERT_EQ(px, (std::vector<uint8_t>{0, 0, 255})) << x << "," << y;
      } else {
        ASSERT_EQ(px, (std::vector<uint8_t>{255, 255, 255})) << x << "," << y;
      }
    }
  }
  // Bytes between a row's end and the next row are never written.
  for (int y = 0; y < 60; ++y) {
    for (size_t b = 150; b < surface.stride; ++b) ASSERT_EQ(surface.bytes[y * surface.stride + b], 0x11);
  }
}

TEST(PageDrawing, WidthFitCutsOffBelowThePage) {
  // A 4 x 40 image: top half black, bottom half white, fitted to 8 dots
  // width: 8 x 80, of which a page of 8 x 30 shows black only.
  RgbImage image(4, 40);
  std::fill(image.rgb.begin(), image.rgb.begin() + 4 * 20 * 3, 0);
  Bitmap page(8, 30);
  DrawImagePage(image, FitMode::kWidth, 8, 30, page.bytes.data(), page.stride);
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 8; ++x) ASSERT_EQ(page.At(x, y)[0], 0) << x << "," << y;
  }
}

TEST(PageDrawing, AThinStripFittedToTheWidthCostsOnlyThePage) {
  // A strip one pixel wide, fitted to 640 dots, is 640 times its own
  // height; the page shows the top 904 rows, which come from its first two
  // pixels alone. So a two-pixel strip of the same two pixels must draw the
  // same page, at the cost of the page, however long the strip.
  RgbImage two(1, 2);
  std::fill_n(two.Pixel(0, 0), 3, uint8_t{0});
  Bitmap expected(640, 904);
  DrawImagePage(two, FitMode::kWidth, 640, 904, expected.bytes.data(), expected.stride);
  for (const int height : {1000000, 4000000}) {
    RgbImage strip(1, height, 128);
    std::fill_n(strip.Pixel(0, 0), 3, uint8_t{0});
    std::fill_n(strip.Pixel(0, 1), 3, uint8_t{255});
    const auto run = kelo::test::RunMeasured(size_t{64} << 20, [&] {
      Bitmap page(640, 904);
      DrawImagePage(strip, FitMode::kWidth, 640, 904, page.bytes.data(), page.stride);
      return page.bytes == expected.bytes;
    });
    EXPECT_TRUE(run.ok) << height << " rows: " << run.how;
  }
}

TEST(PageDrawing, NoneCropsAtTheRightAndBottom) {
  const RgbImage noise = kelo::test::NoiseImage(20, 20, 4);
  Bitmap page(8, 6);
  DrawImagePage(noise, FitMode::kNone, 8, 6, page.bytes.data(), page.stride);
  EXPECT_EQ(page.At(7, 5)[0], noise.Pixel(7, 5)[2]);
  EXPECT_EQ(page.At(0, 0)[2], noise.Pixel(0, 0)[0]);
}
