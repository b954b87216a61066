// Colour separation and its HSV round trip.

#include <gtest/gtest.h>

#include "raster/colour_separation.h"
#include "tests/raster/raster_fixture.h"

TEST(ColourSeparation, WorkedExamples) {
  RasterFixture f(8, true);
  const struct {
    int r, g, b, k, c, m, y;
  } rows[] = {{255, 0, 0, 0, 0, 8192, 8192},    {0, 255, 0, 0, 7083, 0, 8192},
              {0, 0, 255, 0, 8192, 4542, 0},    {200, 100, 50, 122, 0, 3393, 5620},
              {10, 20, 30, 5819, 1589, 506, 0}};
  for (const auto& row : rows) {
    const PixelTones t = SeparateColourPixel(f.raster, row.r, row.g, row.b);
    EXPECT_EQ(t.k, row.k) << row.r << "," << row.g << "," << row.b;
    EXPECT_EQ(t.c, row.c) << row.r << "," << row.g << "," << row.b;
    EXPECT_EQ(t.m, row.m) << row.r << "," << row.g << "," << row.b;
    EXPECT_EQ(t.y, row.y) << row.r << "," << row.g << "," << row.b;
  }
}

TEST(ColourSeparation, HueScaleAndRoundTrip) {
  EXPECT_EQ(RgbToHsv(255, 255, 0).h, 255);
  EXPECT_EQ(RgbToHsv(0, 255, 255).h, 767);
  EXPECT_EQ(RgbToHsv(255, 0, 255).h, 1281);
  EXPECT_EQ(RgbToHsv(0, 0, 255).h, 1024);
  const Rgb rgb = HsvToRgb(484, 255, 255);
  EXPECT_EQ(rgb.r, 27);
  EXPECT_EQ(rgb.g, 255);
  EXPECT_EQ(rgb.b, 0);
}

TEST(SeparateRow, GreyPixelsUseTheGreyTableInBothModes) {
  // 128,128,128: K 3121 in grey printing, 3087 in colour printing.
  RasterFixture grey(8);
  std::vector<BYTE> line(8 * 3, 128);
  ASSERT_TRUE(SeparateRow(grey.raster, *grey.channel, line.data()));
  EXPECT_EQ(grey.raster.kValues[0], 3121);
  RasterFixture colour(8, true);
  ASSERT_TRUE(SeparateRow(colour.raster, *colour.channel, line.data()));
  EXPECT_EQ(colour.raster.kValues[0], 3087);
  EXPECT_EQ(colour.raster.cValues[0], 0);
  EXPECT_EQ(colour.raster.yValues[0], 0);
}

TEST(SeparateRow, WhiteGivesNoInkAndBlackFullInk) {
  RasterFixture f(2);
  const BYTE line[] = {255, 255, 255, 0, 0, 0};
  ASSERT_TRUE(SeparateRow(f.raster, *f.channel, line));
  EXPECT_EQ(f.raster.kValues[0], 0);
  EXPECT_EQ(f.raster.kValues[1], 8192);
  EXPECT_EQ(f.raster.rowCounter, 1);
}

TEST(SeparateRow, ColourLinesSendFourRowsGreyLinesOne) {
  for (bool colour : {false, true}) {
    RasterFixture f(16, colour);
    std::vector<BYTE> line(16 * 3, 0x40);
    line[1] = 0x90;  // one coloured pixel
    ASSERT_TRUE(SeparateRow(f.raster, *f.channel, line.data()));
    const auto sent = f.Sent();
    int rows = 0;
    for (size_t i = 0; i + 1 < sent.size(); ++i) rows += sent[i] == 0x1B && sent[i + 1] == 0x67;
    EXPECT_EQ(rows, colour ? 4 : 1);
  }
}

TEST(SeparateRow, TiedLargestComponentsGetNoHueWarp) {
  RasterFixture f(2, true);
  const Hsv hsv = RgbToHsv(0, 200, 200);
  const PixelTones warped = SeparateColourPixel(f.raster, 0, 200, 200);
  // The tie goes to green, hue 767 (cyan); no warp moves it, so green and
  // blue come out equal: magenta equals yellow, and cyan is stronger.
  EXPECT_EQ(hsv.h, 767);
  EXPECT_EQ(warped.m, warped.y);
  EXPECT_GT(warped.c, warped.m);
}
