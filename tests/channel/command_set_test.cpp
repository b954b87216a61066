// Start-up and end-of-document commands as the stand-in service sees them.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "channel/channel.h"
#include "channel/command_set.h"
#include "channel/output_buffer.h"
#include "port/printer_model.h"
#include "tests/support/recording_device.h"

using kelo::test::InstallRecordingService;
using kelo::test::RecordingServiceDevice;
using Bytes = std::vector<BYTE>;

namespace {

const Bytes kBlock(std::begin(kStartupBlock), std::end(kStartupBlock));

struct Fixture {
  std::shared_ptr<RecordingServiceDevice> service = InstallRecordingService();
  std::unique_ptr<PrinterChannel> channel = std::make_unique<PrinterChannel>();
};

}  // namespace

TEST(StartupSequence, V45ModelGetsEachWakeUpByteInItsOwnWrite) {
  Fixture f;
  SetCurrentPrinterModel(kModelUsbV45);
  ChannelSettings settings;
  settings.numWakeUpBytes = 4;
  ASSERT_NE(OpenForPrinting(*f.channel, settings, u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(f.service->Writes(), (std::vector<Bytes>{{0}, {0}, {0}, {0}, kBlock}));
}

TEST(StartupSequence, OtherModelsGetNoWakeUpBytes) {
  Fixture f;
  SetCurrentPrinterModel(1);
  ChannelSettings settings;
  settings.numWakeUpBytes = 4;
  ASSERT_NE(OpenForPrinting(*f.channel, settings, u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(f.service->Writes(), (std::vector<Bytes>{kBlock}));
}

TEST(StartupSequence, RtsDropsThenRisesTwentyMillisecondsLater) {
  Fixture f;
  ASSERT_NE(OpenForPrinting(*f.channel, ChannelSettings{}, u"LPT1:"), INVALID_HANDLE_VALUE);
  const auto calls = f.service->Calls();
  ASSERT_EQ(calls.size(), 4u);  // open, RTS drop, RTS rise, the start-up block
  EXPECT_EQ(calls[1].code & 0xFFFF00, KLP_RTS_CONTROL);
  EXPECT_EQ(calls[1].input, (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(calls[2].code & 0xFFFF00, KLP_RTS_CONTROL);
  EXPECT_EQ(calls[2].input, (Bytes{0, 0, 0, 0}));
  EXPECT_GE(calls[2].tick - calls[1].tick, 20u);
  EXPECT_EQ(calls[3].input, kBlock);
}

TEST(StartupSequence, RtsModeCommandOnlyWhenTheSettingIsOne) {
  for (DWORD setting : {1u, 2u}) {
    Fixture f;
    ChannelSettings settings;
    settings.enableResetStatusViaRts = setting;
    ASSERT_NE(OpenForPrinting(*f.channel, settings, u"LPT1:"), INVALID_HANDLE_VALUE);
    const std::vector<Bytes> expected =
        setting == 1 ? std::vector<Bytes>{{0x1B, 0x51, 0x0F, 0x0D}, kBlock}
                     : std::vector<Bytes>{kBlock};
    EXPECT_EQ(f.service->Writes(), expected) << "setting " << setting;
  }
}

TEST(StartupSequence, FailuresDoNotStopIt) {
  Fixture f;
  f.service->FailCommand(KLP_RTS_CONTROL, ERROR_NOT_SUPPORTED);
  ASSERT_NE(OpenForPrinting(*f.channel, ChannelSettings{}, u"LPT1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(f.service->Writes(), (std::vector<Bytes>{kBlock}));
}

TEST(EndCommands, OtherModelsSendTheLastRowsWithEndCommandOne) {
  Fixture f;
  SetCurrentPrinterModel(2);
  ASSERT_NE(OpenChannel(*f.channel, u"LPT1:"), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Write(*f.channel, "\x1B\x67\x01\x80", 4));
  EXPECT_TRUE(SendEndCommand1(*f.channel));
  SendEndCommand2(*f.channel);
  EXPECT_EQ(f.service->Writes(),
            (std::vector<Bytes>{{0x1B, 0x67, 0x01, 0x80, 0x1B, 0x65, 0x01, 0x00},
                                {0x1B, 0x76, 0x03}}));
}

TEST(EndCommands, V45ModelsSkipEndCommandOne) {
  Fixture f;
  SetCurrentPrinterModel(kModelUsbV45_300Dpi);
  ASSERT_NE(OpenChannel(*f.channel, u"LPT1:"), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Write(*f.channel, "\x1B\x67\x01\x80", 4));
  EXPECT_TRUE(SendEndCommand1(*f.channel));
  EXPECT_EQ(f.channel->fillCount, 4);  // nothing written or flushed
  ASSERT_TRUE(Flush(*f.channel));
  SendEndCommand2(*f.channel);
  EXPECT_EQ(f.service->Writes(),
            (std::vector<Bytes>{{0x1B, 0x67, 0x01, 0x80}, {0x1B, 0x76, 0x03}}));
}

TEST(EndCommands, EndCommandOneReportsAFailedFlush) {
  Fixture f;
  SetCurrentPrinterModel(1);
  ASSERT_NE(OpenChannel(*f.channel, u"LPT1:"), INVALID_HANDLE_VALUE);
  f.service->FailCommand(KLP_WRITE, ERROR_GEN_FAILURE);
  f.service->FailCommand(KLP_CHECK_STATUS, ERROR_OUT_OF_PAPER);
  EXPECT_FALSE(SendEndCommand1(*f.channel));
}
