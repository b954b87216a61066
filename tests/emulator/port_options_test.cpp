// The options of an "emulator:" port mapping: defaults, every key, and the
// message for each kind of bad option.

#include <gtest/gtest.h>

#include "emulator/port_options.h"

namespace {

using kelo::emulator::ParseNumber;
using kelo::emulator::ParsePortOptions;
using kelo::emulator::PortOptions;
using kelo::emulator::PortType;

TEST(PortOptions, EmptyTextGivesTheDefaultPrinterOfThePortsKind) {
  PortOptions serial;
  std::string error;
  ASSERT_TRUE(ParsePortOptions(u"com3:", "", &serial, &error)) << error;
  EXPECT_EQ(serial.printer.type, PortType::kSerial);
  EXPECT_EQ(serial.printer.widthDots, 640);
  EXPECT_EQ(serial.printer.rowBytes(), 80);
  EXPECT_EQ(serial.printer.planes, 1);
  EXPECT_EQ(serial.printer.model, "USB Printer T4");
  EXPECT_EQ(serial.printer.status, 0x80);
  EXPECT_EQ(serial.printer.replyDelayMs, 0u);
  EXPECT_FALSE(serial.printer.silent);
  EXPECT_FALSE(serial.printer.announce);
  EXPECT_TRUE(serial.capturePath.empty());
  EXPECT_TRUE(serial.previewPath.empty());

  for (const char16_t* name : {u"LPT1:", u"USB3:", u"CO:"}) {
    PortOptions other;
    ASSERT_TRUE(ParsePortOptions(name, " , ", &other, &error)) << error;
    EXPECT_EQ(other.printer.type, PortType::kParallel);
  }
}

TEST(PortOptions, EveryKeyTakesItsValue) {
  PortOptions o;
  std::string error;
  ASSERT_TRUE(ParsePortOptions(u"LPT1:",
                               " model = USB Printer V45 ,planes=4,width=385,status=0x8A,"
                               "delay=250,silent,announce,kind=serial,capture=out/c.bin,preview=p.png",
                               &o, &error))
      << error;
  EXPECT_EQ(o.printer.model, "USB Printer V45");
  EXPECT_EQ(o.printer.planes, 4);
  EXPECT_EQ(o.printer.widthDots, 385);
  EXPECT_EQ(o.printer.rowBytes(), 49);
  EXPECT_EQ(o.printer.status, 0x8A);
  EXPECT_EQ(o.printer.replyDelayMs, 250u);
  EXPECT_TRUE(o.printer.silent);
  EXPECT_TRUE(o.printer.announce);
  EXPECT_EQ(o.printer.type, PortType::kSerial);
  EXPECT_EQ(o.capturePath, "out/c.bin");
  EXPECT_EQ(o.previewPath, "p.png");

  ASSERT_TRUE(ParsePortOptions(u"COM1:", "rowbytes=48,status=136,kind=parallel", &o, &error));
  EXPECT_EQ(o.printer.widthDots, 384);
  EXPECT_EQ(o.printer.status, 136);
  EXPECT_EQ(o.printer.type, PortType::kParallel);
}

struct FaultCase {
  const char* options;
  std::vector<DWORD> chunks;
  bool takeNothing;
  bool followUpFails;
  int vanishAfterWrites;
};

TEST(PortOptions, FaultOptionsGiveTheirFaults) {
  const FaultCase cases[] = {
      {"", {}, false, false, 0},
      {"chunks=5", {5}, false, false, 0},
      {"chunks=3/0/0x10 / 4096", {3, 0, 16, 4096}, false, false, 0},
      {"chunks=0", {0}, false, false, 0},
      {"takenothing", {}, true, false, 0},
      {"followupfail", {}, false, true, 0},
      {"vanish=1", {}, false, false, 1},
      {"vanish=0x7FFFFFFF", {}, false, false, 0x7FFFFFFF},
      {"status=0x88, chunks=2/2 ,takenothing,followupfail,vanish=3", {2, 2}, true, true, 3},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.options);
    PortOptions o;
    std::string error;
    ASSERT_TRUE(ParsePortOptions(u"LPT1:", c.options, &o, &error)) << error;
    EXPECT_EQ(o.faults.writeChunks, c.chunks);
    EXPECT_EQ(o.faults.takeNothing, c.takeNothing);
    EXPECT_EQ(o.faults.followUpFails, c.followUpFails);
    EXPECT_EQ(o.faults.vanishAfterWrites, c.vanishAfterWrites);
  }
}

struct BadCase {
  const char* options;
  const char* mentions;  // the message must name this
};

class BadPortOptions : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadPortOptions, FailWithAMessageNamingTheOption) {
  PortOptions o;
  o.printer.model = "untouched";
  std::string error;
  EXPECT_FALSE(ParsePortOptions(u"LPT1:", GetParam().options, &o, &error));
  EXPECT_NE(error.find(GetParam().mentions), std::string::npos) << error;
  EXPECT_EQ(o.printer.model, "untouched");  // nothing half-applied
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadPortOptions,
    ::testing::Values(BadCase{"colour=1", "\"colour\""}, BadCase{"model=T4,Planes=4", "\"Planes\""},
                      BadCase{"planes=3", "\"planes\""}, BadCase{"planes", "\"planes\" needs"},
                      BadCase{"width=0", "\"width\""}, BadCase{"width=64O", "\"width\""},
                      BadCase{"width=16385", "\"width\""}, BadCase{"rowbytes=0", "\"rowbytes\""},
                      BadCase{"width=640,rowbytes=80", "exclude"},
                      BadCase{"status=0x100", "\"status\""}, BadCase{"status=", "\"status\""},
                      BadCase{"status=0x", "\"status\""}, BadCase{"delay=-1", "\"delay\""},
                      BadCase{"delay=60001", "\"delay\""}, BadCase{"kind=usb", "\"kind\""},
                      BadCase{"silent=1", "\"silent\""}, BadCase{"announce=yes", "\"announce\""}, BadCase{"model=", "\"model\""},
                      BadCase{"model=a;b", "\"model\""}, BadCase{"capture=", "\"capture\""},
                      BadCase{"preview=", "\"preview\""}, BadCase{"delay=5,delay=6", "twice"},
                      BadCase{"chunks", "\"chunks\" needs"}, BadCase{"chunks=", "\"chunks\""},
                      BadCase{"chunks=3//4", "\"chunks\""}, BadCase{"chunks=3/", "\"chunks\""},
                      BadCase{"chunks=3,4", "\"4\""}, BadCase{"chunks=-1", "\"chunks\""},
                      BadCase{"chunks=0x100000000", "\"chunks\""},
                      BadCase{"takenothing=1", "\"takenothing\""},
                      BadCase{"followupfail=yes", "\"followupfail\""},
                      BadCase{"vanish=0", "\"vanish\""}, BadCase{"vanish=2147483648", "\"vanish\""},
                      BadCase{"vanish=two", "\"vanish\""}, BadCase{"vanish", "\"vanish\" needs"}));

TEST(PortOptions, TooManyChunksAreRefused) {
  std::string many = "chunks=1";
  for (size_t i = 1; i < kelo::emulator::kMaxWriteChunks; ++i) many += "/1";
  PortOptions o;
  std::string error;
  ASSERT_TRUE(ParsePortOptions(u"LPT1:", many, &o, &error)) << error;
  EXPECT_EQ(o.faults.writeChunks.size(), kelo::emulator::kMaxWriteChunks);
  EXPECT_FALSE(ParsePortOptions(u"LPT1:", many + "/1", &o, &error));
  EXPECT_NE(error.find("\"chunks\""), std::string::npos) << error;
}

TEST(PortOptions, NumbersAreDecimalOrHexUpToTheirLimit) {
  EXPECT_EQ(ParseNumber("0", 10), 0u);
  EXPECT_EQ(ParseNumber("255", 255), 255u);
  EXPECT_EQ(ParseNumber("0xfF", 255), 255u);
  EXPECT_EQ(ParseNumber("0X10", 255), 16u);
  EXPECT_FALSE(ParseNumber("256", 255).has_value());
  EXPECT_FALSE(ParseNumber("99999999999999999999", 0xFFFFFFFF).has_value());
  EXPECT_FALSE(ParseNumber("", 10).has_value());
  EXPECT_FALSE(ParseNumber("1a", 255).has_value());
  EXPECT_FALSE(ParseNumber("+1", 255).has_value());
  EXPECT_FALSE(ParseNumber(" 1", 255).has_value());
}

}  // namespace
