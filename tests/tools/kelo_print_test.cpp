// kelo-print end to end: the program runs as its own process on image
// files, prints through the device service to emulated printers and capture
// files in a directory of its own, and what reached the port is decoded and
// compared with the dots the halftoner made for the same job in this process.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/hooks.h"
#include "driver/print_context.h"
#include "emulator/stream_decoder.h"
#include "engine/engine.h"
#include "engine/image_file.h"
#include "engine/image_pages.h"
#include "platform/host/host_api.h"
#include "tests/engine/test_images.h"
#include "tests/support/recording_device.h"
#include "tests/support/tool_process.h"
#include "tools/kelo-print/options.h"
#include "tools/make-sample/sample_receipt.h"

using kelo::engine::RgbImage;
using kelo::test::PngLayout;
using kelo::test::ToolRun;
using Bytes = std::vector<uint8_t>;
using Rows = std::vector<Bytes>;

namespace {

const char* const kPorts = R"([HKEY_LOCAL_MACHINE\Host\Ports]
"LPT1:"="emulator:capture=grey.bin,preview=grey.png"
"LPT2:"="emulator:planes=4,capture=colour.bin,preview=colour.png"
"LPT3:"="file.bin"
"LPT4:"="emulator:status=0x88,announce,capture=notready.bin"
"LPT5:"="/dev/full"
"LPT6:"="no-such-directory/x.bin"
"LPT7:"="emulator:status=0x82,capture=paper.bin"
"LPT8:"="emulator:silent,capture=silent.bin"
)";

// Every empty row reaches the printer, so that its rows can be counted and
// compared one for one; failed flushes give up after two attempts.
const char* const kDriverSettings = R"([HKEY_LOCAL_MACHINE\Drivers\BuiltIn\KLP]
"EnablePageFilter"=dword:00000000
"NumFlushRetries"=dword:00000002
)";

// kelo-print asks the printer for its status before the job: the printer
// hears ESC k 255, then the driver's bytes.
Bytes AfterStatusQuestion(const Bytes& job) {
  // Sized first: GCC 12 sees a false bound in an insert after a 3-byte list.
  Bytes stream(job.size() + 3);
  stream[0] = 0x1B;
  stream[1] = 0x6B;
  stream[2] = 0xFF;
  std::copy(job.begin(), job.end(), stream.begin() + 3);
  return stream;
}

uint64_t Fnv1a(const Bytes& bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (uint8_t b : bytes) {
    hash ^= b;
    hash *= 1099511628211ull;
  }
  return hash;
}

size_t Occurrences(const Bytes& haystack, const Bytes& needle) {
  size_t count = 0;
  for (auto it = haystack.begin();
       (it = std::search(it, haystack.end(), needle.begin(), needle.end())) != haystack.end(); ++it) {
    ++count;
  }
  return count;
}

Bytes ReadBytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Colour bands, a hue ramp and a grey ramp: every plane gets ink somewhere.
RgbImage ColourChart(int width, int height) {
  RgbImage image(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = image.Pixel(x, y);
      const int band = y * 6 / height;
      const auto t = static_cast<uint8_t>(x * 255 / (width - 1));
      switch (band) {
        case 0: p[0] = 255; p[1] = t; p[2] = 0; break;
        case 1: p[0] = 255 - t; p[1] = 255; p[2] = t; break;
        case 2: p[0] = t; p[1] = 0; p[2] = 255; break;
        case 3: p[0] = p[1] = p[2] = t; break;
        case 4: p[0] = t; p[1] = static_cast<uint8_t>(255 - t / 2); p[2] = 40; break;
        default: p[0] = p[1] = p[2] = static_cast<uint8_t>(((x / 8 + y / 8) % 2) * 255); break;
      }
    }
  }
  return image;
}

// What the driver made of a job, seen in this process at its halftoner and
// at a recording stand-in for the device service.
struct Printed {
  std::vector<Rows> planes = std::vector<Rows>(4);
  Bytes bytes;
};

void Observe(void* context, int plane, const BYTE* dots, int rowBytes) {
  static_cast<Printed*>(context)->planes[static_cast<size_t>(plane)].emplace_back(dots,
                                                                                  dots + rowBytes);
}

Printed PrintInProcess(const std::vector<RgbImage>& images, const std::vector<std::string>& args,
                       bool pageFilter = false) {
  const auto parsed = kelo::print::ParseCommandLine(args);
  EXPECT_EQ(parsed.code, kelo::print::kExitOk) << parsed.error;
  auto service = kelo::test::InstallRecordingService();
  if (!pageFilter) {
    kelo::host::SetRegistryDword(u"Drivers\\BuiltIn\\KLP", u"EnablePageFilter", 0);
  }
  Printed printed;
  g_printContext.raster.dotRowObserver = Observe;
  g_printContext.raster.observerContext = &printed;
  kelo::engine::JobOptions job;
  job.devmode =
      kelo::print::JobDevmode(kelo::engine::DefaultDevmode(&DrvEnableDriver), parsed.options);
  const auto render = kelo::engine::ImagePages(images, parsed.options.fit, job);
  const auto result =
      kelo::engine::RunJob(&DrvEnableDriver, job, static_cast<int>(images.size()), render);
  EXPECT_TRUE(result.ok) << result.failure;
  g_printContext.raster.dotRowObserver = nullptr;
  printed.bytes = service->WrittenBytes();
  return printed;
}

struct Decoded {
  bool ok = false;
  std::string error;
  std::vector<Rows> planes;
};

Decoded DecodeStream(const Bytes& stream, int rowBytes, int planes) {
  kelo::emulator::StreamDecoder decoder(rowBytes, planes);
  Decoded d;
  d.ok = decoder.Feed(stream.data(), stream.size()) && decoder.Finish();
  if (decoder.error()) d.error = decoder.error()->message + " at " + std::to_string(decoder.error()->offset);
  for (int p = 0; p < planes; ++p) d.planes.push_back(decoder.PlaneRows(p));
  return d;
}

// The first row where two row lists differ, for failure messages.
std::string FirstDifference(const Rows& a, const Rows& b) {
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    if (a[i] != b[i]) return "row " + std::to_string(i) + ": " + kelo::test::HexDump(a[i], 32) +
                              " vs " + kelo::test::HexDump(b[i], 32);
  }
  return "rows " + std::to_string(a.size()) + " vs " + std::to_string(b.size());
}

class KeloPrint : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = kelo::test::FreshTestDirectory(
        "kelo-print-", std::string(info->test_suite_name()) + "-" + info->name());
    WriteRegistry(std::string(kPorts) + kDriverSettings);
  }
  void TearDown() override {
    if (!HasFailure()) std::filesystem::remove_all(dir_);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void WriteRegistry(const std::string& text) const { std::ofstream(dir_ / "test.reg") << text; }
  void WriteImage(const std::string& name, const RgbImage& image) const {
    ASSERT_TRUE(kelo::test::WriteFile(Path(name), kelo::test::EncodeRgbPng(image)));
  }

  ToolRun Print(std::vector<std::string> args, std::vector<std::string> environment = {},
                bool terminal = false, bool registryOption = true) const {
    kelo::test::ToolLaunch launch;
    launch.binary = KELO_PRINT_BINARY;
    if (registryOption) launch.arguments = {"--registry", "test.reg"};
    launch.arguments.insert(launch.arguments.end(), args.begin(), args.end());
    launch.directory = dir_.string();
    launch.environment = std::move(environment);
    launch.stderrIsTerminal = terminal;
    return kelo::test::RunTool(launch);
  }

  std::filesystem::path dir_;
};

// ---- dots through the whole path ----

struct Layout {
  const char* name;
  std::vector<std::string> options;  // besides the port and the image
  bool colour;
  int rowBytes;
  size_t lines;  // raster lines of one page
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class PrintedDots : public KeloPrint, public ::testing::WithParamInterface<Layout> {};

TEST_P(PrintedDots, DecodedStreamEqualsTheHalftonedDots) {
  const Layout& layout = GetParam();
  const RgbImage image = layout.colour ? ColourChart(500, 700)
                                       : kelo::sample::ToRgb(kelo::sample::DrawSampleReceipt());
  WriteImage("page.png", image);
  std::vector<std::string> args = layout.options;
  args.insert(args.end(), {"--port", layout.colour ? "LPT2:" : "LPT1:", "page.png"});
  const ToolRun run = Print(args);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "");  // no progress when stderr is no terminal

  const Bytes stream = ReadBytes(dir_ / (layout.colour ? "colour.bin" : "grey.bin"));
  const int planes = layout.colour ? 4 : 1;
  const Decoded decoded = DecodeStream(stream, layout.rowBytes, planes);
  ASSERT_TRUE(decoded.ok) << decoded.error;

  // Decoding an image in this process gives what the tool read from its file.
  RgbImage reread;
  std::string error;
  ASSERT_TRUE(kelo::engine::LoadImageFile(Path("page.png"), &reread, &error)) << error;
  const Printed expected = PrintInProcess({reread}, args);
  EXPECT_EQ(stream, AfterStatusQuestion(expected.bytes)) << "the service changed the driver's bytes";
  for (int p = 0; p < planes; ++p) {
    const Rows& rows = decoded.planes[static_cast<size_t>(p)];
    EXPECT_EQ(rows.size(), layout.lines) << "plane " << p;
    ASSERT_EQ(rows.size(), expected.planes[static_cast<size_t>(p)].size()) << "plane " << p;
    EXPECT_TRUE(rows == expected.planes[static_cast<size_t>(p)])
        << "plane " << p << " " << FirstDifference(rows, expected.planes[static_cast<size_t>(p)]);
    size_t inked = 0;
    for (const Bytes& row : rows) {
      inked += std::count_if(row.begin(), row.end(), [](uint8_t b) { return b != 0; }) > 0;
    }
    EXPECT_GT(inked, layout.lines / 4) << "plane " << p << " is nearly empty";
  }
}

INSTANTIATE_TEST_SUITE_P(
    PaperOrientationColour, PrintedDots,
    ::testing::Values(Layout{"Grey80Portrait", {}, false, 80, 904},
                      Layout{"Grey80Landscape", {"--landscape"}, false, 80, 904},
                      Layout{"Grey48Portrait", {"--paper", "48x68"}, false, 48, 544},
                      Layout{"Grey48Landscape", {"--paper", "48x68", "--landscape"}, false, 48, 544},
                      Layout{"Colour80Portrait", {"--colour"}, true, 80, 904},
                      Layout{"Colour80Landscape", {"--colour", "--landscape"}, true, 80, 904},
                      Layout{"Colour48Portrait", {"--colour", "--paper", "48x68"}, true, 48, 544},
                      Layout{"Colour48Landscape", {"--colour", "--paper", "48x68", "--landscape"},
                             true, 48, 544},
                      Layout{"CustomWiderThanLong", {"--paper", "80x68"}, false, 80, 544},
                      Layout{"FitPageDraft", {"--fit", "page", "--draft"}, false, 80, 904},
                      Layout{"FitNone", {"--fit", "none", "--paper", "48x68"}, false, 48, 544}),
    [](const ::testing::TestParamInfo<Layout>& param) { return std::string(param.param.name); });

// Black and white dots need no halftoning: a page-sized image of pure black
// and white must arrive dot for dot, which checks geometry and rotation
// without the driver's own view of the job.
RgbImage BlackAndWhite(int width, int height) {
  RgbImage image(width, height);
  uint32_t state = 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      bool black;
      if (y < height / 3) {
        black = (x / 5 + y / 7) % 2 == 0;  // blocks
      } else if (y < 2 * height / 3) {
        black = x % 3 == 0 || y % 4 == 0;  // one-dot lines
      } else {
        state = state * 1103515245u + 12345u;
        black = (state >> 16) % 3 == 0;  // scattered dots
      }
      if (x < 2 || y < 1) black = true;  // marks the left column and top row
      if (black) std::fill_n(image.Pixel(x, y), 3, uint8_t{0});
    }
  }
  return image;
}

bool Dot(const Bytes& row, int k) { return (row[static_cast<size_t>(k / 8)] >> (7 - k % 8) & 1) != 0; }

TEST_F(KeloPrint, BlackAndWhitePortraitArrivesDotForDot) {
  const RgbImage image = BlackAndWhite(384, 544);
  WriteImage("bw.png", image);
  const ToolRun run = Print({"--paper", "48x68", "bw.png"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Decoded decoded = DecodeStream(ReadBytes(dir_ / "grey.bin"), 48, 1);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  ASSERT_EQ(decoded.planes[0].size(), 544u);
  for (int y = 0; y < 544; ++y) {
    for (int x = 0; x < 384; ++x) {
      ASSERT_EQ(Dot(decoded.planes[0][static_cast<size_t>(y)], x), image.Pixel(x, y)[0] == 0)
          << x << "," << y;
    }
  }
}

TEST_F(KeloPrint, BlackAndWhiteLandscapeIsTurnedAQuarterClockwise) {
  // The landscape page of 48 x 68 mm is 544 x 384 dots; the first printed
  // line is its left column read from the bottom up.
  const RgbImage image = BlackAndWhite(544, 384);
  WriteImage("bw.png", image);
  const ToolRun run = Print({"--paper", "48x68", "--landscape", "bw.png"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Decoded decoded = DecodeStream(ReadBytes(dir_ / "grey.bin"), 48, 1);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  ASSERT_EQ(decoded.planes[0].size(), 544u);
  for (int line = 0; line < 544; ++line) {
    for (int k = 0; k < 384; ++k) {
      ASSERT_EQ(Dot(decoded.planes[0][static_cast<size_t>(line)], k),
                image.Pixel(line, 383 - k)[0] == 0)
          << "line " << line << " dot " << k;
    }
  }
}

TEST_F(KeloPrint, SeveralImagesMakeOneDocumentOfSeveralPages) {
  WriteImage("one.png", kelo::sample::ToRgb(kelo::sample::DrawSampleReceipt()));
  const RgbImage chart = ColourChart(300, 200);
  const Bytes jpeg = kelo::test::EncodeJpeg(chart.width, chart.height, 3, chart.rgb, 90);
  ASSERT_TRUE(kelo::test::WriteFile(Path("two.jpg"), jpeg));
  const ToolRun run = Print({"one.png", "two.jpg"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Bytes stream = ReadBytes(dir_ / "grey.bin");
  const Decoded decoded = DecodeStream(stream, 80, 1);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.planes[0].size(), 2u * 904);

  RgbImage first, second;
  std::string error;
  ASSERT_TRUE(kelo::engine::LoadImageFile(Path("one.png"), &first, &error)) << error;
  ASSERT_TRUE(kelo::engine::LoadImageFile(Path("two.jpg"), &second, &error)) << error;
  const Printed expected = PrintInProcess({first, second}, {"one.png", "two.jpg"});
  EXPECT_EQ(stream, AfterStatusQuestion(expected.bytes));
  EXPECT_TRUE(decoded.planes[0] == expected.planes[0])
      << FirstDifference(decoded.planes[0], expected.planes[0]);
  // One start-up block, one end of document, nothing between the pages.
  const Bytes startup = {0x1B, 0x41, 0x1B, 0x6D, 0x00, 0x1B, 0x6D, 0x05,
                         0x1B, 0x6B, 0xFF, 0x1B, 0x76, 0x02};
  EXPECT_EQ(Occurrences(stream, startup), 1u);
  EXPECT_EQ(Occurrences(stream, {0x1B, 0x65, 0x01, 0x00}), 1u);
  const Bytes end2 = {0x1B, 0x76, 0x03};
  ASSERT_GE(stream.size(), 3u);
  EXPECT_TRUE(std::equal(end2.begin(), end2.end(), stream.end() - 3));
}

TEST_F(KeloPrint, TheSampleReceiptGivesAPinnedByteStream) {
  // The shipped settings (page filter on), only the ports of the test.
  WriteRegistry(kPorts);
  const kelo::sample::GreyImage receipt = kelo::sample::DrawSampleReceipt();
  WriteImage("receipt.png", kelo::sample::ToRgb(receipt));
  // The job's bytes alone; the status question before them has its own test.
  const ToolRun run = Print({"--no-status-check", "receipt.png"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Bytes stream = ReadBytes(dir_ / "grey.bin");
  // First the stream is shown right: the driver's own bytes, and it decodes.
  const Printed expected = PrintInProcess({kelo::sample::ToRgb(receipt)}, {"receipt.png"}, true);
  ASSERT_EQ(stream, expected.bytes);
  ASSERT_TRUE(DecodeStream(stream, 80, 1).ok);
  // Then it is pinned: a change anywhere on the path shows here.
  EXPECT_EQ(stream.size(), 9995u);
  EXPECT_EQ(Fnv1a(stream), 0x3303819d5f363f95ull) << std::hex << Fnv1a(stream);
}

// The README's main job: the shipped registry file, the committed sample.
TEST_F(KeloPrint, TheShippedSettingsPrintTheSampleToTheEmulatedPrinter) {
  std::filesystem::copy_file(std::string(KELO_SOURCE_DIR) + "/config/kelo.reg", dir_ / "kelo.reg");
  std::filesystem::copy_file(std::string(KELO_SOURCE_DIR) + "/examples/receipt.png",
                             dir_ / "receipt.png");
  const ToolRun run = Print({"--registry", "kelo.reg", "receipt.png"}, {}, false, false);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "") << "the file has a line the registry cannot take";
  const Decoded decoded = DecodeStream(ReadBytes(dir_ / "out" / "receipt.bin"), 80, 1);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  // The page filter of the shipped settings shortens the white stretches.
  EXPECT_GT(decoded.planes[0].size(), 904u / 2);
  EXPECT_LT(decoded.planes[0].size(), 904u);
  RgbImage preview;
  std::string error;
  ASSERT_TRUE(kelo::engine::LoadImageFile(Path("out/receipt.png"), &preview, &error)) << error;
  EXPECT_EQ(preview.width, 640);
  EXPECT_EQ(static_cast<size_t>(preview.height), decoded.planes[0].size());
  RgbImage shown;  // the picture in the README
  ASSERT_TRUE(kelo::engine::LoadImageFile(
      std::string(KELO_SOURCE_DIR) + "/examples/receipt-preview.png", &shown, &error))
      << error;
  EXPECT_TRUE(shown.rgb == preview.rgb) << "examples/receipt-preview.png is out of date";
}

TEST_F(KeloPrint, TheCommittedSampleIsWhatTheGeneratorDraws) {
  RgbImage committed;
  std::string error;
  ASSERT_TRUE(kelo::engine::LoadImageFile(std::string(KELO_SOURCE_DIR) + "/examples/receipt.png",
                                          &committed, &error))
      << error;
  EXPECT_EQ(committed.rgb, kelo::sample::ToRgb(kelo::sample::DrawSampleReceipt()).rgb);
}

// Two processes and a real termios line between them: the printer runs in
// kelo-emulate on a pseudo-terminal, kelo-print reaches it as a serial port.
TEST_F(KeloPrint, PrintsAcrossProcessesThroughASerialLine) {
  kelo::test::RunningTool printer(
      KELO_EMULATE_BINARY, {"--pty", "--capture", Path("pty.bin"), "--preview", Path("pty.png")});
  ASSERT_TRUE(printer.started());
  const std::string line = printer.ReadLine(10000);
  ASSERT_FALSE(line.empty()) << "no pseudo-terminal path";
  WriteRegistry(std::string("[HKEY_LOCAL_MACHINE\\Host\\Ports]\n\"COM1:\"=\"") + line + "\"\n" +
                kDriverSettings);
  const RgbImage receipt = kelo::sample::ToRgb(kelo::sample::DrawSampleReceipt());
  WriteImage("receipt.png", receipt);
  const ToolRun run = Print({"--port", "COM1:", "receipt.png"});
  ASSERT_EQ(run.exitCode, 0) << run.err;

  printer.CloseStdin();  // end of input ends the printer
  const ToolRun served = printer.Finish();
  ASSERT_EQ(served.exitCode, 0) << served.err;
  EXPECT_NE(served.out.find("rows: 904\n"), std::string::npos) << served.out;
  const Decoded decoded = DecodeStream(ReadBytes(dir_ / "pty.bin"), 80, 1);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  const Printed expected = PrintInProcess({receipt}, {"--port", "COM1:", "receipt.png"});
  EXPECT_TRUE(decoded.planes[0] == expected.planes[0])
      << FirstDifference(decoded.planes[0], expected.planes[0]);
  RgbImage preview;
  std::string error;
  ASSERT_TRUE(kelo::engine::LoadImageFile(Path("pty.png"), &preview, &error)) << error;
  EXPECT_EQ(preview.height, 904);
}

TEST_F(KeloPrint, CopiesRepeatTheWholeDocumentInOneJob) {
  WriteImage("one.png", kelo::sample::ToRgb(kelo::sample::DrawSampleReceipt()));
  WriteImage("two.png", ColourChart(300, 200));
  const ToolRun copies = Print({"--copies", "3", "one.png", "two.png"});
  ASSERT_EQ(copies.exitCode, 0) << copies.err;
  const ToolRun single = Print({"--port", "LPT3:", "one.png", "two.png"});
  ASSERT_EQ(single.exitCode, 0) << single.err;

  const Bytes stream = ReadBytes(dir_ / "grey.bin");
  const Decoded three = DecodeStream(stream, 80, 1);
  const Decoded one = DecodeStream(ReadBytes(dir_ / "file.bin"), 80, 1);
  ASSERT_TRUE(three.ok) << three.error;
  ASSERT_TRUE(one.ok) << one.error;
  ASSERT_EQ(one.planes[0].size(), 2u * 904);
  Rows expected;
  for (int copy = 0; copy < 3; ++copy) {
    expected.insert(expected.end(), one.planes[0].begin(), one.planes[0].end());
  }
  EXPECT_TRUE(three.planes[0] == expected) << FirstDifference(three.planes[0], expected);
  EXPECT_EQ(Occurrences(stream, {0x1B, 0x65, 0x01, 0x00}), 1u) << "one document";
}

// A PNG 1 pixel wide and 1,000,000 high is 4 KB; fitted to the paper width
// it is 640 million dots high, of which the page shows 904. The job must
// cost a page, not the whole scaled strip: it runs under an address-space
// limit (not with AddressSanitizer, whose shadow memory needs terabytes of
// it) and prints what a two-pixel strip of the same top pixels prints.
TEST_F(KeloPrint, AThinStripPrintsAtTheCostOfAPage) {
  PngLayout strip;
  strip.width = 1;
  strip.height = 1000000;
  strip.colourType = 0;
  strip.rows.assign(1000000, 128);
  strip.rows[0] = 0;
  strip.rows[1] = 255;
  ASSERT_TRUE(kelo::test::WriteFile(Path("strip.png"), kelo::test::EncodePng(strip)));
  ASSERT_LT(std::filesystem::file_size(dir_ / "strip.png"), 8192u);
  RgbImage two(1, 2);
  std::fill_n(two.Pixel(0, 0), 3, uint8_t{0});
  WriteImage("two.png", two);

  kelo::test::ToolLaunch launch;
  launch.binary = "/bin/sh";
#if defined(__SANITIZE_ADDRESS__)
  const std::string limit;
#else
  const std::string limit = "ulimit -v 1500000 && ";  // KiB
#endif
  launch.arguments = {"-c", limit + "exec \"$0\" \"$@\"", KELO_PRINT_BINARY, "--registry",
                      "test.reg", "strip.png"};
  launch.directory = dir_.string();
  const ToolRun run = kelo::test::RunTool(launch);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Decoded strip904 = DecodeStream(ReadBytes(dir_ / "grey.bin"), 80, 1);
  ASSERT_EQ(Print({"--port", "LPT3:", "two.png"}).exitCode, 0);
  const Decoded two904 = DecodeStream(ReadBytes(dir_ / "file.bin"), 80, 1);
  ASSERT_TRUE(strip904.ok && two904.ok) << strip904.error << two904.error;
  EXPECT_EQ(strip904.planes[0].size(), 904u);
  EXPECT_TRUE(strip904.planes[0] == two904.planes[0])
      << FirstDifference(strip904.planes[0], two904.planes[0]);
}

// ---- ports, registry and the run itself ----

TEST_F(KeloPrint, ThePreviewIsWrittenBeforeTheProgramEnds) {
  WriteImage("page.png", kelo::sample::ToRgb(kelo::sample::DrawSampleReceipt()));
  ASSERT_EQ(Print({"page.png"}).exitCode, 0);
  // The emulator writes its preview when the last handle on the port closes:
  // the service was deactivated and the port given back before exit.
  RgbImage preview;
  std::string error;
  ASSERT_TRUE(kelo::engine::LoadImageFile(Path("grey.png"), &preview, &error)) << error;
  EXPECT_EQ(preview.width, 640);
  EXPECT_EQ(preview.height, 904);
}

TEST_F(KeloPrint, AColourJobGivesAColourPreviewOnAGreyMapping) {
  WriteImage("chart.png", ColourChart(640, 904));
  ASSERT_EQ(Print({"--colour", "--port", "LPT1:", "chart.png"}).exitCode, 0);
  const Decoded decoded = DecodeStream(ReadBytes(dir_ / "grey.bin"), 80, 4);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  RgbImage preview;
  std::string error;
  ASSERT_TRUE(kelo::engine::LoadImageFile(Path("grey.png"), &preview, &error)) << error;
  EXPECT_EQ(preview.height, 904) << "four planes a line, not four lines";
  size_t tinted = 0;
  for (int y = 0; y < preview.height; ++y) {
    for (int x = 0; x < preview.width; ++x) {
      const uint8_t* p = preview.Pixel(x, y);
      tinted += p[0] != p[1] || p[1] != p[2];
    }
  }
  EXPECT_GT(tinted, 1000u);
}

TEST_F(KeloPrint, TheRegistryCanComeFromTheEnvironment) {
  WriteImage("page.png", RgbImage(64, 64, 0));
  const ToolRun run = Print({"page.png"}, {"KELO_REGISTRY=test.reg"}, false, false);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(std::filesystem::exists(dir_ / "grey.bin"));
}

TEST_F(KeloPrint, TheDefaultPortComesFromTheRegistry) {
  WriteRegistry(std::string(kPorts) + kDriverSettings +
                "[HKEY_LOCAL_MACHINE\\Printers\\Ports]\n\"DefaultPrintPort\"=\"LPT3:\"\n");
  WriteImage("page.png", RgbImage(64, 64, 0));
  const ToolRun run = Print({"page.png"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Decoded decoded = DecodeStream(ReadBytes(dir_ / "file.bin"), 80, 1);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.planes[0].size(), 904u);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "grey.bin"));
}

TEST_F(KeloPrint, ProgressGoesToATerminalOnly) {
  WriteImage("a.png", RgbImage(64, 64, 0));
  WriteImage("b.png", RgbImage(64, 64, 0));
  const ToolRun quiet = Print({"a.png", "b.png"});
  ASSERT_EQ(quiet.exitCode, 0) << quiet.err;
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(quiet.out, "");
  const ToolRun shown = Print({"a.png", "b.png"}, {}, true);
  ASSERT_EQ(shown.exitCode, 0) << shown.err;
  EXPECT_NE(shown.err.find("page 1 of 2, row 64 of 904"), std::string::npos) << shown.err;
  EXPECT_NE(shown.err.find("page 2 of 2, row 904 of 904"), std::string::npos) << shown.err;
}

// ---- failures: one line and a code each ----

void ExpectOneLine(const ToolRun& run, const std::string& part) {
  EXPECT_NE(run.err.find(part), std::string::npos) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_EQ(run.err.rfind("kelo-print: ", 0), 0u) << run.err;
}

// The status question before a job: ESC k 255 is all an out-of-paper
// printer hears; a printer that never answers gets the whole job after the
// question, byte for byte what a job without the question sends.
TEST_F(KeloPrint, TheStatusQuestionRefusesAPrinterWithAConditionBeforeAnyPage) {
  const Bytes question = {0x1B, 0x6B, 0xFF};
  WriteImage("page.png", kelo::sample::ToRgb(kelo::sample::DrawSampleReceipt()));
  const ToolRun refused = Print({"--port", "LPT7:", "page.png"});
  EXPECT_EQ(refused.exitCode, kelo::print::kExitNotReady);
  ExpectOneLine(refused, "the printer on \"LPT7:\" is out of paper; no page was sent");
  EXPECT_EQ(ReadBytes(dir_ / "paper.bin"), question);

  // Unasked, the printer hears the job's start-up block before the job's
  // own check refuses it.
  const ToolRun unasked = Print({"--port", "LPT7:", "--no-status-check", "page.png"});
  EXPECT_EQ(unasked.exitCode, kelo::print::kExitNotReady) << unasked.err;
  const Bytes startUp = ReadBytes(dir_ / "paper.bin");
  EXPECT_GT(startUp.size(), question.size());
  EXPECT_EQ(DecodeStream(startUp, 80, 1).planes[0].size(), 0u) << "no row";

  const ToolRun silent = Print({"--port", "LPT8:", "page.png"});
  ASSERT_EQ(silent.exitCode, 0) << silent.err;
  const ToolRun ready = Print({"--port", "LPT1:", "--no-status-check", "page.png"});
  ASSERT_EQ(ready.exitCode, 0) << ready.err;
  const Bytes job = ReadBytes(dir_ / "grey.bin");
  EXPECT_TRUE(ReadBytes(dir_ / "silent.bin") == AfterStatusQuestion(job))
      << "the silent printer's stream differs";
  EXPECT_GT(job.size(), 1000u);
}

TEST_F(KeloPrint, AnUnreadableImageStopsTheJobBeforeThePrinterHearsOfIt) {
  WriteImage("good.png", RgbImage(8, 8, 0));
  std::ofstream(dir_ / "bad.png") << "not an image";
  const Bytes png = kelo::test::EncodeRgbPng(kelo::test::NoiseImage(40, 40, 1));
  ASSERT_TRUE(kelo::test::WriteFile(Path("cut.png"), Bytes(png.begin(), png.begin() + 300)));
  for (const char* bad : {"bad.png", "missing.png", "cut.png"}) {
    const ToolRun run = Print({"good.png", bad});
    EXPECT_EQ(run.exitCode, kelo::print::kExitImage) << bad;
    ExpectOneLine(run, bad);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "grey.bin")) << "the port was opened";
  }
}

// Images are read on two threads before the job; the line names the first
// unreadable one in the command line's order, wherever the others are.
TEST_F(KeloPrint, AmongSeveralImagesTheFirstUnreadableOneIsNamed) {
  WriteImage("good.png", kelo::test::NoiseImage(300, 400, 2));
  std::ofstream(dir_ / "bad.png") << "not an image";
  const std::vector<std::vector<std::string>> lists = {
      {"good.png", "good.png", "good.png", "bad.png", "missing.png"},
      {"bad.png", "good.png", "missing.png", "good.png"},
      {"good.png", "good.png", "good.png", "good.png", "good.png", "missing.png", "bad.png"},
  };
  for (const std::vector<std::string>& files : lists) {
    const std::string first =
        *std::find_if(files.begin(), files.end(), [](const std::string& f) { return f != "good.png"; });
    const ToolRun run = Print(files);
    EXPECT_EQ(run.exitCode, kelo::print::kExitImage) << first;
    ExpectOneLine(run, "cannot read " + first + ":");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "grey.bin")) << "the port was opened";
  }
}

struct Failure {
  const char* name;
  std::vector<std::string> args;  // before the image
  int code;
  const char* says;  // part of the one line
};

void PrintTo(const Failure& failure, std::ostream* out) { *out << failure.name; }

class FailedJob : public KeloPrint, public ::testing::WithParamInterface<Failure> {};

TEST_P(FailedJob, EndsWithOneLineAndItsCode) {
  WriteImage("page.png", RgbImage(8, 8, 0));
  std::vector<std::string> args = GetParam().args;
  args.push_back("page.png");
  const ToolRun run = Print(args);
  EXPECT_EQ(run.exitCode, GetParam().code);
  ExpectOneLine(run, GetParam().says);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, FailedJob,
    ::testing::Values(
        Failure{"UnknownPaper", {"--paper", "100x150"}, kelo::print::kExitPaper,
                "unknown paper \"100x150\""},
        Failure{"UnmappedPort", {"--port", "LPT9:"}, kelo::print::kExitPort,
                "cannot open the printer port \"LPT9:\""},
        Failure{"PortTargetMissing", {"--port", "LPT6:"}, kelo::print::kExitPort, "\"LPT6:\""},
        Failure{"PrinterNotReady", {"--port", "LPT4:"}, kelo::print::kExitNotReady, "not ready"},
        Failure{"PortTakesNothing", {"--port", "LPT5:"}, kelo::print::kExitWrite,
                "did not take the data"},
        Failure{"PaperTooLong", {"--paper", "48x100000"}, kelo::print::kExitPaper,
                "at most 2000 mm long"},
        Failure{"PaperTooLongForAnInt", {"--paper", "48x99999999999"}, kelo::print::kExitPaper,
                "at most 2000 mm long"},
        Failure{"PaperWithoutLength", {"--paper", "48x0"}, kelo::print::kExitPaper,
                "at least 1 mm"},
        Failure{"ImageIsADirectory", {"."}, kelo::print::kExitImage,
                "cannot read .: it is a directory"},
        Failure{"RegistryIsADirectory", {"--registry", "."}, kelo::print::kExitUsage,
                "registry file .: it is a directory"},
        Failure{"NoCopies", {"--copies", "0"}, kelo::print::kExitUsage, "--copies"},
        Failure{"TooManyCopies", {"--copies", "1000"}, kelo::print::kExitUsage, "1 to 999"},
        Failure{"CopiesNotANumber", {"--copies", "2x"}, kelo::print::kExitUsage, "--copies"},
        Failure{"NegativeCopies", {"--copies=-1"}, kelo::print::kExitUsage, "--copies"}),
    [](const ::testing::TestParamInfo<Failure>& param) { return std::string(param.param.name); });

// The start-up block asks the printer for its status. A printer that answers
// with a condition, at once or a while later, gets no page and the job ends
// with the printer's code; one that never answers, or answers late that it
// is ready, gets the whole job.
struct StartupAnswer {
  const char* name;
  const char* printer;  // emulator options besides the capture
  int pages;
  int code;
  const char* says;  // part of the one line of a failed job
};

void PrintTo(const StartupAnswer& answer, std::ostream* out) { *out << answer.name; }

class StartupStatusAnswer : public KeloPrint,
                            public ::testing::WithParamInterface<StartupAnswer> {};

TEST_P(StartupStatusAnswer, DecidesWhetherPagesGoOut) {
  const StartupAnswer& c = GetParam();
  WriteRegistry(std::string("[HKEY_LOCAL_MACHINE\\Host\\Ports]\n\"LPT7:\"=\"emulator:") +
                c.printer + ",capture=answer.bin\"\n" + kDriverSettings);
  WriteImage("page.png", RgbImage(8, 8, 0));
  // The job's own check: the status question before the job is left out.
  std::vector<std::string> args = {"--paper", "48x68", "--port", "LPT7:", "--no-status-check"};
  for (int i = 0; i < c.pages; ++i) args.push_back("page.png");
  const ToolRun run = Print(args);
  ASSERT_EQ(run.exitCode, c.code) << run.err;
  const Bytes stream = ReadBytes(dir_ / "answer.bin");
  if (c.code != kelo::print::kExitOk) {
    ExpectOneLine(run, c.says);
    // ESC A, ESC m 0, ESC m 5, ESC k 255, ESC v 2, and nothing after it.
    EXPECT_EQ(stream, Bytes({0x1B, 0x41, 0x1B, 0x6D, 0x00, 0x1B, 0x6D, 0x05, 0x1B, 0x6B, 0xFF,
                             0x1B, 0x76, 0x02}));
    return;
  }
  EXPECT_EQ(run.err, "");
  const Decoded decoded = DecodeStream(stream, 48, 1);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.planes[0].size(), 544u * static_cast<size_t>(c.pages));
}

constexpr int kNotReady = kelo::print::kExitNotReady;
const char* const kSaysNotReady = "is not ready: the printer is not ready (21)";
const char* const kSaysNoPaper = "is not ready: the printer is out of paper (28)";

INSTANTIATE_TEST_SUITE_P(
    DelaysAndPages, StartupStatusAnswer,
    ::testing::Values(
        StartupAnswer{"NotReadyAtOnce", "status=0x88", 1, kNotReady, kSaysNotReady},
        StartupAnswer{"NotReadyAfter50ms", "status=0x88,delay=50", 3, kNotReady, kSaysNotReady},
        StartupAnswer{"NotReadyAfter200ms", "status=0x88,delay=200", 1, kNotReady, kSaysNotReady},
        StartupAnswer{"NotReadyAfter200msThreePages", "status=0x88,delay=200", 3, kNotReady,
                      kSaysNotReady},
        StartupAnswer{"NoPaperAtOnce", "status=0x82", 3, kNotReady, kSaysNoPaper},
        StartupAnswer{"NoPaperAfter50ms", "status=0x82,delay=50", 1, kNotReady, kSaysNoPaper},
        StartupAnswer{"NoPaperAfter200ms", "status=0x82,delay=200", 1, kNotReady, kSaysNoPaper},
        StartupAnswer{"NoPaperAfter200msThreePages", "status=0x82,delay=200", 3, kNotReady,
                      kSaysNoPaper},
        StartupAnswer{"ReadyAfter200ms", "delay=200", 3, kelo::print::kExitOk, ""},
        StartupAnswer{"NeverAnswers", "silent", 1, kelo::print::kExitOk, ""},
        StartupAnswer{"NeverAnswersThreePages", "silent", 3, kelo::print::kExitOk, ""}),
    [](const ::testing::TestParamInfo<StartupAnswer>& param) {
      return std::string(param.param.name);
    });

TEST_F(KeloPrint, UsageMistakes) {
  const ToolRun none = Print({});
  EXPECT_EQ(none.exitCode, kelo::print::kExitUsage);
  ExpectOneLine(none, "no image given");
  const ToolRun option = Print({"--stretch", "a.png"});
  EXPECT_EQ(option.exitCode, kelo::print::kExitUsage);
  ExpectOneLine(option, "--stretch");
  const ToolRun registry = Print({"--registry", "missing.reg", "a.png"}, {}, false, false);
  EXPECT_EQ(registry.exitCode, kelo::print::kExitUsage);
  ExpectOneLine(registry, "missing.reg");
}

TEST_F(KeloPrint, HelpListsTheExitCodes) {
  const ToolRun run = Print({"--help"}, {}, false, false);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  for (const char* line : {"usage: kelo-print", "--paper", "--fit", "3  an image cannot be read",
                           "4  unknown paper", "5  the printer port cannot be opened",
                           "6  the printer is not ready", "7  the printer did not take the data"}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line;
  }
}

}  // namespace
