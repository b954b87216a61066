// Model detection from the IEEE 1284 device ID.

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "port/port_io.h"
#include "port/port_kind.h"
#include "port/printer_model.h"
#include "tests/port/port_double.h"

namespace {

using kelo::test::InstallPort;
using kelo::test::PortDouble;

class PrinterModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lpt = InstallPort(u"LPT1:", PortDouble::Type::kParallel);
    handle = CreateFileW(u"LPT1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  }
  void TearDown() override { CloseHandle(handle); }
  BYTE Detect(const std::string& id) {
    lpt->SetDeviceIdText(id);
    return DetectPrinterModel(handle, kPortParallel);
  }
  std::shared_ptr<PortDouble> lpt;
  HANDLE handle = INVALID_HANDLE_VALUE;
};

TEST_F(PrinterModelTest, DescriptionTable) {
  struct Case {
    const char* id;
    BYTE model;
  };
  const Case cases[] = {
      {"MFG:X;DESCRIPTION:USB Printer T4;", 1},
      {"MFG:X;DESCRIPTION:USB Printer V45;CMD:ESC;", 3},
      {"DESCRIPTION:USB Printer R27;", 2},
      {"MFG:X;DESCRIPTION:USB Printer T4 300DPI", 4},  // no ";": not the T4
      {"DESCRIPTION:USB Printer V45 300DPI;", 6},
      {"DESCRIPTION:USB Printer R27 300DPI;", 5},
      {"DESCRIPTION:USB Printer Generic;", 7},
      {"DESCRIPTION:USB Printer;", 1},  // a leading part of every name
      {"DESCRIPTION:;", 0},  // empty: names no printer
      {"MFG:X;DESCRIPTION:", 0},  // empty at the end of the text
      {"DESCRIPTION:usb printer t4;", 0},  // case counts
      {"DESCRIPTION:USB Printer T4X;", 0},
      {"MFG:X;MODEL:USB Printer T4;", 0},
      {"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(Detect(c.id), c.model);
  }
}

TEST_F(PrinterModelTest, LengthPrefixIsSkippedWhateverItsLowByte) {
  // 254 characters of text make 256 bytes with the prefix: 01 00. A reply
  // cut at 256 bytes whose low length byte is 0 must not read as empty.
  std::string filler(254 - std::string("DESCRIPTION:USB Printer V45;").size(), 'x');
  const std::string text = "DESCRIPTION:USB Printer V45;" + filler;
  ASSERT_EQ(text.size(), 254u);
  EXPECT_EQ(Detect(text), 3);

  // A 256-byte reply with prefix 00 00 (length 0 mod 256 read by the port).
  std::vector<BYTE> reply{0x00, 0x00};
  const std::string desc = "DESCRIPTION:USB Printer R27;";
  reply.insert(reply.end(), desc.begin(), desc.end());
  lpt->SetDeviceId(reply);
  EXPECT_EQ(DetectPrinterModel(handle, kPortParallel), 2);

  // A reply without a prefix reads from its first byte.
  lpt->SetDeviceId(std::vector<BYTE>(desc.begin(), desc.end()));
  EXPECT_EQ(DetectPrinterModel(handle, kPortParallel), 2);
}

TEST_F(PrinterModelTest, TextNeverRunsPastTheBytesReturned) {
  // 256 bytes of text without a NUL: the model must come from what is there.
  std::vector<BYTE> reply{0x01, 0x00};
  const std::string desc = "DESCRIPTION:USB Printer Generic";
  std::string body(254 - desc.size(), 'y');
  body += desc;
  reply.insert(reply.end(), body.begin(), body.end());
  ASSERT_EQ(reply.size(), 256u);
  lpt->SetDeviceId(reply);
  EXPECT_EQ(DetectPrinterModel(handle, kPortParallel), 7);

  // A reply of one byte, or none.
  lpt->SetDeviceId({0x00});
  EXPECT_EQ(DetectPrinterModel(handle, kPortParallel), 0);
  lpt->SetDeviceId({});
  EXPECT_EQ(DetectPrinterModel(handle, kPortParallel), 0);
}

TEST_F(PrinterModelTest, OnlyParallelPortsAreAsked) {
  lpt->SetDeviceIdText("DESCRIPTION:USB Printer T4;");
  EXPECT_EQ(DetectPrinterModel(handle, kPortSerial), 0);
  EXPECT_EQ(DetectPrinterModel(handle, kPortOther), 0);
  EXPECT_TRUE(lpt->IoctlCodes().empty());
  EXPECT_EQ(DetectPrinterModel(handle, kPortParallel), 1);
  EXPECT_EQ(lpt->IoctlCodes(), std::vector<DWORD>{kIoctlGetDeviceId});
}

TEST(CurrentPrinterModel, IsZeroUntilSetAndReadsTheServiceRecord) {
  EXPECT_EQ(GetCurrentPrinterModel(), 0);
  SetCurrentPrinterModel(kModelUsbV45_300Dpi);
  EXPECT_EQ(GetCurrentPrinterModel(), 6);
  EXPECT_TRUE(IsV45Model(GetCurrentPrinterModel()));
  EXPECT_FALSE(IsV45Model(kModelUsbGeneric));
}

}  // namespace
