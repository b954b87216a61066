// Port resolution and opening: name rules, serial settings, time-outs.

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "port/port_kind.h"
#include "port/port_open.h"
#include "tests/port/port_double.h"

namespace {

using kelo::test::InstallPort;
using kelo::test::PortDouble;

constexpr const char16_t* kServiceKey = u"Drivers\\BuiltIn\\KLP";

struct Opened {
  HANDLE handle;
  BYTE kind;
};

Opened Open(const char16_t* name) {
  BYTE kind = 0xEE;
  HANDLE h = OpenPrinterPort(name, &kind);
  return {h, kind};
}

TEST(PortOpen, NoNameAndNoDefaultOpensLpt1ReadWriteAsParallel) {
  auto lpt = InstallPort(u"LPT1:", PortDouble::Type::kParallel);
  const Opened o = Open(nullptr);
  ASSERT_NE(o.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(o.kind, kPortParallel);
  EXPECT_EQ(lpt->LastAccess(), GENERIC_READ | GENERIC_WRITE);
  ASSERT_TRUE(lpt->TimeoutsSet());
  const COMMTIMEOUTS t = lpt->Timeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, 10u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 20u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 500u);
  CloseHandle(o.handle);
}

TEST(PortOpen, DefaultPrintPortStringIsUsedAndNonStringIgnored) {
  auto com3 = InstallPort(u"COM3:", PortDouble::Type::kSerial);
  auto lpt = InstallPort(u"LPT1:", PortDouble::Type::kParallel);
  kelo::host::SetRegistryString(u"Printers\\Ports", u"DefaultPrintPort", u"COM3: 19200");
  Opened o = Open(nullptr);
  ASSERT_NE(o.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(o.kind, kPortSerial);
  EXPECT_EQ(com3->Dcb().BaudRate, 19200u);
  CloseHandle(o.handle);

  kelo::host::SetRegistryDword(u"Printers\\Ports", u"DefaultPrintPort", 3);
  o = Open(nullptr);
  ASSERT_NE(o.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(o.kind, kPortParallel);
  EXPECT_EQ(lpt->TotalOpens(), 1);
  CloseHandle(o.handle);
}

TEST(PortOpen, SerialNamesAreCutToTheDeviceNameAndCarryTheRate) {
  auto com1 = InstallPort(u"COM1:", PortDouble::Type::kSerial);
  auto com2 = InstallPort(u"com2:", PortDouble::Type::kSerial);
  struct Case {
    const char16_t* name;
    DWORD baud;
  };
  // The rate text starts at the seventh character: "COM1:9600" reads "600".
  const Case cases[] = {
      {u"COM1: 9600", 9600}, {u"COM1:9600", 600},     {u"COM1:", 115200},
      {u"COM1: 1234", 115200}, {u"COM12:", 115200},   {u"COM1:_921600", 921600},
      {u"COM1: 110", 110},   {u"COM1: 96000", 115200},
  };
  int opens = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(kelo::host::ToUtf8(c.name));
    const Opened o = Open(c.name);
    ASSERT_NE(o.handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(o.kind, kPortSerial);
    EXPECT_EQ(com1->TotalOpens(), ++opens);
    EXPECT_EQ(com1->Dcb().BaudRate, c.baud);
    CloseHandle(o.handle);
  }
  const Opened lower = Open(u"com2:");
  ASSERT_NE(lower.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(lower.kind, kPortSerial);
  EXPECT_EQ(com2->TotalOpens(), 1);
  EXPECT_EQ(com2->LastAccess(), GENERIC_READ | GENERIC_WRITE);
  CloseHandle(lower.handle);
}

TEST(PortOpen, OtherNamesOpenWriteOnlyAsParallelWithoutTimeouts) {
  auto usb = InstallPort(u"USB3:", PortDouble::Type::kParallel);
  const Opened o = Open(u"USB3:");
  ASSERT_NE(o.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(o.kind, kPortParallel);
  EXPECT_EQ(usb->LastAccess(), GENERIC_WRITE);
  EXPECT_FALSE(usb->TimeoutsSet());
  CloseHandle(o.handle);
}

TEST(PortOpen, FailureKeepsKindAndPlatformError) {
  BYTE kind = 0xEE;
  EXPECT_EQ(OpenPrinterPort(u"COM7:", &kind), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(kind, 0xEE);
  // Shorter than three characters: an "other" name, opened as given.
  EXPECT_EQ(OpenPrinterPort(u"C:", &kind), INVALID_HANDLE_VALUE);
  EXPECT_EQ(kind, 0xEE);

  SetLastError(1234);
  EXPECT_EQ(OpenPrinterPort(u"COM1:", nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST(PortOpen, RegistrySerialSettingsAndPrintTimeout) {
  auto com1 = InstallPort(u"COM1:", PortDouble::Type::kSerial);
  kelo::host::SetRegistryDword(kServiceKey, u"XonXoff", 0);
  kelo::host::SetRegistryDword(kServiceKey, u"StopBits", 0);
  kelo::host::SetRegistryDword(kServiceKey, u"Parity", 2);
  kelo::host::SetRegistryDword(kServiceKey, u"PrintTimeout", 1500);
  const Opened o = Open(u"COM1: 57600");
  ASSERT_NE(o.handle, INVALID_HANDLE_VALUE);
  const DCB dcb = com1->Dcb();
  EXPECT_EQ(dcb.BaudRate, 57600u);
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.fInX, 0u);
  EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.Parity, EVENPARITY);
  // Fields this code does not own keep what the port reported.
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
  EXPECT_EQ(com1->Timeouts().WriteTotalTimeoutConstant, 1500u);
  CloseHandle(o.handle);
}

TEST(PortOpen, SerialDefaultsAndOutOfRangeValues) {
  DCB dcb{};
  dcb.fOutxCtsFlow = 1;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.Parity = ODDPARITY;
  ApplySerialSettings(&dcb);  // no key: defaults
  EXPECT_EQ(dcb.fOutX, 1u);
  EXPECT_EQ(dcb.fInX, 1u);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  EXPECT_EQ(dcb.fOutxCtsFlow, 1u);  // left as reported
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);

  kelo::host::SetRegistryDword(kServiceKey, u"XonXoff", 7);
  kelo::host::SetRegistryDword(kServiceKey, u"StopBits", 1);
  kelo::host::SetRegistryDword(kServiceKey, u"Parity", 5);
  dcb.Parity = MARKPARITY;
  ApplySerialSettings(&dcb);
  EXPECT_EQ(dcb.fOutX, 1u);
  EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  kelo::host::SetRegistryDword(kServiceKey, u"StopBits", 9);
  kelo::host::SetRegistryDword(kServiceKey, u"Parity", 4);
  ApplySerialSettings(&dcb);
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  EXPECT_EQ(dcb.Parity, SPACEPARITY);
}

TEST(PortOpen, SerialPortWithoutControlBlockKeepsItsLineSettings) {
  auto com1 = InstallPort(u"COM1:", PortDouble::Type::kSerial);
  com1->FailCommState(true);
  const Opened o = Open(u"COM1: 2400");
  ASSERT_NE(o.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(o.kind, kPortSerial);
  EXPECT_EQ(com1->Dcb().BaudRate, 9600u);
  EXPECT_TRUE(com1->TimeoutsSet());
  CloseHandle(o.handle);
}

}  // namespace
