// Host\Ports targets "emulator:OPTIONS" reached through CreateFileW, and the
// platform's scheme hook underneath them.

#include "emulator/emulator_ports.h"
#include "platform/host/host_ports.h"
#include "tests/emulator/emulator_test_support.h"

namespace {

using namespace kelo::test;
using kelo::emulator::EmulatedPrinterFor;
using kelo::emulator::InstallEmulatorPorts;
using kelo::emulator::StreamDecoder;

constexpr DWORD kSentinel = 0xC0FFEE;

void Map(const char16_t* name, const std::string& target) {
  kelo::host::SetRegistryString(u"Host\\Ports", name, kelo::host::FromUtf8(target));
}

class EmulatorPortsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kelo::host::StartDebugCapture();
    InstallEmulatorPorts();
  }
  void TearDown() override { kelo::host::StopDebugCapture(); }
};

TEST_F(EmulatorPortsTest, MappedNameOpensAnEmulatedPrinterWithItsOptions) {
  Map(u"LPT2:", "emulator:model=USB Printer V45,status=0x88");
  const HANDLE port = OpenPort(u"lpt2:");
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  auto printer = EmulatedPrinterFor(u"LPT2:");
  ASSERT_NE(printer, nullptr);
  EXPECT_EQ(printer->config().status, 0x88);
  BYTE reply[256] = {};
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(port, 0x16000C, nullptr, 0, reply, sizeof reply, &returned, nullptr));
  const std::string text(reinterpret_cast<char*>(reply + 2), returned - 2);
  EXPECT_NE(text.find("DESCRIPTION:USB Printer V45;"), std::string::npos) << text;
  DCB dcb{};
  EXPECT_FALSE(GetCommState(port, &dcb));  // LPT: a parallel-class port by default
  CloseHandle(port);
  EXPECT_EQ(EmulatedPrinterFor(u"LPT3:"), nullptr);
}

TEST_F(EmulatorPortsTest, SerialNamesAreSerialLinesUnlessToldOtherwise) {
  Map(u"COM3:", "emulator:");
  Map(u"COM4:", "emulator:kind=parallel");
  const HANDLE com3 = OpenPort(u"COM3:");
  const HANDLE com4 = OpenPort(u"COM4:");
  ASSERT_NE(com3, INVALID_HANDLE_VALUE);
  ASSERT_NE(com4, INVALID_HANDLE_VALUE);
  DCB dcb{};
  EXPECT_TRUE(GetCommState(com3, &dcb));
  EXPECT_FALSE(GetCommState(com4, &dcb));
  CloseHandle(com3);
  CloseHandle(com4);
}

TEST_F(EmulatorPortsTest, PlanesComeFromTheJobUnlessTheOptionsSayOtherwise) {
  Map(u"LPT5:", "emulator:");
  Map(u"LPT6:", "emulator:planes=1");
  kelo::emulator::SetJobPlanes(4);
  const HANDLE told = OpenPort(u"LPT5:");
  const HANDLE fixed = OpenPort(u"LPT6:");
  kelo::emulator::SetJobPlanes(1);
  ASSERT_NE(told, INVALID_HANDLE_VALUE);
  ASSERT_NE(fixed, INVALID_HANDLE_VALUE);
  EXPECT_EQ(EmulatedPrinterFor(u"LPT5:")->config().planes, 4);
  EXPECT_EQ(EmulatedPrinterFor(u"LPT6:")->config().planes, 1);
  CloseHandle(told);
  CloseHandle(fixed);
}

TEST_F(EmulatorPortsTest, OneNameIsOnePrinterAcrossClosesAndReopens) {
  ScratchDir dir;
  const std::string capture = dir.File("c.bin");
  Map(u"LPT1:", "emulator:capture=" + capture);
  DWORD written = 0;
  HANDLE port = OpenPort(u"LPT1:");
  ASSERT_TRUE(WriteBytes(port, Hex("1B 6D 03 1B 67 02 00 AA"), &written));
  CloseHandle(port);
  auto printer = EmulatedPrinterFor(u"LPT1:");
  port = OpenPort(u"LPT1:");
  // The repeat row prints the seed the first open left.
  ASSERT_TRUE(WriteBytes(port, Hex("1B 67 00"), &written));
  CloseHandle(port);
  EXPECT_EQ(EmulatedPrinterFor(u"lpt1:"), printer);
  EXPECT_EQ(printer->TotalOpens(), 2);
  printer->Inspect([](const StreamDecoder& d) {
    ASSERT_EQ(d.PlaneRows(0).size(), 2u);
    EXPECT_EQ(d.PlaneRows(0)[1][0], 0xAA);
  });
  EXPECT_EQ(FileBytes(capture), Hex("1B 6D 03 1B 67 02 00 AA 1B 67 00"));
}

TEST_F(EmulatorPortsTest, ChangedOptionsMakeANewPrinter) {
  Map(u"LPT1:", "emulator:status=0x80");
  HANDLE port = OpenPort(u"LPT1:");
  CloseHandle(port);
  auto first = EmulatedPrinterFor(u"LPT1:");
  Map(u"LPT1:", "emulator:status=0x82");
  port = OpenPort(u"LPT1:");
  CloseHandle(port);
  auto second = EmulatedPrinterFor(u"LPT1:");
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(second->config().status, 0x82);
}

TEST_F(EmulatorPortsTest, BadOptionFailsTheOpenWith87AndOneLineNamingIt) {
  Map(u"LPT1:", "emulator:planes=4,colour=yes");
  kelo::host::TakeDebugLines();
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(OpenPort(u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  const auto lines = kelo::host::TakeDebugLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("LPT1:"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("\"colour\""), std::string::npos) << lines[0];
  EXPECT_EQ(EmulatedPrinterFor(u"LPT1:"), nullptr);
}

TEST_F(EmulatorPortsTest, CaptureDirectoriesAreMadeAsNeeded) {
  ScratchDir dir;
  Map(u"LPT1:", "emulator:capture=" + dir.File("out/job/c.bin") + ",preview=" +
                    dir.File("shown/p.png"));
  const HANDLE port = OpenPort(u"LPT1:");
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  DWORD written = 0;
  ASSERT_TRUE(WriteBytes(port, Hex("1B 6D 00 1B 67 01 FF"), &written));
  CloseHandle(port);
  EXPECT_EQ(FileBytes(dir.File("out/job/c.bin")), Hex("1B 6D 00 1B 67 01 FF"));
  EXPECT_FALSE(FileBytes(dir.File("shown/p.png")).empty())
      << testing::PrintToString(kelo::host::TakeDebugLines());
}

TEST_F(EmulatorPortsTest, CaptureThatCannotBeCreatedFailsTheOpen) {
  ScratchDir dir;
  WriteFileBytes(dir.File("plain"), Hex("00"));
  Map(u"LPT1:", "emulator:capture=" + dir.File("plain/c.bin"));  // under a file
  kelo::host::TakeDebugLines();
  EXPECT_EQ(OpenPort(u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  const auto lines = kelo::host::TakeDebugLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("capture"), std::string::npos) << lines[0];
}

TEST_F(EmulatorPortsTest, ColourPreviewNeedsNoSettingBeyondFourPlanes) {
  ScratchDir dir;
  const std::string preview = dir.File("colour.png");
  Map(u"LPT1:", "emulator:planes=4,width=8,preview=" + preview);
  const HANDLE port = OpenPort(u"LPT1:");
  DWORD written = 0;
  // One line: K empty, C dot 0, M dot 0, Y empty: blue at dot 0.
  ASSERT_TRUE(WriteBytes(port, Hex("1B 6D 00 1B 67 00 1B 67 01 80 1B 67 01 80 1B 67 00"), &written));
  CloseHandle(port);
  const DecodedPng png = ReadPng(FileBytes(preview));
  ASSERT_TRUE(png.ok) << png.message;
  EXPECT_TRUE(png.colour);
  ASSERT_EQ(png.width, 8u);
  ASSERT_EQ(png.height, 1u);
  EXPECT_EQ(std::vector<uint8_t>(png.pixels.begin(), png.pixels.begin() + 6),
            (std::vector<uint8_t>{0, 0, 255, 255, 255, 255}));
}

// ---- faults from the options ----

struct ChunkCase {
  const char16_t* port;
  const char* target;
  std::vector<DWORD> written;  // by successive writes of 8 bytes
};

TEST_F(EmulatorPortsTest, ChunksAndTakeNothingShortenSuccessiveWrites) {
  const ChunkCase cases[] = {
      {u"LPT1:", "emulator:chunks=3/0/2", {3, 0, 2, 8}},
      {u"COM1:", "emulator:takenothing", {0, 0}},
      {u"LPT2:", "emulator:chunks=1/8,takenothing", {1, 8, 0}},
  };
  const Bytes data = Hex("1B 40 1B 40 1B 40 1B 40");
  for (const ChunkCase& c : cases) {
    SCOPED_TRACE(c.target);
    Map(c.port, c.target);
    const HANDLE port = OpenPort(c.port);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetTimeouts(port, 0, 0, 0, 0, 10));
    Bytes expected;
    for (DWORD want : c.written) {
      DWORD written = 99;
      EXPECT_TRUE(WriteBytes(port, data, &written));
      EXPECT_EQ(written, want);
      expected.insert(expected.end(), data.begin(), data.begin() + want);
    }
    CloseHandle(port);
    auto printer = EmulatedPrinterFor(c.port);
    EXPECT_EQ(printer->ReceivedBytes(), expected);
    EXPECT_EQ(printer->WriteCalls(), static_cast<int>(c.written.size()));
  }
}

TEST_F(EmulatorPortsTest, FollowUpFailFailsOnlyThePortStatusRequest) {
  Map(u"LPT1:", "emulator:followupfail");
  Map(u"LPT2:", "emulator:");
  for (const char16_t* name : {u"LPT1:", u"LPT2:"}) {
    const bool fails = name[3] == u'1';
    SCOPED_TRACE(fails);
    const HANDLE port = OpenPort(name);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    BYTE reply[256] = {};
    DWORD returned = 0;
    SetLastError(kSentinel);
    EXPECT_EQ(DeviceIoControl(port, 0x160018, nullptr, 0, reply, 4, &returned, nullptr), !fails);
    EXPECT_EQ(GetLastError(), fails ? static_cast<DWORD>(ERROR_GEN_FAILURE) : kSentinel);
    EXPECT_TRUE(DeviceIoControl(port, 0x16000C, nullptr, 0, reply, sizeof reply, &returned, nullptr));
    CloseHandle(port);
  }
}

// Mapped by registry-file text, as a tool's --registry file would map it.
TEST_F(EmulatorPortsTest, VanishUnplugsThePrinterAsItsNthWriteReturns) {
  ASSERT_EQ(kelo::host::ApplyRegistryText("[HKEY_LOCAL_MACHINE\\Host\\Ports]\n"
                                          "\"LPT1:\"=\"emulator:vanish=2\"\n"
                                          "\"COM1:\"=\"emulator:vanish=2,chunks=0\"\n",
                                          "faults.reg"),
            0);
  for (const auto& [name, lost] : {std::pair{u"LPT1:", DWORD{ERROR_GRACEFUL_DISCONNECT}},
                                   std::pair{u"COM1:", DWORD{ERROR_SERIAL_NO_DEVICE}}}) {
    SCOPED_TRACE(lost);
    const HANDLE port = OpenPort(name);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteBytes(port, Hex("1B 40"), &written));  // a refused write counts too
    EXPECT_TRUE(WriteBytes(port, Hex("1B 40"), &written));
    EXPECT_EQ(written, 2u);
    EXPECT_FALSE(WriteBytes(port, Hex("1B 40"), &written));
    EXPECT_EQ(GetLastError(), lost);
    BYTE byte = 0;
    EXPECT_FALSE(ReadFile(port, &byte, 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), lost);
    CloseHandle(port);
    EXPECT_EQ(OpenPort(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(EmulatedPrinterFor(name)->WriteCalls(), 2);
  }
}

// ---- the platform's scheme hook ----

TEST_F(EmulatorPortsTest, SchemeWithoutAHandlerFailsInsteadOfMakingAFile) {
  ScratchDir dir;
  const auto before = std::filesystem::current_path();
  std::filesystem::current_path(dir.File(""));
  Map(u"LPT1:", "nosuch:thing");
  kelo::host::TakeDebugLines();
  EXPECT_EQ(OpenPort(u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(std::filesystem::exists("nosuch:thing"));
  std::filesystem::current_path(before);
  const auto lines = kelo::host::TakeDebugLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"nosuch\""), std::string::npos) << lines[0];
}

TEST_F(EmulatorPortsTest, SchemeFactoryGetsTheNameAndTheRestIgnoringCase) {
  std::u16string seenName, seenRest;
  auto device = std::make_shared<kelo::host::Device>();
  kelo::host::SetPortScheme(u"Probe", [&](std::u16string_view name, std::u16string_view rest) {
    seenName = name;
    seenRest = rest;
    return device;
  });
  Map(u"COM5:", "PROBE:a=1,b:2");
  const HANDLE port = OpenPort(u"COM5:");
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  CloseHandle(port);
  EXPECT_EQ(seenName, u"COM5:");
  EXPECT_EQ(seenRest, u"a=1,b:2");

  kelo::host::SetPortScheme(u"probe", nullptr);
  EXPECT_EQ(OpenPort(u"COM5:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(EmulatorPortsTest, PathsAreNoSchemes) {
  ScratchDir dir;
  // A target with a slash before any colon stays a host path.
  const std::string file = dir.File("port:1");
  Map(u"LPT1:", file);
  const HANDLE port = CreateFileW(u"LPT1:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteBytes(port, Hex("1B 40"), &written));
  CloseHandle(port);
  EXPECT_EQ(FileBytes(file), Hex("1B 40"));
}

}  // namespace
