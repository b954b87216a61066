// kelo-server's pieces that need no server: raster lines to page images, IPP
// media sizes to the driver's paper, port names to device URIs and back.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/paper.h"
#include "tools/kelo-server/printer_model.h"
#include "tools/kelo-server/raster_page.h"

namespace {

using kelo::server::LineFormat;
using kelo::server::RasterPages;

TEST(RasterPages, EveryLineFormatGivesTheSameGreys) {
  // Four pixels: black, dark, light, white, in each format.
  struct Case {
    const char* name;
    LineFormat format;
    std::vector<uint8_t> line;
    std::vector<uint8_t> grey;  // expected per pixel
  };
  const Case cases[] = {
      {"white8", LineFormat::kWhite8, {0, 64, 192, 255}, {0, 64, 192, 255}},
      {"black8", LineFormat::kBlack8, {255, 191, 63, 0}, {0, 64, 192, 255}},
      {"black1", LineFormat::kBlack1, {0xC0}, {0, 0, 255, 255}},
      {"rgb8",
       LineFormat::kRgb8,
       {0, 0, 0, 64, 64, 64, 192, 192, 192, 255, 255, 255},
       {0, 64, 192, 255}},
  };
  for (const Case& c : cases) {
    RasterPages pages;
    std::string error;
    ASSERT_TRUE(pages.StartPage(4, 2, c.format, &error)) << c.name << ": " << error;
    pages.Line(1, c.line.data());
    pages.Line(2, c.line.data());  // outside the page: ignored
    const kelo::engine::RgbImage& page = pages.Pages().back();
    for (int x = 0; x < 4; ++x) {
      EXPECT_EQ(page.Pixel(x, 0)[0], 255) << c.name << " row 0 stays white";
      for (int channel = 0; channel < 3; ++channel) {
        EXPECT_EQ(page.Pixel(x, 1)[channel], c.grey[x]) << c.name << " x " << x;
      }
    }
  }
}

TEST(RasterPages, RefusesPagesThePrintersCannotTake) {
  struct Case {
    unsigned width, height;
    bool ok;
  };
  const Case cases[] = {
      {640, 904, true},
      {kelo::server::kMaxPageWidth, kelo::server::kMaxPageHeight, true},
      {0, 904, false},
      {640, 0, false},
      {kelo::server::kMaxPageWidth + 1, 10, false},
      {10, kelo::server::kMaxPageHeight + 1, false},
      {0xFFFFFFFFu, 0xFFFFFFFFu, false},
  };
  for (const Case& c : cases) {
    RasterPages pages;
    std::string error;
    EXPECT_EQ(pages.StartPage(c.width, c.height, LineFormat::kWhite8, &error), c.ok)
        << c.width << " x " << c.height;
    EXPECT_EQ(pages.Pages().size(), c.ok ? 1u : 0u);
    EXPECT_EQ(error.empty(), c.ok) << error;
  }
}

TEST(RasterPages, AJobPastItsLimitIsRefusedAtThePageThatPassesIt) {
  const size_t page = 640 * 904 * 3;
  RasterPages pages(3 * page - 1);
  std::string error;
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(pages.StartPage(640, 904, LineFormat::kWhite8, &error));
  EXPECT_FALSE(pages.StartPage(640, 904, LineFormat::kWhite8, &error));
  EXPECT_NE(error.find("2 pages taken"), std::string::npos) << error;
  EXPECT_EQ(pages.Pages().size(), 2u);
}

TEST(PrinterModel, MediaSizesBecomeTheDriversPaper) {
  struct Case {
    int widthHmm, lengthHmm, headMm;
    bool ok;
    SHORT code, widthMm, lengthMm;
  };
  const Case cases[] = {
      {8000, 11300, 80, true, 9, 0, 0},  // the table's 80 x 113
      {4800, 6800, 48, true, 13, 0, 0},  // the table's 48 x 68
      {4800, 6800, 80, true, 13, 0, 0},  // narrow paper on a wide head
      {5800, 20000, 80, true, DMPAPER_USER, 58, 200},
      {8008, 11312, 80, true, 9, 0, 0},   // the 80 x 113 of the dot grid
      {7960, 11349, 80, true, 9, 0, 0},   // rounded to millimetres: the table's
      {100, 200198, 80, true, DMPAPER_USER, 1, 2000},
      {8000, 11300, 48, false, 0, 0, 0},  // wider than the head
      {100, 200300, 80, false, 0, 0, 0},  // longer than a page
      {0, 11300, 80, false, 0, 0, 0},
      {-100, 11300, 80, false, 0, 0, 0},
      {40, 40, 80, false, 0, 0, 0},  // under half a millimetre
  };
  for (const Case& c : cases) {
    std::string error;
    const auto paper = kelo::server::PaperOfMedia(c.widthHmm, c.lengthHmm, c.headMm, &error);
    ASSERT_EQ(paper.has_value(), c.ok) << c.widthHmm << " x " << c.lengthHmm << ": " << error;
    if (!paper) continue;
    EXPECT_EQ(paper->code, c.code) << c.widthHmm << " x " << c.lengthHmm;
    EXPECT_EQ(paper->widthMm, c.widthMm);
    EXPECT_EQ(paper->lengthMm, c.lengthMm);
  }
}

TEST(PrinterModel, MediaNamesHoldWholeDotsAtTheResolution) {
  // Each size is the least hundredths of a millimetre whose dots at 203 dpi,
  // truncated, are 8 a millimetre: 80 mm is 640 dots at 80.08, 639 at 80.07.
  struct Case {
    int widthMm, lengthMm;
    const char* name;
  };
  const Case cases[] = {
      {80, 113, "p_80.08x113.12mm"},
      {48, 68, "p_48.05x68.07mm"},
      {1, 1, "p_1.01x1.01mm"},
      {80, 2000, "p_80.08x2001.98mm"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kelo::server::MediaName("p", c.widthMm, c.lengthMm), c.name);
  }
}

TEST(PrinterModel, EveryDriversMediaFitsItsHead) {
  for (const kelo::server::HeadModel& head : kelo::server::HeadModels()) {
    EXPECT_EQ(kelo::server::FindHead(head.driverName), &head);
    for (const std::string& name : head.media) {
      const size_t x = name.rfind('x');
      const size_t underscore = name.rfind('_', x);
      ASSERT_NE(x, std::string::npos) << name;
      EXPECT_LE(std::stoi(name.substr(underscore + 1, x - underscore - 1)), head.widthMm) << name;
    }
  }
  EXPECT_EQ(kelo::server::FindHead("kelo-100mm"), nullptr);
}

TEST(PrinterModel, PortUrisRoundTrip) {
  struct Case {
    std::u16string port;
    std::string uri;
  };
  const Case cases[] = {
      {u"LPT1:", "kelo:///LPT1:"},
      {u"COM2:", "kelo:///COM2:"},
      {u"my port/1", "kelo:///my%20port%2F1"},
      {u"\u00e9t\u00e9:", "kelo:///%C3%A9t%C3%A9:"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kelo::server::PortUri(c.port), c.uri);
    EXPECT_EQ(kelo::server::PortOfUri(c.uri), c.port) << c.uri;
  }
  for (const char* bad : {"", "kelo:///", "kelo://host/LPT1:", "usb:///LPT1:", "kelo:///a/b",
                          "kelo:///LPT1%", "kelo:///LPT1%4", "kelo:///LPT1%zz", "kelo:///a%00b"}) {
    EXPECT_FALSE(kelo::server::PortOfUri(bad).has_value()) << bad;
  }
}

}  // namespace
