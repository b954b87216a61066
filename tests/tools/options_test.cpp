// kelo-print's command line: paper names, options and their values, and the
// device mode they make.

#include <gtest/gtest.h>

#include "tools/kelo-print/options.h"

using kelo::engine::FitMode;
using kelo::print::ExitCode;
using kelo::print::Options;
using kelo::print::Paper;
using kelo::print::ParseCommandLine;
using kelo::print::ParsePaper;

TEST(PaperNames, TheTwoTableSizesUseTheirCodes) {
  std::string error;
  const auto small = ParsePaper("48x68", &error);
  ASSERT_TRUE(small);
  EXPECT_EQ(small->code, 13);
  const auto large = ParsePaper("80X113", &error);
  ASSERT_TRUE(large);
  EXPECT_EQ(large->code, DMPAPER_A4);
  EXPECT_EQ(large->widthMm, 0);
}

TEST(PaperNames, OtherSizesAreCustomInWholeMillimetres) {
  std::string error;
  const auto custom = ParsePaper("80x68", &error);
  ASSERT_TRUE(custom);
  EXPECT_EQ(custom->code, DMPAPER_USER);
  EXPECT_EQ(custom->widthMm, 80);
  EXPECT_EQ(custom->lengthMm, 68);
  const auto longest = ParsePaper("1x2000", &error);
  ASSERT_TRUE(longest);
  EXPECT_EQ(longest->lengthMm, 2000);
}

TEST(PaperNames, UnknownPaperIsRefusedWithAReason) {
  for (const char* text : {"A4", "80", "80x", "x113", "0x68", "80x0", "-48x68", "48x-68",
                           "48.5x68", "48x68mm", "81x113", "80x2001", "99999999x1", " 48x68"}) {
    std::string error;
    EXPECT_FALSE(ParsePaper(text, &error)) << text;
    EXPECT_NE(error.find("unknown paper"), std::string::npos) << text;
  }
  std::string error;
  ParsePaper("81x113", &error);
  EXPECT_NE(error.find("80 mm"), std::string::npos);
}

TEST(CommandLine, DefaultsAndEveryOption) {
  const auto plain = ParseCommandLine({"a.png"});
  ASSERT_EQ(plain.code, kelo::print::kExitOk) << plain.error;
  EXPECT_EQ(plain.options.images, (std::vector<std::string>{"a.png"}));
  EXPECT_FALSE(plain.options.port);
  EXPECT_EQ(plain.options.paper.code, DMPAPER_A4);
  EXPECT_EQ(plain.options.fit, FitMode::kWidth);
  EXPECT_FALSE(plain.options.landscape || plain.options.colour || plain.options.draft);

  const auto all = ParseCommandLine({"--port", "COM2:", "a.png", "--paper=48x68", "--landscape",
                                     "--colour", "--draft", "--fit", "page", "--registry=r.reg",
                                     "b.jpg", "--", "--c.png"});
  ASSERT_EQ(all.code, kelo::print::kExitOk) << all.error;
  const Options& o = all.options;
  EXPECT_EQ(o.images, (std::vector<std::string>{"a.png", "b.jpg", "--c.png"}));
  EXPECT_EQ(*o.port, "COM2:");
  EXPECT_EQ(o.paper.code, 13);
  EXPECT_TRUE(o.landscape && o.colour && o.draft);
  EXPECT_EQ(o.fit, FitMode::kPage);
  EXPECT_EQ(*o.registry, "r.reg");

  EXPECT_TRUE(ParseCommandLine({"--help"}).options.help);
  EXPECT_EQ(ParseCommandLine({"--help"}).code, kelo::print::kExitOk);
}

TEST(CommandLine, MistakesAreUsageErrorsAndBadPaperIsItsOwn) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"--landscape"}, {"--port"}, {"a.png", "--port"},
        {"--port=", "a.png"}, {"--fit", "stretch", "a.png"}, {"--wide", "a.png"},
        {"--draft=1", "a.png"}, {"--registry", "", "a.png"}}) {
    const auto parsed = ParseCommandLine(args);
    EXPECT_EQ(parsed.code, kelo::print::kExitUsage) << ::testing::PrintToString(args);
    EXPECT_FALSE(parsed.error.empty());
  }
  const auto paper = ParseCommandLine({"--paper", "A4", "a.png"});
  EXPECT_EQ(paper.code, kelo::print::kExitPaper);
  EXPECT_NE(paper.error.find("A4"), std::string::npos);
}

TEST(CommandLine, TheDevmodeCarriesPaperOrientationColourAndQuality) {
  DEVMODEW defaults = {};
  defaults.dmSize = sizeof defaults;
  defaults.dmPaperSize = 13;
  defaults.dmCopies = 1;
  auto parsed = ParseCommandLine({"--paper", "80x50", "--landscape", "--colour", "--draft", "a"});
  ASSERT_EQ(parsed.code, kelo::print::kExitOk);
  const DEVMODEW d = kelo::print::JobDevmode(defaults, parsed.options);
  EXPECT_EQ(d.dmPaperSize, DMPAPER_USER);
  EXPECT_EQ(d.dmFields & (DM_PAPERWIDTH | DM_PAPERLENGTH), DM_PAPERWIDTH | DM_PAPERLENGTH);
  EXPECT_EQ(d.dmPaperWidth, 80);
  EXPECT_EQ(d.dmPaperLength, 50);
  EXPECT_EQ(d.dmOrientation, DMORIENT_LANDSCAPE);
  EXPECT_EQ(d.dmColor, DMCOLOR_COLOR);
  EXPECT_EQ(d.dmPrintQuality, DMRES_DRAFT);
  EXPECT_EQ(d.dmCopies, 1);  // the rest stays

  parsed = ParseCommandLine({"a"});
  const DEVMODEW p = kelo::print::JobDevmode(defaults, parsed.options);
  EXPECT_EQ(p.dmPaperSize, DMPAPER_A4);
  EXPECT_EQ(p.dmFields & (DM_PAPERWIDTH | DM_PAPERLENGTH), 0u);
  EXPECT_EQ(p.dmOrientation, DMORIENT_PORTRAIT);
  EXPECT_EQ(p.dmColor, DMCOLOR_MONOCHROME);
  EXPECT_EQ(p.dmPrintQuality, DMRES_HIGH);
}
