// The device service driving emulated printers that the registry maps onto
// port names: open with model detection, print data, status asked by the
// monitor and evaluated by KLP_CHECK_STATUS, lost ports, the preview at the
// final close.

#include <functional>
#include <memory>

#include "channel/channel.h"
#include "channel/command_set.h"
#include "emulator/emulator_ports.h"
#include "tests/emulator/emulator_test_support.h"
#include "tests/service/service_fixture.h"

namespace {

using namespace kelo::test;
using kelo::emulator::EmulatedPrinter;
using kelo::emulator::EmulatedPrinterFor;
using kelo::emulator::StreamDecoder;
using service::MonitorStop;
using service::MonitorWatch;

class EmulatedServiceTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    kelo::emulator::InstallEmulatorPorts();
  }
  void TearDown() override {
    ServiceTest::TearDown();
    if (dataEvent != nullptr) CloseHandle(dataEvent);
  }
  void Start() {
    Load();
    dataEvent = CreateEventW(nullptr, FALSE, FALSE, u"KELO_PRINTER_STATUS_DATA");
    ASSERT_NE(dataEvent, nullptr);
  }
  static void Map(const char16_t* name, const std::string& target) {
    kelo::host::SetRegistryString(u"Host\\Ports", name, kelo::host::FromUtf8(target));
  }
  static void AskForStatus(BYTE index, LPARAM how) {
    ASSERT_TRUE(ensureMonitor());
    ASSERT_TRUE(PostThreadMessageW(ServiceState.monitorThreadId.load(), MonitorWatch,
                                   index + (500u << 16), how));
  }

  HANDLE dataEvent = nullptr;
};

TEST_F(EmulatedServiceTest, PrintThenStatusAskedByTheMonitorThenClose) {
  ScratchDir dir;
  const std::string preview = dir.File("page.png");
  Map(u"LPT1:", "emulator:model=USB Printer V45,status=0x82,delay=30,preview=" + preview);
  Start();
  const BYTE index = Open(u"LPT1:", KLP_OPEN);
  ASSERT_NE(index, 0);
  EXPECT_EQ(ServiceState.lastOpenedModel.load(), 3);  // the V45 of the device ID
  auto printer = EmulatedPrinterFor(u"LPT1:");
  ASSERT_NE(printer, nullptr);

  const Bytes rows = Hex("1B 6D 00 1B 67 01 F0 1B 67 00");
  ASSERT_TRUE(Write(index, rows));
  EXPECT_EQ(printer->ReceivedBytes(), rows);
  EXPECT_TRUE(Control(KLP_CHECK_STATUS + index, nullptr));  // nothing heard yet

  AskForStatus(index, 1);
  ASSERT_EQ(WaitForSingleObject(dataEvent, 2000), WAIT_OBJECT_0);
  EXPECT_EQ(printer->ReceivedBytes(), Concat({rows, Hex("1B 6B FF")}));
  EXPECT_FALSE(Control(KLP_CHECK_STATUS + index, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OUT_OF_PAPER));

  EXPECT_TRUE(Close(index));
  // The monitor still holds the port; once it lets go the port closes for
  // good and the printer writes its preview.
  ASSERT_TRUE(PostThreadMessageW(ServiceState.monitorThreadId.load(), MonitorStop, 0, 0));
  ASSERT_TRUE(WaitUntil([&] { return printer->OpenCount() == 0; }, 2000));
  EXPECT_EQ(OpenPortCount(), 0u);
  const DecodedPng png = ReadPng(FileBytes(preview));
  ASSERT_TRUE(png.ok) << png.message;
  EXPECT_EQ(png.width, 640u);
  EXPECT_EQ(png.height, 2u);
  EXPECT_EQ(png.pixels[3], 0);  // dot 3 of F0
  EXPECT_EQ(png.pixels[4], 255);
}

TEST_F(EmulatedServiceTest, StatusByRtsPulseOnASerialLine) {
  Map(u"COM1:", "emulator:status=0x88");
  Start();
  const BYTE index = Open(u"COM1:", KLP_OPEN);
  ASSERT_NE(index, 0);
  EXPECT_EQ(ServiceState.lastOpenedModel.load(), 0);  // no device ID on a serial line
  auto printer = EmulatedPrinterFor(u"COM1:");
  ASSERT_NE(printer, nullptr);
  const size_t before = printer->RtsChanges().size();

  AskForStatus(index, 0x10001);
  ASSERT_EQ(WaitForSingleObject(dataEvent, 2000), WAIT_OBJECT_0);
  const auto rts = printer->RtsChanges();
  ASSERT_EQ(rts.size(), before + 2);
  EXPECT_EQ(rts[before].rtsControl, RTS_CONTROL_DISABLE);
  EXPECT_EQ(rts[before + 1].rtsControl, RTS_CONTROL_ENABLE);
  EXPECT_GE(rts[before + 1].tick - rts[before].tick, 15u);
  EXPECT_TRUE(printer->Writes().empty());  // asked by the line, not by a command
  EXPECT_FALSE(Control(KLP_CHECK_STATUS + index, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
  // The service configured the line as its settings say (defaults: XON/XOFF,
  // two stop bits, the time-outs of the port opener).
  const DCB dcb = printer->Dcb();
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.fOutX, 1u);
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  EXPECT_EQ(printer->Timeouts().ReadTotalTimeoutConstant, 20u);
  EXPECT_EQ(printer->Timeouts().WriteTotalTimeoutConstant, 500u);
}

TEST_F(EmulatedServiceTest, UnpluggedPrinterIsClosedByTheMonitor) {
  Map(u"LPT1:", "emulator:silent");
  Start();
  const BYTE index = Open(u"LPT1:", KLP_OPEN);
  ASSERT_NE(index, 0);
  auto printer = EmulatedPrinterFor(u"LPT1:");
  ASSERT_TRUE(WaitUntil([&] { return RefCount(index) == 2; }, 1000));  // monitor attached
  printer->SetVanished(true);
  ASSERT_TRUE(WaitUntil([] { return OpenPortCount() == 0; }, 2000));
  EXPECT_EQ(printer->OpenCount(), 0);
  EXPECT_FALSE(Write(index, Hex("1B 40")));
}

TEST_F(EmulatedServiceTest, PrinterThatTakesNothingFailsTheWrite) {
  Map(u"COM2:", "emulator:silent");
  kelo::host::SetRegistryDword(kServiceKey, u"PrintTimeout", 50);
  Start();
  const BYTE index = Open(u"COM2:");
  ASSERT_NE(index, 0);
  auto printer = EmulatedPrinterFor(u"COM2:");
  printer->SetAcceptNothing(true);
  EXPECT_FALSE(Write(index, Hex("1B 41")));
  EXPECT_TRUE(printer->Writes().empty());
  printer->SetAcceptNothing(false);
  printer->SetWriteChunks({1, 1});
  EXPECT_TRUE(Write(index, Hex("1B 41 1B 40")));  // short writes are carried on
  EXPECT_EQ(printer->ReceivedBytes(), Hex("1B 41 1B 40"));
  EXPECT_EQ(printer->Writes().size(), 3u);
}

// The driver's start-up block asks for status and waits for the answer. A
// status-data signal nobody took before must not pass for that answer, and
// is still there afterwards for the application it was meant for.
TEST_F(EmulatedServiceTest, StartupWaitsForItsOwnAnswerAndLeavesEarlierSignals) {
  Map(u"LPT1:", "emulator:status=0x82,delay=50");
  // The service as the channel reaches it: published as "KLP1:" by the
  // device manager, running in this process.
  kelo::host::RegisterModule(u"libkelo.so",
                             {{"KLP_Init", reinterpret_cast<void*>(&KLP_Init)},
                              {"KLP_Deinit", reinterpret_cast<void*>(&KLP_Deinit)},
                              {"KLP_Open", reinterpret_cast<void*>(&KLP_Open)},
                              {"KLP_Close", reinterpret_cast<void*>(&KLP_Close)},
                              {"KLP_IOControl", reinterpret_cast<void*>(&KLP_IOControl)}});
  const HANDLE active = ActivateDevice(kServiceKey, 0);
  ASSERT_NE(active, nullptr);
  dataEvent = CreateEventW(nullptr, FALSE, FALSE, u"KELO_PRINTER_STATUS_DATA");
  ASSERT_NE(dataEvent, nullptr);
  ASSERT_TRUE(SetEvent(dataEvent));

  auto channel = std::make_unique<PrinterChannel>();
  ASSERT_NE(OpenForPrinting(*channel, ChannelSettings{}, u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(CheckStatus(*channel));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OUT_OF_PAPER));
  EXPECT_EQ(WaitForSingleObject(dataEvent, 0), WAIT_OBJECT_0);
  CloseChannel(*channel);
  EXPECT_TRUE(DeactivateDevice(active));
}

}  // namespace
