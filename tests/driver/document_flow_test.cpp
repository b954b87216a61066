// Device enable, documents and pages, driven by the engine stand-in and
// seen at a stand-in "KLP1:".

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "channel/channel.h"
#include "channel/output_buffer.h"
#include "driver/driver_state.h"
#include "driver/hooks.h"
#include "driver/print_context.h"
#include "emulator/stream_decoder.h"
#include "engine/engine.h"
#include "port/printer_model.h"
#include "tests/support/recording_device.h"

using kelo::engine::JobOptions;
using kelo::engine::RunJob;
using kelo::test::InstallRecordingService;
using Bytes = std::vector<BYTE>;

namespace {

const Bytes kEnd1 = {0x1B, 0x65, 0x01, 0x00};
const Bytes kEnd2 = {0x1B, 0x76, 0x03};

DEVMODEW Devmode(SHORT paper, SHORT orientation = DMORIENT_PORTRAIT) {
  DEVMODEW devmode = kelo::engine::DefaultDevmode(&DrvEnableDriver);
  devmode.dmPaperSize = paper;
  devmode.dmOrientation = orientation;
  return devmode;
}

// A custom paper of the given millimetres (tenths are not used here).
DEVMODEW CustomPaper(SHORT widthMm, SHORT lengthMm) {
  DEVMODEW devmode = Devmode(DMPAPER_USER);
  devmode.dmFields |= DM_PAPERWIDTH | DM_PAPERLENGTH;
  devmode.dmPaperWidth = widthMm;
  devmode.dmPaperLength = lengthMm;
  return devmode;
}

// A top-down source surface over `pixels` (3 bytes a pixel).
SURFOBJ Source(std::vector<uint8_t>& pixels, LONG width, LONG height) {
  SURFOBJ source = {};
  source.sizlBitmap = {width, height};
  source.pvBits = pixels.data();
  source.pvScan0 = pixels.data();
  source.lDelta = width * 3;
  return source;
}

void WhitePage(int, int, int, uint8_t*, size_t) {}

bool EndsWith(const Bytes& bytes, const Bytes& tail) {
  return bytes.size() >= tail.size() &&
         std::equal(tail.begin(), tail.end(), bytes.end() - static_cast<ptrdiff_t>(tail.size()));
}

// Only the driver's enable, with a page description the test can read.
struct Enabled {
  DEVMODEW devmode;  // as the driver left it
  DRVENABLEDATA table = kelo::engine::DefaultDriverTable();
  ENGCALLBACKS callbacks = kelo::engine::EngineCallbacks();
  GDIINFO info = {};
  DEVINFO devInfo = {};
  DHPDEV pdev = nullptr;

  explicit Enabled(const DEVMODEW& requested) : devmode(requested) {
    DrvEnableDriver(0, sizeof table, &table, &callbacks);
    std::u16string port = u"LPT1:";
    pdev = DrvEnablePDEV(&devmode, port.data(), 0, nullptr, sizeof info,
                         reinterpret_cast<ULONG*>(&info), sizeof devInfo, &devInfo, nullptr,
                         nullptr, nullptr);
  }
  ~Enabled() {
    if (pdev != nullptr) DrvDisablePDEV(pdev);
  }
};

}  // namespace

TEST(DeviceEnable, Paper80x113Portrait) {
  InstallRecordingService();
  Enabled e(Devmode(9));
  ASSERT_NE(e.pdev, nullptr);
  EXPECT_EQ(e.info.ulHorzSize, 80u);
  EXPECT_EQ(e.info.ulVertSize, 113u);
  EXPECT_EQ(e.info.ulHorzRes, 640u);
  EXPECT_EQ(e.info.ulVertRes, 904u);
  EXPECT_EQ(e.info.ulLogPixelsX, 203u);
  EXPECT_EQ(e.info.ulLogPixelsY, 203u);
  EXPECT_EQ(e.info.szlPhysSize.cx, 640);
  EXPECT_EQ(e.info.szlPhysSize.cy, 904);
  EXPECT_EQ(e.info.ulTechnology, DT_RASPRINTER);
  EXPECT_EQ(e.info.cBitsPixel, 24u);
  EXPECT_EQ(e.info.ulNumColors, 0x1000000u);
  EXPECT_EQ(e.info.flRaster & RC_PALETTE, 0u);
  EXPECT_EQ(g_surfaceWidth, 640u);
  EXPECT_EQ(g_pageRows, 904u);
  EXPECT_EQ(g_limitRows, 0);
}

TEST(DeviceEnable, Paper80x113LandscapeExchangesTheSides) {
  InstallRecordingService();
  Enabled e(Devmode(9, DMORIENT_LANDSCAPE));
  ASSERT_NE(e.pdev, nullptr);
  EXPECT_EQ(e.info.ulHorzRes, 904u);
  EXPECT_EQ(e.info.ulVertRes, 640u);
  EXPECT_EQ(e.info.ulHorzSize, 113u);
  EXPECT_EQ(e.info.ulVertSize, 80u);
  EXPECT_EQ(e.info.szlPhysSize.cx, 904);
  EXPECT_EQ(e.info.szlPhysSize.cy, 640);
  EXPECT_EQ(g_surfaceWidth, 904u);
  EXPECT_EQ(g_pageRows, 640u);
}

TEST(DeviceEnable, OtherPaperSizesAre48x68) {
  for (SHORT paper : {1, 13, 42}) {
    InstallRecordingService();
    Enabled e(Devmode(paper));
    ASSERT_NE(e.pdev, nullptr);
    EXPECT_EQ(e.info.ulHorzSize, 48u) << paper;
    EXPECT_EQ(e.info.ulVertSize, 68u) << paper;
    EXPECT_EQ(e.info.ulHorzRes, 384u) << paper;
    EXPECT_EQ(e.info.ulVertRes, 544u) << paper;
  }
}

TEST(DeviceEnable, CustomPaperWiderThanLongLimitsTheRows) {
  InstallRecordingService();
  DEVMODEW devmode = CustomPaper(80, 68);
  Enabled e(devmode);
  ASSERT_NE(e.pdev, nullptr);
  EXPECT_EQ(e.info.ulHorzRes, 640u);
  EXPECT_EQ(e.info.ulVertRes, 640u);  // the engine sees a square page
  EXPECT_EQ(g_pageRows, 544u);
  EXPECT_EQ(g_limitRows, 1);
}

TEST(DeviceEnable, DraftReports101DotsPerInchWithTheSameDots) {
  InstallRecordingService();
  DEVMODEW devmode = Devmode(9);
  devmode.dmPrintQuality = DMRES_DRAFT;
  Enabled e(devmode);
  ASSERT_NE(e.pdev, nullptr);
  EXPECT_EQ(e.info.ulLogPixelsX, 101u);
  EXPECT_EQ(e.info.ulLogPixelsY, 101u);
  EXPECT_EQ(e.info.ulHorzRes, 640u);
}

TEST(DeviceEnable, WritesTheDeviceNameAndVersionIntoTheDevmode) {
  InstallRecordingService();
  Enabled e(Devmode(9));
  ASSERT_NE(e.pdev, nullptr);
  EXPECT_EQ(std::u16string(e.devmode.dmDeviceName), u"Kelo Pell");
  EXPECT_EQ(e.devmode.dmDriverVersion, 0x202);
  EXPECT_NE(e.devInfo.hpalDefault, nullptr);
}

TEST(DeviceEnable, TooWideCustomPaperFailsWithInvalidParameter) {
  auto service = InstallRecordingService();
  const DEVMODEW devmode = CustomPaper(256, 100);  // 2048 dots: 256 bytes per row
  const int palettes = kelo::engine::LivePalettes();
  kelo::host::StartDebugCapture();
  Enabled e(devmode);
  EXPECT_EQ(e.pdev, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(kelo::host::TakeDebugLines().size(), 1u);
  EXPECT_EQ(kelo::engine::LivePalettes(), palettes);  // released again
  EXPECT_TRUE(service->Writes().empty());
}

TEST(DeviceEnable, CustomPaperWithASideOfZeroOrLessFailsWithInvalidParameter) {
  struct Case {
    SHORT widthMm, lengthMm;
    WORD orientation;
  };
  const Case cases[] = {{80, 0, DMORIENT_PORTRAIT},  {80, -1, DMORIENT_PORTRAIT},
                        {48, -32768, DMORIENT_PORTRAIT}, {0, 100, DMORIENT_PORTRAIT},
                        {-1, 100, DMORIENT_PORTRAIT}, {80, 0, DMORIENT_LANDSCAPE},
                        {80, -1, DMORIENT_LANDSCAPE}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.widthMm << " x " << c.lengthMm << " orientation "
                                    << c.orientation);
    auto service = InstallRecordingService();
    DEVMODEW devmode = CustomPaper(c.widthMm, c.lengthMm);
    devmode.dmOrientation = static_cast<SHORT>(c.orientation);
    const int palettes = kelo::engine::LivePalettes();
    SetLastError(0);
    Enabled e(devmode);
    EXPECT_EQ(e.pdev, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(kelo::engine::LivePalettes(), palettes);
    EXPECT_TRUE(service->Writes().empty());
  }
}

TEST(DeviceEnable, NoPaletteFailsBeforeTouchingAnything) {
  InstallRecordingService();
  kelo::engine::FailNextPalettes(1);
  Enabled e(Devmode(9));
  EXPECT_EQ(e.pdev, nullptr);
  EXPECT_EQ(e.info.ulHorzRes, 0u);  // the default enable was not called
}

// Engine buffers with a fenced tail, every byte set to `fill` first.
template <typename T>
struct Fenced {
  T value;
  BYTE tail[16];
  explicit Fenced(BYTE fill) { std::memset(static_cast<void*>(this), fill, sizeof *this); }
  const BYTE* Bytes() const { return reinterpret_cast<const BYTE*>(this); }
  bool All(BYTE fill, size_t from, size_t to) const {
    return std::all_of(Bytes() + from, Bytes() + to, [fill](BYTE b) { return b == fill; });
  }
};

TEST(DeviceEnable, ShortEngineBuffersAreRefusedUntouched) {
  struct Case {
    ULONG gdiInfoSize, devInfoSize;
    bool enables;
  };
  const Case cases[] = {{sizeof(GDIINFO) - 1, sizeof(DEVINFO), false},
                        {sizeof(GDIINFO), sizeof(DEVINFO) - 1, false},
                        {sizeof(GDIINFO), sizeof(DEVINFO), true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.gdiInfoSize << " / " << c.devInfoSize);
    auto service = InstallRecordingService();
    DRVENABLEDATA table = kelo::engine::DefaultDriverTable();
    ENGCALLBACKS callbacks = kelo::engine::EngineCallbacks();
    DrvEnableDriver(0, sizeof table, &table, &callbacks);
    DEVMODEW devmode = Devmode(9);
    const DEVMODEW requested = devmode;
    Fenced<GDIINFO> info(0xA5);
    Fenced<DEVINFO> devInfo(0x5A);
    std::u16string port = u"LPT1:";
    const int palettes = kelo::engine::LivePalettes();
    SetLastError(0);
    const DHPDEV pdev = DrvEnablePDEV(&devmode, port.data(), 0, nullptr, c.gdiInfoSize,
                                      reinterpret_cast<ULONG*>(&info.value), c.devInfoSize,
                                      &devInfo.value, nullptr, nullptr, nullptr);
    if (c.enables) {
      ASSERT_NE(pdev, nullptr);
      DrvDisablePDEV(pdev);
      DeleteObject(devInfo.value.hpalDefault);
      EXPECT_TRUE(info.All(0xA5, sizeof(GDIINFO), sizeof info));
      EXPECT_TRUE(devInfo.All(0x5A, sizeof(DEVINFO), sizeof devInfo));
      continue;
    }
    EXPECT_EQ(pdev, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(info.All(0xA5, 0, sizeof info));
    EXPECT_TRUE(devInfo.All(0x5A, 0, sizeof devInfo));
    EXPECT_EQ(std::memcmp(&devmode, &requested, sizeof devmode), 0);
    EXPECT_EQ(kelo::engine::LivePalettes(), palettes);
    EXPECT_TRUE(service->Calls().empty());
  }
}

// The engine reads the palette at the platform's offset and keeps its own
// default fonts in front of it.
TEST(DeviceEnable, ThePaletteLandsAtThePlatformOffsetBehindTheFonts) {
  InstallRecordingService();
  DRVENABLEDATA table = kelo::engine::DefaultDriverTable();
  ENGCALLBACKS callbacks = kelo::engine::EngineCallbacks();
  DrvEnableDriver(0, sizeof table, &table, &callbacks);
  DEVMODEW devmode = Devmode(9);
  GDIINFO info = {};
  Fenced<DEVINFO> devInfo(0x5A);
  std::u16string port = u"LPT1:";
  const int palettes = kelo::engine::LivePalettes();
  const DHPDEV pdev = DrvEnablePDEV(&devmode, port.data(), 0, nullptr, sizeof info,
                                    reinterpret_cast<ULONG*>(&info), sizeof(DEVINFO),
                                    &devInfo.value, nullptr, nullptr, nullptr);
  ASSERT_NE(pdev, nullptr);
  DrvDisablePDEV(pdev);
  EXPECT_TRUE(devInfo.All(0x5A, 4, 280));  // lfDefaultFont, lfAnsiVarFont, lfAnsiFixFont
  HPALETTE palette = nullptr;
  std::memcpy(&palette, devInfo.Bytes() + (sizeof(void*) == 4 ? 292 : 296), sizeof palette);
  EXPECT_EQ(kelo::engine::LivePalettes(), palettes + 1);
  EXPECT_TRUE(DeleteObject(palette));  // the palette the driver created, nothing else
  EXPECT_EQ(kelo::engine::LivePalettes(), palettes);
}

TEST(DeviceEnable, AFailedChannelOpenFailsTheEnable) {
  auto service = InstallRecordingService();
  service->FailCommand(KLP_OPEN, ERROR_FILE_NOT_FOUND);
  const int palettes = kelo::engine::LivePalettes();
  Enabled e(Devmode(9));
  EXPECT_EQ(e.pdev, nullptr);
  EXPECT_EQ(g_dhpdev, nullptr);
  EXPECT_EQ(kelo::engine::LivePalettes(), palettes);
}

TEST(DeviceEnable, DeletesTheClearTypeKeyWithItsSubkeys) {
  InstallRecordingService();
  kelo::host::SetRegistryDword(u"System\\GDI\\ClearType\\A\\B", u"x", 1);
  kelo::host::SetRegistryDword(u"System\\GDI\\ClearType\\C", u"y", 1);
  Enabled e(Devmode(9));
  ASSERT_NE(e.pdev, nullptr);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"System\\GDI\\ClearType", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"System\\GDI", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST(DeviceEnable, AMissingClearTypeKeyIsNoFailure) {
  InstallRecordingService();
  kelo::host::StartDebugCapture();
  kelo::host::TakeDebugLines();  // what earlier tests in this process left
  Enabled e(Devmode(9));
  EXPECT_NE(e.pdev, nullptr);
  EXPECT_TRUE(kelo::host::TakeDebugLines().empty());
}

TEST(DrvGetModes, SizesAndTheDefaultMode) {
  EXPECT_EQ(DrvGetModes(nullptr, 0, nullptr), 192u);
  DEVMODEW devmode;
  std::memset(&devmode, 0xAB, sizeof devmode);
  EXPECT_EQ(DrvGetModes(nullptr, 191, &devmode), 0u);
  EXPECT_EQ(DrvGetModes(nullptr, 193, &devmode), 0u);
  EXPECT_EQ(reinterpret_cast<BYTE*>(&devmode)[0], 0xAB);  // nothing written
  EXPECT_EQ(DrvGetModes(nullptr, 192, &devmode), 192u);
  EXPECT_EQ(std::u16string(devmode.dmDeviceName), u"Kelo Pell");
  EXPECT_EQ(devmode.dmSpecVersion, 0x400);
  EXPECT_EQ(devmode.dmSize, 192);
  EXPECT_EQ(devmode.dmOrientation, DMORIENT_PORTRAIT);
  EXPECT_EQ(devmode.dmPaperSize, 13);
  EXPECT_EQ(devmode.dmCopies, 1);
  EXPECT_EQ(devmode.dmPrintQuality, DMRES_HIGH);
  EXPECT_EQ(devmode.dmColor, DMCOLOR_MONOCHROME);
  EXPECT_EQ(devmode.dmBitsPerPel, 24u);
  EXPECT_EQ(devmode.dmFields, 0u);
  EXPECT_EQ(devmode.dmDriverVersion, 0);
  EXPECT_EQ(devmode.dmDriverExtra, 0);
}

TEST(DocumentFlow, OnePageDocumentCallOrder) {
  auto service = InstallRecordingService();
  SetCurrentPrinterModel(1);
  JobOptions options;
  options.devmode = Devmode(13);
  const auto result = RunJob(&DrvEnableDriver, options, 1, WhitePage);
  ASSERT_TRUE(result.ok) << result.failure;

  std::vector<DWORD> commands;
  for (const auto& call : service->Calls()) commands.push_back(call.code & 0xFFFF00);
  // open, RTS toggle, start-up block; status + begin job; status; the rows
  // with end command 1; end command 2; end job; two status checks; close.
  EXPECT_EQ(commands, (std::vector<DWORD>{KLP_OPEN, KLP_RTS_CONTROL, KLP_RTS_CONTROL, KLP_WRITE,
                                          KLP_CHECK_STATUS, KLP_BEGIN_JOB, KLP_CHECK_STATUS,
                                          KLP_WRITE, KLP_WRITE, KLP_END_JOB, KLP_CHECK_STATUS,
                                          KLP_CHECK_STATUS, KLP_CLOSE}));
  const auto writes = service->Writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_TRUE(EndsWith(writes[1], kEnd1));
  EXPECT_EQ(writes[2], kEnd2);
}

TEST(DocumentFlow, V45ModelsSendTheRowsAloneThenEndCommandTwo) {
  auto service = InstallRecordingService();
  SetCurrentPrinterModel(kModelUsbV45);
  JobOptions options;
  options.devmode = Devmode(13);
  ASSERT_TRUE(RunJob(&DrvEnableDriver, options, 1, WhitePage).ok);
  const auto writes = service->Writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_FALSE(EndsWith(writes[1], kEnd1));
  EXPECT_EQ(writes[2], kEnd2);
}

TEST(DocumentFlow, TwoPagesSendNothingBetweenThemButTheFlush) {
  auto service = InstallRecordingService();
  SetCurrentPrinterModel(1);
  JobOptions options;
  options.devmode = Devmode(13);
  ASSERT_TRUE(RunJob(&DrvEnableDriver, options, 2, WhitePage).ok);
  std::vector<DWORD> commands;
  for (const auto& call : service->Calls()) commands.push_back(call.code & 0xFFFF00);
  EXPECT_EQ(commands, (std::vector<DWORD>{KLP_OPEN, KLP_RTS_CONTROL, KLP_RTS_CONTROL, KLP_WRITE,
                                          KLP_CHECK_STATUS, KLP_BEGIN_JOB, KLP_CHECK_STATUS,
                                          KLP_WRITE, KLP_CHECK_STATUS, KLP_WRITE, KLP_WRITE,
                                          KLP_END_JOB, KLP_CHECK_STATUS, KLP_CHECK_STATUS,
                                          KLP_CLOSE}));
}

TEST(DocumentFlow, RefusedPageAfterAFailedStatusCheck) {
  auto service = InstallRecordingService();
  SetCurrentPrinterModel(1);
  // Document start passes, page start finds the printer out of paper.
  service->ScriptCommand(KLP_CHECK_STATUS, {0, ERROR_OUT_OF_PAPER});
  JobOptions options;
  options.devmode = Devmode(13);
  const auto result = RunJob(&DrvEnableDriver, options, 1, WhitePage);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(g_jobAborted, -1);
  for (const auto& write : service->Writes()) EXPECT_NE(write, kEnd2);
  EXPECT_TRUE(service->CallsOf(KLP_RTS_RESET).empty());
}

TEST(DocumentFlow, AFinalConditionAsksForAnRtsReset) {
  auto service = InstallRecordingService();
  SetCurrentPrinterModel(1);
  service->ScriptCommand(KLP_CHECK_STATUS, {0, 0, ERROR_OUT_OF_PAPER});
  JobOptions options;
  options.devmode = Devmode(13);
  EXPECT_FALSE(RunJob(&DrvEnableDriver, options, 1, WhitePage).ok);
  EXPECT_EQ(service->CallsOf(KLP_RTS_RESET).size(), 1u);
}

// A document whose data did not all reach the printer fails even when the
// printer then reports no condition: bytes stuck in the port (the end of
// the job says so), a flush that gave up, a start-up block the printer
// never took. After a flush gave up, the job's later flushes send nothing.
TEST(DocumentFlow, LostDataFailsTheDocumentWhateverTheStatus) {
  struct Case {
    const char* name;
    DWORD failingCommand;
    bool startupTaken;  // the start-up block at the channel's open went out
    int times;
    size_t writesAfter;  // write commands the job makes in all
  };
  const Case cases[] = {
      {"bytes stuck in the port", KLP_END_JOB, true, 1, 3},
      {"a flush gave up", KLP_WRITE, true, 11, 12},  // start-up block, 11 tries of the page
      {"the start-up block was refused", KLP_WRITE, false, 11, 11},  // no document begins
  };
  for (const Case& c : cases) {
    auto service = InstallRecordingService();
    SetCurrentPrinterModel(1);
    if (c.startupTaken && c.failingCommand == KLP_WRITE) service->ScriptCommand(KLP_WRITE, {0});
    service->FailCommand(c.failingCommand, ERROR_TIMEOUT, c.times);
    JobOptions options;
    options.devmode = Devmode(13);
    const auto result = RunJob(&DrvEnableDriver, options, 1, WhitePage);
    EXPECT_FALSE(result.ok) << c.name;
    EXPECT_EQ(result.lastError, static_cast<DWORD>(ERROR_TIMEOUT)) << c.name;
    EXPECT_EQ(service->CallsOf(KLP_WRITE).size(), c.writesAfter) << c.name;
  }
}

TEST(BandFeed, EmptyRectangleSendsNothing) {
  auto service = InstallRecordingService();
  Enabled e(Devmode(13));
  ASSERT_NE(e.pdev, nullptr);
  const size_t before = service->Calls().size();
  std::vector<uint8_t> pixels(384 * 3 * 400, 0);
  SURFOBJ source = Source(pixels, 384, 400);
  RECTL empty = {0, 2, 384, 2};
  ASSERT_TRUE(DrvStartPage(nullptr));
  const ULONG rows = g_rowsSent;
  EXPECT_TRUE(DrvCopyBits(nullptr, &source, nullptr, nullptr, &empty, nullptr));
  EXPECT_EQ(g_rowsSent, rows);
  EXPECT_EQ(g_printContext.channel.fillCount, 0);
  EXPECT_EQ(service->Calls().size(), before + 1);  // the page start's status check
}

TEST(BandFeed, RowLimitCutsTheSquarePageAtThePaper) {
  auto service = InstallRecordingService();
  DEVMODEW devmode = CustomPaper(80, 68);
  Enabled e(devmode);
  ASSERT_NE(e.pdev, nullptr);
  std::vector<uint8_t> pixels(640 * 3 * 640, 0xFF);
  SURFOBJ source = Source(pixels, 640, 640);
  RECTL all = {0, 0, 640, 640};
  for (int document = 0; document < 2; ++document) {
    ASSERT_TRUE(DrvStartDoc(nullptr, nullptr, 0));
    ASSERT_TRUE(DrvStartPage(nullptr));
    EXPECT_TRUE(DrvCopyBits(nullptr, &source, nullptr, nullptr, &all, nullptr));
    EXPECT_EQ(g_rowsSent, 544u);
    EXPECT_TRUE(DrvCopyBits(nullptr, &source, nullptr, nullptr, &all, nullptr));
    EXPECT_EQ(g_rowsSent, 544u);
    DrvEndDoc(nullptr, 0);
  }
}

TEST(BandFeed, ClipsARectangleBeyondTheSource) {
  InstallRecordingService();
  Enabled e(Devmode(13));
  ASSERT_NE(e.pdev, nullptr);
  // A 384 x 400 source and a rectangle of 500 rows: only 400 lines exist.
  std::vector<uint8_t> pixels(384 * 3 * 400, 0xFF);
  SURFOBJ source = Source(pixels, 384, 400);
  RECTL rect = {0, 0, 384, 500};
  ASSERT_TRUE(DrvStartPage(nullptr));
  EXPECT_TRUE(DrvCopyBits(nullptr, &source, nullptr, nullptr, &rect, nullptr));
  EXPECT_EQ(g_rowsSent, 400u);
}

TEST(BandFeed, PadsANarrowSourceWithWhite) {
  auto service = InstallRecordingService();
  kelo::host::SetRegistryDword(u"Drivers\\BuiltIn\\KLP", u"EnablePageFilter", 0);
  Enabled e(Devmode(13));
  ASSERT_NE(e.pdev, nullptr);
  // Black, but only 8 pixels wide: the rest of each 384-dot row is white.
  std::vector<uint8_t> pixels(8 * 3 * 16, 0x00);
  SURFOBJ source = Source(pixels, 8, 16);
  RECTL rect = {0, 0, 8, 16};
  ASSERT_TRUE(DrvStartPage(nullptr));
  ASSERT_TRUE(DrvCopyBits(nullptr, &source, nullptr, nullptr, &rect, nullptr));
  ASSERT_TRUE(Flush(g_printContext.channel));
  const Bytes all = service->WrittenBytes();
  kelo::emulator::StreamDecoder decoder(48, 1);
  ASSERT_TRUE(decoder.Feed(all.data(), all.size()));
  ASSERT_TRUE(decoder.Finish());
  const auto& rows = decoder.PlaneRows(0);
  ASSERT_EQ(rows.size(), 16u);
  for (const auto& row : rows) {
    EXPECT_EQ(row[0], 0xFF);
    for (size_t i = 1; i < row.size(); ++i) EXPECT_EQ(row[i], 0) << i;
  }
}

TEST(BandFeed, LandscapeFirstLineIsTheLeftColumnReadUpward) {
  auto service = InstallRecordingService();
  kelo::host::SetRegistryDword(u"Drivers\\BuiltIn\\KLP", u"EnablePageFilter", 0);
  Enabled e(Devmode(13, DMORIENT_LANDSCAPE));
  ASSERT_NE(e.pdev, nullptr);
  ASSERT_EQ(e.info.ulHorzRes, 544u);
  ASSERT_EQ(e.info.ulVertRes, 384u);
  // Bottom-up 544 x 384 white source; the left column is black in its
  // bottom 8 rows only.
  const size_t stride = 544 * 3;
  std::vector<uint8_t> pixels(stride * 384, 0xFF);
  for (int k = 0; k < 8; ++k) std::memset(pixels.data() + k * stride, 0, 3);  // bottom rows first
  SURFOBJ source = {};
  source.sizlBitmap = {544, 384};
  source.pvBits = pixels.data();
  source.pvScan0 = pixels.data() + 383 * stride;
  source.lDelta = -static_cast<LONG>(stride);
  RECTL rect = {0, 0, 544, 384};
  ASSERT_TRUE(DrvStartPage(nullptr));
  ASSERT_TRUE(DrvCopyBits(nullptr, &source, nullptr, nullptr, &rect, nullptr));
  EXPECT_EQ(g_rowsSent, 544u);
  ASSERT_TRUE(Flush(g_printContext.channel));
  const Bytes all = service->WrittenBytes();
  kelo::emulator::StreamDecoder decoder(48, 1);
  ASSERT_TRUE(decoder.Feed(all.data(), all.size()));
  const auto& rows = decoder.PlaneRows(0);
  ASSERT_EQ(rows.size(), 544u);
  // The first printed line starts with the 8 black pixels (read from the
  // bottom upward), the rest of it and every other line is white.
  EXPECT_EQ(rows[0][0], 0xFF);
  for (size_t i = 1; i < rows[0].size(); ++i) EXPECT_EQ(rows[0][i], 0) << i;
  for (size_t line = 1; line < rows.size(); ++line) {
    for (BYTE b : rows[line]) ASSERT_EQ(b, 0) << "line " << line;
  }
}
