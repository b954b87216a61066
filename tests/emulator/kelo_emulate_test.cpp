// The kelo-emulate tool as a user runs it: decoding captures into a report
// and a preview, its exit codes, and the pseudo-terminal printer reached as
// a serial line through Host\Ports. CTest names the binary in KELO_EMULATE.

#include <signal.h>

#include <algorithm>
#include <cstdlib>

#include "platform/host/host_ports.h"
#include "tests/emulator/emulator_test_support.h"
#include "tests/support/tool_process.h"

namespace {

using namespace kelo::test;

std::string ToolPath() {
  const char* path = std::getenv("KELO_EMULATE");
  return path == nullptr ? std::string() : std::string(path);
}

// kelo-emulate with its standard streams on pipes.
class Tool : public RunningTool {
 public:
  explicit Tool(const std::vector<std::string>& args) : RunningTool(ToolPath(), args) {}
};

ToolRun RunEmulate(const std::vector<std::string>& args) {
  Tool tool(args);
  EXPECT_TRUE(tool.started());
  tool.CloseStdin();
  return tool.Finish();
}

class KeloEmulate : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ToolPath().empty()) GTEST_SKIP() << "KELO_EMULATE names no tool binary";
  }
  ScratchDir dir;
};

// ---- decoding captures ----

TEST_F(KeloEmulate, DecodesACaptureIntoAReportAndAPreview) {
  const std::string capture = dir.File("job.bin");
  const std::string preview = dir.File("job.png");
  WriteFileBytes(capture, Hex("1B 41 1B 6D 00 1B 6D 05 1B 6B FF 1B 76 02 "
                              "1B 6D 00 1B 67 01 81 1B 6D 03 1B 67 02 01 18 1B 65 01 00 1B 76 03"));
  const ToolRun run = RunEmulate({"--paper", "48", "--preview", preview, capture});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(run.err.empty()) << run.err;
  EXPECT_NE(run.out.find("bytes: 36\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("geometry: 384 dots (48 bytes a row), 1 plane\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("rows: 2\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("ESC g x2"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("ESC m x4"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("ESC v x2"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("error"), std::string::npos) << run.out;

  const DecodedPng png = ReadPng(FileBytes(preview));
  ASSERT_TRUE(png.ok) << png.message;
  ASSERT_EQ(png.width, 384u);
  ASSERT_EQ(png.height, 2u);
  // Row 0: 81 = dots 0 and 7. Row 1: the delta 01 18 puts 18 at byte 1 of
  // that seed: dots 0, 7, 11, 12.
  auto dark = [&](uint32_t y, uint32_t x) { return png.pixels[y * png.width + x] == 0; };
  EXPECT_TRUE(dark(0, 0) && dark(0, 7) && !dark(0, 1) && !dark(0, 11));
  EXPECT_TRUE(dark(1, 0) && dark(1, 7) && dark(1, 11) && dark(1, 12) && !dark(1, 13));
}

TEST_F(KeloEmulate, FourPlanesGiveAColourPreview) {
  const std::string capture = dir.File("colour.bin");
  const std::string preview = dir.File("colour.png");
  WriteFileBytes(capture, Hex("1B 6D 00 1B 67 00 1B 67 01 80 1B 67 00 1B 67 00"));
  const ToolRun run = RunEmulate({"--width", "8", "--planes", "4", "--preview=" + preview, capture});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("rows: K 1, C 1, M 1, Y 1\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("(8 x 1, colour)"), std::string::npos) << run.out;
  const DecodedPng png = ReadPng(FileBytes(preview));
  ASSERT_TRUE(png.ok) << png.message;
  EXPECT_TRUE(png.colour);
  EXPECT_EQ(std::vector<uint8_t>(png.pixels.begin(), png.pixels.begin() + 3),
            (std::vector<uint8_t>{0, 255, 255}));  // cyan
}

TEST_F(KeloEmulate, MalformedStreamReportsTheOffsetAndExitsWithTheDecodeCode) {
  const std::string capture = dir.File("bad.bin");
  const std::string preview = dir.File("bad.png");
  WriteFileBytes(capture, Hex("1B 6D 00 1B 67 01 FF 07 1B 67 00"));
  const ToolRun run = RunEmulate({"--preview", preview, capture});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.out.find("error at byte 7: unknown command\n"), std::string::npos) << run.out;
  // What printed before the fault is still previewed.
  const DecodedPng png = ReadPng(FileBytes(preview));
  ASSERT_TRUE(png.ok) << png.message;
  EXPECT_EQ(png.height, 1u);
}

TEST_F(KeloEmulate, StreamWithoutRowsWritesNoPreview) {
  const std::string capture = dir.File("startup.bin");
  WriteFileBytes(capture, Hex("1B 41 1B 6B FF"));
  const ToolRun run = RunEmulate({"--preview", dir.File("none.png"), capture});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("preview: none (no dot rows)"), std::string::npos) << run.out;
  EXPECT_FALSE(std::filesystem::exists(dir.File("none.png")));
}

TEST_F(KeloEmulate, FileErrorsHaveTheirOwnCodeAndOneLine) {
  ToolRun run = RunEmulate({dir.File("absent.bin")});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.err, "kelo-emulate: cannot read " + dir.File("absent.bin") +
                         ": file not found (2)\n");

  const std::string capture = dir.File("one.bin");
  WriteFileBytes(capture, Hex("1B 6D 00 1B 67 00"));
  run = RunEmulate({"--preview", dir.File("missing/one.png"), capture});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_NE(run.err.find("cannot write"), std::string::npos) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
}

TEST_F(KeloEmulate, UsageErrorsHaveTheirOwnCodeAndOneLine) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"a.bin", "b.bin"},
      {"--width"},
      {"--width", "0", "a.bin"},
      {"--width", "640", "--paper", "80", "a.bin"},
      {"--paper", "58", "a.bin"},
      {"--planes", "2", "a.bin"},
      {"--status", "0x88", "a.bin"},  // for --pty only
      {"--frobnicate", "a.bin"},
      {"--pty", "a.bin"},
      {"--silent=1", "--pty"},
  };
  for (const auto& args : bad) {
    const ToolRun run = RunEmulate(args);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(run.exitCode, 2) << joined;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << joined << run.err;
    EXPECT_EQ(run.err.rfind("kelo-emulate: ", 0), 0u) << joined << run.err;
    EXPECT_TRUE(run.out.empty()) << joined;
  }
}

TEST_F(KeloEmulate, HelpPrintsUsage) {
  const ToolRun run = RunEmulate({"--help"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out.rfind("usage: kelo-emulate", 0), 0u) << run.out;
  EXPECT_NE(run.out.find("--pty"), std::string::npos);
}

// ---- the printer on a pseudo-terminal ----

TEST_F(KeloEmulate, PtyPrinterAnswersAStatusRequestOnASerialMapping) {
  const std::string capture = dir.File("pty.bin");
  const std::string preview = dir.File("pty.png");
  Tool tool({"--pty", "--status", "0x88", "--delay", "10", "--capture", capture, "--preview",
             preview});
  ASSERT_TRUE(tool.started());
  const std::string path = tool.ReadLine(5000);
  ASSERT_FALSE(path.empty());

  kelo::host::InstallHostPortMapper();
  kelo::host::SetRegistryString(u"Host\\Ports", u"COM9:", kelo::host::FromUtf8(path));
  const HANDLE port = CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  ASSERT_TRUE(SetTimeouts(port, 0, 0, 2000, 0, 1000));
  const Bytes stream = Hex("1B 40 1B 6D 00 1B 67 01 0A 1B 6B FF");  // 0A passes raw
  DWORD written = 0;
  ASSERT_TRUE(WriteBytes(port, stream, &written));
  ASSERT_EQ(written, stream.size());
  BYTE status = 0;
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(port, &status, 1, &got, nullptr));
  ASSERT_EQ(got, 1u);
  EXPECT_EQ(status, 0x88);
  CloseHandle(port);

  tool.CloseStdin();  // end of input ends the service
  const ToolRun run = tool.Finish();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("rows: 1\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("ESC k x1"), std::string::npos) << run.out;
  EXPECT_EQ(FileBytes(capture), stream);
  const DecodedPng png = ReadPng(FileBytes(preview));
  ASSERT_TRUE(png.ok) << png.message;
  EXPECT_EQ(png.height, 1u);
  EXPECT_EQ(png.pixels[4], 0);  // 0A: dots 4 and 6
  EXPECT_EQ(png.pixels[6], 0);
  EXPECT_EQ(png.pixels[5], 255);
}

TEST_F(KeloEmulate, PtyPrinterStopsOnSigterm) {
  Tool tool({"--pty", "--silent"});
  ASSERT_TRUE(tool.started());
  ASSERT_FALSE(tool.ReadLine(5000).empty());
  tool.Signal(SIGTERM);
  const ToolRun run = tool.Finish();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("rows: 0\n"), std::string::npos) << run.out;
}

TEST_F(KeloEmulate, PtyCaptureThatCannotBeCreatedIsAFileError) {
  const ToolRun run = RunEmulate({"--pty", "--capture", dir.File("missing/c.bin")});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_NE(run.err.find("cannot create"), std::string::npos) << run.err;
  EXPECT_TRUE(run.out.empty()) << run.out;
}

}  // namespace
