// Colour separation and its HSV round trip.

#include <gtest/gtest.h>

#include <vector>

#include "raster/colour_separation.h"
#include "raster/reciprocal_table.h"
#include "tests/raster/raster_fixture.h"

namespace {

struct Pixel {
  int r, g, b;
};

std::vector<BYTE> Line(const std::vector<Pixel>& pixels) {
  std::vector<BYTE> line;
  for (const Pixel& p : pixels) {
    line.push_back(static_cast<BYTE>(p.b));
    line.push_back(static_cast<BYTE>(p.g));
    line.push_back(static_cast<BYTE>(p.r));
  }
  return line;
}

}  // namespace

TEST(Reciprocal, ExactOverTheWholeDomain) {
  for (int d = 1; d <= 255; ++d) {
    for (int a = 0; a <= 255; ++a) ASSERT_EQ(Times255Over(a, d), a * 255 / d) << a << "/" << d;
  }
}

TEST(ColourSeparation, WorkedExamples) {
  const struct {
    Pixel in;
    int h, warped, v, curved;  // h -1: a grey pixel
    Pixel out;
    int k, c, m, y;
  } rows[] = {
      {{255, 255, 255}, -1, 0, 0, 0, {}, 0, 0, 0, 0},
      {{0, 0, 0}, -1, 0, 0, 0, {}, 8192, 0, 0, 0},
      {{128, 128, 128}, -1, 0, 0, 0, {}, 3087, 0, 0, 0},
      {{255, 0, 0}, 0, 0, 255, 255, {255, 0, 0}, 0, 0, 8192, 8192},
      {{0, 255, 0}, 512, 484, 255, 255, {27, 255, 0}, 0, 7083, 0, 8192},
      {{0, 0, 255}, 1024, 930, 255, 255, {0, 93, 255}, 0, 8192, 4542, 0},
      {{200, 100, 50}, 85, 85, 200, 245, {245, 122, 61}, 122, 0, 3393, 5620},
      {{10, 20, 30}, 897, 850, 30, 59, {19, 46, 59}, 5819, 1589, 506, 0},
  };
  std::vector<Pixel> pixels;
  for (const auto& row : rows) pixels.push_back(row.in);
  RasterFixture f(static_cast<ULONG>(pixels.size()), true);
  ASSERT_TRUE(SeparateRow(f.raster, *f.channel, Line(pixels).data()));
  for (size_t x = 0; x < pixels.size(); ++x) {
    const auto& row = rows[x];
    SCOPED_TRACE(::testing::Message() << row.in.r << "," << row.in.g << "," << row.in.b);
    EXPECT_EQ(f.raster.kValues[x], row.k);
    EXPECT_EQ(f.raster.cValues[x], row.c);
    EXPECT_EQ(f.raster.mValues[x], row.m);
    EXPECT_EQ(f.raster.yValues[x], row.y);
    if (row.h < 0) continue;
    const Hsv hsv = RgbToHsv(row.in.r, row.in.g, row.in.b);
    EXPECT_EQ(hsv.h, row.h);
    EXPECT_EQ(hsv.v, row.v);
    EXPECT_EQ(255 - f.raster.valueCurve[255 - hsv.v], row.curved);
    const Rgb out = HsvToRgb(row.warped, hsv.s, row.curved);
    EXPECT_EQ(out.r, row.out.r);
    EXPECT_EQ(out.g, row.out.g);
    EXPECT_EQ(out.b, row.out.b);
  }
}

TEST(ColourSeparation, HueScaleCornersAndTies) {
  EXPECT_EQ(RgbToHsv(255, 255, 0).h, 255);
  EXPECT_EQ(RgbToHsv(0, 255, 255).h, 767);
  EXPECT_EQ(RgbToHsv(255, 0, 255).h, 1281);
  EXPECT_EQ(RgbToHsv(255, 0, 1).h, 1535);  // just below red, wrapped
  EXPECT_EQ(RgbToHsv(100, 0, 50).s, 255);
  EXPECT_EQ(RgbToHsv(100, 50, 50).s, 127);
  // Green and blue tie for the largest: no hue warp, so green and blue come
  // out equal and magenta equals yellow.
  RasterFixture f(2, true);
  const PixelTones tied = SeparateColourPixel(f.raster, 0, 200, 200);
  EXPECT_EQ(tied.m, tied.y);
  EXPECT_GT(tied.c, tied.m);
}

TEST(ColourSeparation, ValuesFrom242UpAreRaisedToFull) {
  RasterFixture f(2, true);
  const PixelTones full = SeparateColourPixel(f.raster, 255, 0, 0);
  for (int v = 242; v <= 254; ++v) {
    const PixelTones t = SeparateColourPixel(f.raster, v, 0, 0);
    EXPECT_EQ(t.k, full.k) << v;
    EXPECT_EQ(t.m, full.m) << v;
  }
  EXPECT_NE(SeparateColourPixel(f.raster, 241, 0, 0).m, full.m);
}

TEST(SeparateRow, RepeatedPixelsSeparateAsIfAlone) {
  // Neighbours that differ in one component only, a grey pixel between
  // equal colours, and a colour coming back after others.
  const std::vector<Pixel> pixels = {{10, 20, 30}, {10, 20, 30}, {10, 20, 31}, {10, 21, 31},
                                     {11, 21, 31}, {31, 31, 31}, {11, 21, 31}, {10, 20, 30},
                                     {200, 100, 50}, {200, 100, 50}};
  RasterFixture f(static_cast<ULONG>(pixels.size()), true);
  ASSERT_TRUE(SeparateRow(f.raster, *f.channel, Line(pixels).data()));
  for (size_t x = 0; x < pixels.size(); ++x) {
    const Pixel& p = pixels[x];
    if (p.r == p.g && p.g == p.b) {
      EXPECT_EQ(f.raster.kValues[x], f.raster.greyTone[255 - p.r]);
      EXPECT_EQ(f.raster.cValues[x] | f.raster.mValues[x] | f.raster.yValues[x], 0);
      continue;
    }
    const PixelTones alone = SeparateColourPixel(f.raster, p.r, p.g, p.b);
    EXPECT_EQ(f.raster.kValues[x], alone.k) << x;
    EXPECT_EQ(f.raster.cValues[x], alone.c) << x;
    EXPECT_EQ(f.raster.mValues[x], alone.m) << x;
    EXPECT_EQ(f.raster.yValues[x], alone.y) << x;
  }
}

TEST(SeparateRow, GreyPrintingUsesLuminanceThenTheGreyTable) {
  // 128,128,128: grey level 127, ink amount 128 (colour printing: 127).
  // White is grey level 254 and still prints nothing.
  RasterFixture f(4);
  ASSERT_TRUE(SeparateRow(f.raster, *f.channel,
                          Line({{128, 128, 128}, {255, 255, 255}, {0, 0, 0}, {255, 0, 0}}).data()));
  EXPECT_EQ(f.raster.kValues[0], 3121);
  EXPECT_EQ(f.raster.kValues[1], 0);
  EXPECT_EQ(f.raster.kValues[2], 8192);
  EXPECT_EQ(f.raster.kValues[3], f.raster.greyTone[180]);  // red alone: grey level 75
  EXPECT_EQ(f.raster.rowCounter, 1);
}

TEST(SeparateRow, SendsOneRowPerPlaneInOrder) {
  for (bool colour : {false, true}) {
    RasterFixture f(16, colour);
    std::vector<int> planes;
    f.raster.observerContext = &planes;
    f.raster.dotRowObserver = [](void* context, int plane, const BYTE*, int) {
      static_cast<std::vector<int>*>(context)->push_back(plane);
    };
    std::vector<BYTE> line(16 * 3, 0x40);
    line[1] = 0x90;  // one coloured pixel
    ASSERT_TRUE(SeparateRow(f.raster, *f.channel, line.data()));
    const auto sent = f.Sent();
    int rows = 0;
    for (size_t i = 0; i + 1 < sent.size(); ++i) rows += sent[i] == 0x1B && sent[i + 1] == 0x67;
    EXPECT_EQ(rows, colour ? 4 : 1);
    EXPECT_EQ(planes, colour ? (std::vector<int>{0, 1, 2, 3}) : std::vector<int>{0});
  }
}

TEST(SeparateRow, AFailedPlaneStopsTheLineUncounted) {
  RasterFixture f(32, true);
  std::vector<int> planes;
  f.raster.observerContext = &planes;
  f.raster.dotRowObserver = [](void* context, int plane, const BYTE*, int) {
    static_cast<std::vector<int>*>(context)->push_back(plane);
  };
  f.service->FailCommand(KLP_WRITE, ERROR_GEN_FAILURE);
  f.service->FailCommand(KLP_CHECK_STATUS, ERROR_OUT_OF_PAPER);
  // ESC m 0, ESC g and the length byte of the black K row fill the buffer;
  // its payload needs a flush, which fails.
  f.channel->fillCount = f.channel->capacity - 6;
  const std::vector<BYTE> black(32 * 3, 0);
  EXPECT_EQ(SeparateRow(f.raster, *f.channel, black.data()), 0);
  EXPECT_EQ(planes, std::vector<int>{0});
  EXPECT_EQ(f.raster.rowCounter, 0);
}
