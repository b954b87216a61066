// The emulated printer as the library sees it through the platform: writes
// and their faults, status answers, the device ID and follow-up, line
// settings, RTS pulses, read time-outs, capture and preview files.

#include <chrono>
#include <thread>

#include "emulator/emulated_printer.h"
#include "tests/emulator/emulator_test_support.h"

namespace {

using namespace kelo::test;
using kelo::emulator::EmulatedPrinter;
using kelo::emulator::PortType;
using kelo::emulator::PrinterConfig;
using kelo::emulator::StreamDecoder;

constexpr DWORD kSentinel = 0xC0FFEE;
const Bytes kStatusRequest = Hex("1B 6B FF");

class EmulatedPrinterTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (HANDLE h : handles_) CloseHandle(h);
    kelo::host::UnregisterDevice(u"COM1:");
    kelo::host::UnregisterDevice(u"LPT1:");
  }
  // Registers a printer of `type` as COM1: or LPT1: and opens it.
  std::shared_ptr<EmulatedPrinter> Install(PrinterConfig config,
                                           DWORD access = GENERIC_READ | GENERIC_WRITE) {
    const char16_t* name = config.type == PortType::kSerial ? u"COM1:" : u"LPT1:";
    auto printer = std::make_shared<EmulatedPrinter>(config);
    EXPECT_TRUE(kelo::host::RegisterDevice(name, printer));
    port = OpenPort(name, access);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    handles_.push_back(port);
    return printer;
  }
  static PrinterConfig Config(PortType type) {
    PrinterConfig config;
    config.type = type;
    return config;
  }
  // Reads up to `size` bytes; `elapsed` gets the call's duration in ms.
  Bytes ReadSome(DWORD size, DWORD* elapsed = nullptr) const {
    Bytes buffer(size, 0);
    DWORD got = 0;
    const DWORD start = GetTickCount();
    EXPECT_TRUE(ReadFile(port, buffer.data(), size, &got, nullptr));
    if (elapsed != nullptr) *elapsed = GetTickCount() - start;
    buffer.resize(got);
    return buffer;
  }

  HANDLE port = INVALID_HANDLE_VALUE;

 private:
  std::vector<HANDLE> handles_;
};

// ---- writes ----

TEST_F(EmulatedPrinterTest, AcceptedWritesAreRecordedStampedAndDecoded) {
  auto printer = Install(Config(PortType::kParallel));
  const Bytes first = Hex("1B 41 1B 6D 00");
  const Bytes second = Hex("1B 67 02 FF 0F");
  const DWORD before = GetTickCount();
  DWORD written = 0;
  ASSERT_TRUE(WriteBytes(port, first, &written));
  EXPECT_EQ(written, first.size());
  ASSERT_TRUE(WriteBytes(port, second, &written));
  const DWORD after = GetTickCount();

  const auto writes = printer->Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].bytes, first);
  EXPECT_EQ(writes[1].bytes, second);
  for (const auto& w : writes) {
    EXPECT_LE(w.tick - before, after - before);
  }
  EXPECT_EQ(printer->ReceivedBytes(), Concat({first, second}));
  printer->Inspect([](const StreamDecoder& d) {
    ASSERT_EQ(d.PlaneRows(0).size(), 1u);
    Bytes expected(80, 0);
    expected[0] = 0xFF;
    expected[1] = 0x0F;
    EXPECT_EQ(d.PlaneRows(0)[0], expected);
    EXPECT_FALSE(d.error().has_value());
  });
}

TEST_F(EmulatedPrinterTest, ChunkedWritesTakeAtMostEachChunkThenEverything) {
  auto printer = Install(Config(PortType::kSerial));
  printer->SetWriteChunks({4, 0, 6});
  const Bytes ten = Hex("00 00 00 00 00 00 00 00 00 00");
  DWORD written = 99;
  ASSERT_TRUE(WriteBytes(port, ten, &written));
  EXPECT_EQ(written, 4u);
  ASSERT_TRUE(WriteBytes(port, ten, &written));  // the 0 chunk: refused, no time-out set
  EXPECT_EQ(written, 0u);
  ASSERT_TRUE(WriteBytes(port, ten, &written));
  EXPECT_EQ(written, 6u);
  ASSERT_TRUE(WriteBytes(port, ten, &written));
  EXPECT_EQ(written, 10u);
  EXPECT_EQ(printer->WriteCalls(), 4);
  EXPECT_EQ(printer->ReceivedBytes().size(), 20u);
  printer->Inspect([](const StreamDecoder& d) { EXPECT_EQ(d.commandCounts().at("NUL"), 20u); });
}

TEST_F(EmulatedPrinterTest, RefusedWriteWaitsItsTimeoutAndWritesNothing) {
  auto printer = Install(Config(PortType::kSerial));
  printer->SetAcceptNothing(true);
  // 10 ms a byte for 5 bytes plus 100 ms.
  ASSERT_TRUE(SetTimeouts(port, 0, 0, 0, 10, 100));
  SetLastError(kSentinel);
  DWORD written = 99;
  const DWORD start = GetTickCount();
  ASSERT_TRUE(WriteBytes(port, Hex("1B 40 1B 40 00"), &written));
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_EQ(written, 0u);
  EXPECT_GE(elapsed, 140u);
  EXPECT_LT(elapsed, 1000u);
  EXPECT_EQ(GetLastError(), kSentinel);
  EXPECT_TRUE(printer->Writes().empty());

  printer->SetAcceptNothing(false);
  ASSERT_TRUE(WriteBytes(port, Hex("1B 40"), &written));
  EXPECT_EQ(written, 2u);
}

TEST_F(EmulatedPrinterTest, ZeroLengthWriteSucceedsAndNullDataFails) {
  auto printer = Install(Config(PortType::kParallel));
  DWORD written = 7;
  EXPECT_TRUE(WriteFile(port, nullptr, 0, &written, nullptr));
  EXPECT_EQ(written, 0u);
  EXPECT_FALSE(WriteFile(port, nullptr, 3, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(printer->WriteCalls(), 0);
}

TEST_F(EmulatedPrinterTest, HandlesKeepTheirAccess) {
  auto printer = Install(Config(PortType::kParallel), GENERIC_WRITE);
  BYTE byte = 0;
  DWORD got = 5;
  EXPECT_FALSE(ReadFile(port, &byte, 1, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(got, 0u);
  const HANDLE reader = OpenPort(u"LPT1:", GENERIC_READ);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_FALSE(WriteFile(reader, &byte, 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(reader);
}

// ---- vanishing ----

class VanishTest : public EmulatedPrinterTest,
                   public ::testing::WithParamInterface<std::pair<PortType, DWORD>> {};

TEST_P(VanishTest, EveryCallFailsWithTheLostPortErrorAndNewOpensFindNothing) {
  const auto [type, error] = GetParam();
  auto printer = Install(Config(type));
  printer->SetVanished(true);
  EXPECT_EQ(printer->LostError(), error);
  BYTE byte = 0x1B;
  DWORD count = 0;
  EXPECT_FALSE(WriteFile(port, &byte, 1, &count, nullptr));
  EXPECT_EQ(GetLastError(), error);
  EXPECT_FALSE(ReadFile(port, &byte, 1, &count, nullptr));
  EXPECT_EQ(GetLastError(), error);
  BYTE answer[4];
  EXPECT_FALSE(DeviceIoControl(port, 0x160018, nullptr, 0, answer, 4, &count, nullptr));
  EXPECT_EQ(GetLastError(), error);
  COMMTIMEOUTS t{};
  EXPECT_FALSE(GetCommTimeouts(port, &t));
  EXPECT_EQ(GetLastError(), error);
  const char16_t* name = type == PortType::kSerial ? u"COM1:" : u"LPT1:";
  EXPECT_EQ(OpenPort(name), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(printer->Writes().empty());

  printer->SetVanished(false);  // plugged in again
  EXPECT_TRUE(WriteFile(port, &byte, 1, &count, nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, VanishTest,
    ::testing::Values(std::make_pair(PortType::kSerial, DWORD{ERROR_SERIAL_NO_DEVICE}),
                      std::make_pair(PortType::kParallel, DWORD{ERROR_GRACEFUL_DISCONNECT})));

TEST_F(EmulatedPrinterTest, VanishingWakesABlockedRead) {
  auto printer = Install(Config(PortType::kSerial));  // no time-outs: a read waits for all
  std::thread unplug([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    printer->SetVanished(true);
  });
  BYTE buffer[4];
  DWORD got = 0;
  EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERIAL_NO_DEVICE));
  unplug.join();
}

// ---- device ID and follow-up ----

TEST_F(EmulatedPrinterTest, DeviceIdCarriesItsBigEndianLengthAndTheModel) {
  PrinterConfig config = Config(PortType::kParallel);
  config.model = "USB Printer V45 300DPI";
  auto printer = Install(config);
  BYTE reply[256];
  std::memset(reply, 0xFF, sizeof reply);
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(port, 0x16000C, nullptr, 0, reply, sizeof reply, &returned, nullptr));
  const std::string text = printer->DeviceIdText();
  ASSERT_EQ(returned, text.size() + 2);
  EXPECT_EQ(reply[0], 0);
  EXPECT_EQ(reply[1], text.size() + 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply + 2), text.size()), text);
  EXPECT_NE(text.find("DESCRIPTION:USB Printer V45 300DPI;"), std::string::npos);
  EXPECT_EQ(reply[returned], 0);  // terminated after the reply

  // A buffer too small gets the start of it.
  BYTE small[6];
  ASSERT_TRUE(DeviceIoControl(port, 0x16000C, nullptr, 0, small, sizeof small, &returned, nullptr));
  EXPECT_EQ(returned, 6u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(small + 2), 4), text.substr(0, 4));
}

TEST_F(EmulatedPrinterTest, LongDeviceIdUsesBothLengthBytes) {
  auto printer = Install(Config(PortType::kParallel));
  printer->SetDeviceIdText(std::string(300, 'x'));
  Bytes reply(400, 0);
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(port, 0x16000C, nullptr, 0, reply.data(), 400, &returned, nullptr));
  EXPECT_EQ(returned, 302u);
  EXPECT_EQ(reply[0], 0x01);
  EXPECT_EQ(reply[1], 0x2E);
}

TEST_F(EmulatedPrinterTest, DeviceIdRequestFailures) {
  auto printer = Install(Config(PortType::kParallel));
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(port, 0x16000C, nullptr, 0, nullptr, 16, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(DeviceIoControl(port, 0x16000C, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_FALSE(DeviceIoControl(port, 0x160000, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_F(EmulatedPrinterTest, SerialPortHasNoParallelClassRequests) {
  auto printer = Install(Config(PortType::kSerial));
  BYTE reply[256];
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(port, 0x16000C, nullptr, 0, reply, sizeof reply, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_FALSE(DeviceIoControl(port, 0x160018, nullptr, 0, reply, 4, &returned, nullptr));
}

TEST_F(EmulatedPrinterTest, FollowUpSucceedsUntilToldToFail) {
  auto printer = Install(Config(PortType::kParallel));
  BYTE answer[4];
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(port, 0x160018, nullptr, 0, answer, 4, &returned, nullptr));
  EXPECT_EQ(returned, 4u);
  EXPECT_FALSE(DeviceIoControl(port, 0x160018, nullptr, 0, answer, 2, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  printer->SetFollowUpFails(true);
  EXPECT_FALSE(DeviceIoControl(port, 0x160018, nullptr, 0, answer, 4, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

// ---- status answers ----

TEST_F(EmulatedPrinterTest, StatusRequestIsAnsweredAfterTheDelay) {
  PrinterConfig config = Config(PortType::kSerial);
  config.status = 0x88;
  config.replyDelayMs = 150;
  auto printer = Install(config);
  DWORD written = 0;
  const DWORD sent = GetTickCount();
  ASSERT_TRUE(WriteBytes(port, kStatusRequest, &written));
  ASSERT_TRUE(SetTimeouts(port, 0, 0, 50));
  EXPECT_TRUE(ReadSome(8).empty());  // not yet
  ASSERT_TRUE(SetTimeouts(port, MAXDWORD, 0, 1000));  // the first byte ends the read
  EXPECT_EQ(ReadSome(8), Hex("88"));
  EXPECT_GE(GetTickCount() - sent, 140u);
  EXPECT_EQ(printer->StatusAnswers(), 1);
}

TEST_F(EmulatedPrinterTest, OnlyEscK255AsksForStatus) {
  auto printer = Install(Config(PortType::kParallel));
  DWORD written = 0;
  // The start-up block asks once; ESC k 0 does not ask.
  ASSERT_TRUE(WriteBytes(port, Hex("1B 41 1B 6D 00 1B 6D 05 1B 6B FF 1B 76 02 1B 6B 00"), &written));
  ASSERT_TRUE(SetTimeouts(port, 0, 0, 50));
  EXPECT_EQ(ReadSome(8), Hex("80"));  // ready
  EXPECT_EQ(printer->StatusAnswers(), 1);
}

TEST_F(EmulatedPrinterTest, SilentPrinterAnswersNothing) {
  PrinterConfig config = Config(PortType::kSerial);
  config.silent = true;
  auto printer = Install(config);
  DWORD written = 0;
  ASSERT_TRUE(WriteBytes(port, kStatusRequest, &written));
  ASSERT_TRUE(SetTimeouts(port, 0, 0, 100));
  EXPECT_TRUE(ReadSome(1).empty());
  EXPECT_EQ(printer->StatusAnswers(), 0);
  printer->SetSilent(false);
  printer->SetStatus(0x82);
  ASSERT_TRUE(WriteBytes(port, kStatusRequest, &written));
  EXPECT_EQ(ReadSome(1), Hex("82"));
}

TEST_F(EmulatedPrinterTest, AnAnnouncingPrinterSendsItsStatusAtEveryOpen) {
  PrinterConfig config = Config(PortType::kParallel);
  config.status = 0x88;
  config.announce = true;
  auto printer = Install(config);  // opens `port` once
  HANDLE second = OpenPort(u"LPT1:", GENERIC_WRITE);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetTimeouts(port, 0, 0, 50));
  EXPECT_EQ(ReadSome(8), Hex("88 88")) << "nothing was asked";
  EXPECT_EQ(printer->StatusAnswers(), 2);
  EXPECT_TRUE(CloseHandle(second));
}

TEST_F(EmulatedPrinterTest, AnswersKeepTheirOrder) {
  auto printer = Install(Config(PortType::kSerial));
  printer->SetReplyDelay(80);
  DWORD written = 0;
  ASSERT_TRUE(WriteBytes(port, kStatusRequest, &written));
  printer->SetReplyDelay(0);
  printer->SetStatus(0x81);
  ASSERT_TRUE(WriteBytes(port, kStatusRequest, &written));
  printer->SendStatus(0x03);  // unsolicited: goes out at once
  ASSERT_TRUE(SetTimeouts(port, 0, 0, 500));
  EXPECT_EQ(ReadSome(3), Hex("03 80 81"));
}

TEST_F(EmulatedPrinterTest, EscAtClearsTheDecoderState) {
  auto printer = Install(Config(PortType::kParallel));
  DWORD written = 0;
  // Delta row sets the seed to AA at byte 0; after ESC @ a repeat row in
  // encoding 3 prints the cleared (white) seed.
  ASSERT_TRUE(WriteBytes(port, Hex("1B 6D 03 1B 67 02 00 AA 1B 40 1B 6D 03 1B 67 00"), &written));
  printer->Inspect([](const StreamDecoder& d) {
    ASSERT_EQ(d.PlaneRows(0).size(), 2u);
    EXPECT_EQ(d.PlaneRows(0)[0][0], 0xAA);
    EXPECT_EQ(d.PlaneRows(0)[1], Bytes(80, 0));
    EXPECT_EQ(d.commandCounts().at("ESC @"), 1u);
  });
  // Without an encoding after the reset a raster row is a fault.
  ASSERT_TRUE(WriteBytes(port, Hex("1B 40 1B 67 00"), &written));
  printer->Inspect([](const StreamDecoder& d) {
    ASSERT_TRUE(d.error().has_value());
    EXPECT_EQ(d.error()->offset, 18u);
  });
}

// ---- line settings ----

TEST_F(EmulatedPrinterTest, DcbRoundTripsWholeFromBothFillPatterns) {
  auto printer = Install(Config(PortType::kSerial));
  for (BYTE fill : {BYTE{0x00}, BYTE{0xFF}}) {
    DCB set;
    std::memset(&set, fill, sizeof set);
    set.DCBlength = sizeof(DCB);
    set.BaudRate = 38400;
    set.fRtsControl = RTS_CONTROL_HANDSHAKE;
    set.Parity = EVENPARITY;
    set.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(port, &set));
    DCB got;
    std::memset(&got, fill ^ 0xFF, sizeof got);
    ASSERT_TRUE(GetCommState(port, &got));
    EXPECT_EQ(std::memcmp(&got, &set, sizeof set), 0) << "fill " << int{fill};
  }
}

TEST_F(EmulatedPrinterTest, InitialDcbIsAnOrdinaryLineWithRtsActive) {
  auto printer = Install(Config(PortType::kSerial));
  DCB dcb;
  std::memset(&dcb, 0xFF, sizeof dcb);
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
  EXPECT_EQ(dcb.fOutX, 0u);
}

TEST_F(EmulatedPrinterTest, TimeoutsRoundTripOnBothKinds) {
  for (PortType type : {PortType::kSerial, PortType::kParallel}) {
    auto printer = Install(Config(type));
    COMMTIMEOUTS set{10, 0, 20, 0, 500};
    ASSERT_TRUE(SetCommTimeouts(port, &set));
    COMMTIMEOUTS got;
    std::memset(&got, 0xFF, sizeof got);
    ASSERT_TRUE(GetCommTimeouts(port, &got));
    EXPECT_EQ(std::memcmp(&got, &set, sizeof set), 0);
    EXPECT_EQ(printer->Timeouts().WriteTotalTimeoutConstant, 500u);
  }
}

TEST_F(EmulatedPrinterTest, ParallelClassPortHasNoSerialLine) {
  auto printer = Install(Config(PortType::kParallel));
  DCB dcb{};
  EXPECT_FALSE(GetCommState(port, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_FALSE(SetCommState(port, &dcb));
  EXPECT_FALSE(PurgeComm(port, PURGE_RXCLEAR));
  EXPECT_TRUE(printer->RtsChanges().empty());
}

// ---- RTS ----

class RtsTest : public EmulatedPrinterTest {
 protected:
  void SetRts(DWORD control) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.fRtsControl = control;
    ASSERT_TRUE(SetCommState(port, &dcb));
  }
};

TEST_F(RtsTest, LineChangesAreRecordedWithStamps) {
  auto printer = Install(Config(PortType::kSerial));
  const DWORD start = GetTickCount();
  SetRts(RTS_CONTROL_DISABLE);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  SetRts(RTS_CONTROL_ENABLE);
  SetRts(RTS_CONTROL_ENABLE);  // no change: not recorded
  const auto changes = printer->RtsChanges();
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].rtsControl, RTS_CONTROL_DISABLE);
  EXPECT_EQ(changes[1].rtsControl, RTS_CONTROL_ENABLE);
  EXPECT_LE(changes[0].tick - start, 20u);
  EXPECT_GE(changes[1].tick - changes[0].tick, 25u);
}

TEST_F(RtsTest, ShortDropIsAStatusPulse) {
  PrinterConfig config = Config(PortType::kSerial);
  config.status = 0x84;
  auto printer = Install(config);
  SetRts(RTS_CONTROL_DISABLE);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  SetRts(RTS_CONTROL_ENABLE);
  ASSERT_TRUE(SetTimeouts(port, 0, 0, 200));
  EXPECT_EQ(ReadSome(4), Hex("84"));
}

TEST_F(RtsTest, LongDropResetsThePrinterAndIsNotAnswered) {
  auto printer = Install(Config(PortType::kSerial));
  DWORD written = 0;
  ASSERT_TRUE(WriteBytes(port, Hex("1B 6D 03 1B 67 02 00 AA"), &written));
  SetRts(RTS_CONTROL_DISABLE);
  std::this_thread::sleep_for(std::chrono::milliseconds(kelo::emulator::kResetDropMs + 20));
  SetRts(RTS_CONTROL_ENABLE);
  ASSERT_TRUE(SetTimeouts(port, 0, 0, 100));
  EXPECT_TRUE(ReadSome(4).empty());
  printer->Inspect([](const StreamDecoder& d) {
    EXPECT_EQ(d.encoding(), StreamDecoder::kUnknownEncoding);
    EXPECT_EQ(d.PlaneRows(0).size(), 1u);  // what was printed stays printed
  });
}

TEST_F(RtsTest, HandshakeIsAnActiveLine) {
  auto printer = Install(Config(PortType::kSerial));
  SetRts(RTS_CONTROL_HANDSHAKE);
  ASSERT_TRUE(SetTimeouts(port, 0, 0, 50));
  EXPECT_TRUE(ReadSome(4).empty());
  EXPECT_EQ(printer->RtsChanges().size(), 1u);
}

// ---- reads and their time-outs ----

TEST_F(EmulatedPrinterTest, ImmediateReadReturnsWhatIsThere) {
  auto printer = Install(Config(PortType::kSerial));
  ASSERT_TRUE(SetTimeouts(port, MAXDWORD, 0, 0));
  DWORD elapsed = 0;
  EXPECT_TRUE(ReadSome(4, &elapsed).empty());
  EXPECT_LT(elapsed, 20u);
  printer->SendStatus(0x80);
  printer->SendStatus(0x88);
  EXPECT_EQ(ReadSome(4), Hex("80 88"));
}

TEST_F(EmulatedPrinterTest, TotalTimeoutEndsAQuietReadWithAShortCount) {
  auto printer = Install(Config(PortType::kParallel));
  ASSERT_TRUE(SetTimeouts(port, 0, 10, 60));  // 10 ms a byte for 4 bytes plus 60 ms
  DWORD elapsed = 0;
  EXPECT_TRUE(ReadSome(4, &elapsed).empty());
  EXPECT_GE(elapsed, 95u);
  EXPECT_LT(elapsed, 600u);
}

TEST_F(EmulatedPrinterTest, IntervalTimerRunsFromTheStartOfTheRead) {
  auto printer = Install(Config(PortType::kSerial));
  ASSERT_TRUE(SetTimeouts(port, 40, 0, 0));
  DWORD elapsed = 0;
  EXPECT_TRUE(ReadSome(4, &elapsed).empty());
  EXPECT_GE(elapsed, 35u);
  EXPECT_LT(elapsed, 500u);
  // Bytes there: the interval after them ends the read with what came.
  printer->SendStatus(0x80);
  EXPECT_EQ(ReadSome(4, &elapsed), Hex("80"));
  EXPECT_GE(elapsed, 35u);
}

TEST_F(EmulatedPrinterTest, ReadWithoutTimeoutsWaitsForTheFullCount) {
  auto printer = Install(Config(PortType::kSerial));
  std::thread answer([&] {
    for (BYTE b : {BYTE{0x80}, BYTE{0x81}, BYTE{0x82}}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      printer->SendStatus(b);
    }
  });
  EXPECT_EQ(ReadSome(3), Hex("80 81 82"));
  answer.join();
}

TEST_F(EmulatedPrinterTest, ClosingTheHandleWakesABlockedRead) {
  auto printer = Install(Config(PortType::kSerial));
  const HANDLE second = OpenPort(u"COM1:");
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  std::atomic<bool> failed{false};
  std::atomic<DWORD> error{0};
  std::thread reader([&] {
    BYTE buffer[2];
    DWORD got = 0;
    failed = !ReadFile(second, buffer, sizeof buffer, &got, nullptr);
    error = GetLastError();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(printer->OpenCount(), 2);
  CloseHandle(second);
  reader.join();
  EXPECT_TRUE(failed);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(printer->OpenCount(), 1);
}

TEST_F(EmulatedPrinterTest, PurgeDropsWhatWasSentButNotWhatIsComing) {
  auto printer = Install(Config(PortType::kSerial));
  printer->SendStatus(0x88);
  printer->SetReplyDelay(100);
  DWORD written = 0;
  ASSERT_TRUE(WriteBytes(port, kStatusRequest, &written));
  ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
  ASSERT_TRUE(PurgeComm(port, PURGE_TXCLEAR));
  EXPECT_EQ(printer->Purges(), (std::vector<DWORD>{PURGE_RXCLEAR, PURGE_TXCLEAR}));
  ASSERT_TRUE(SetTimeouts(port, MAXDWORD, 0, 500));
  EXPECT_EQ(ReadSome(4), Hex("80"));
}

// ---- capture and preview ----

TEST_F(EmulatedPrinterTest, CaptureHoldsEveryAcceptedByteAcrossOpens) {
  ScratchDir dir;
  auto printer = Install(Config(PortType::kParallel));
  const std::string capture = dir.File("stream.bin");
  ASSERT_TRUE(printer->SetCaptureFile(capture));
  printer->SetWriteChunks({3});
  DWORD written = 0;
  ASSERT_TRUE(WriteBytes(port, Hex("1B 41 1B 6D 00"), &written));  // 3 accepted
  const HANDLE again = OpenPort(u"LPT1:");
  ASSERT_TRUE(WriteBytes(again, Hex("1B 67 00"), &written));
  CloseHandle(again);
  EXPECT_EQ(FileBytes(capture), Hex("1B 41 1B 1B 67 00"));
}

TEST_F(EmulatedPrinterTest, CaptureThatCannotBeCreatedFails) {
  ScratchDir dir;
  auto printer = Install(Config(PortType::kParallel));
  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(printer->SetCaptureFile(dir.File("missing/stream.bin")));
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(EmulatedPrinterTest, PreviewIsWrittenWhenTheLastHandleCloses) {
  ScratchDir dir;
  PrinterConfig config = Config(PortType::kParallel);
  config.widthDots = 16;
  auto printer = std::make_shared<EmulatedPrinter>(config);
  ASSERT_TRUE(kelo::host::RegisterDevice(u"LPT1:", printer));
  const std::string preview = dir.File("page.png");
  printer->SetPreviewFile(preview);
  const HANDLE a = OpenPort(u"LPT1:");
  const HANDLE b = OpenPort(u"LPT1:");
  DWORD written = 0;
  ASSERT_TRUE(WriteBytes(a, Hex("1B 6D 00 1B 67 01 80"), &written));
  CloseHandle(a);
  EXPECT_FALSE(std::filesystem::exists(preview));
  CloseHandle(b);
  DecodedPng png = ReadPng(FileBytes(preview));
  ASSERT_TRUE(png.ok) << png.message;
  EXPECT_EQ(png.width, 16u);
  EXPECT_EQ(png.height, 1u);
  EXPECT_EQ(png.pixels[0], 0);
  EXPECT_EQ(png.pixels[1], 255);

  // Printing goes on after a reopen; the next close replaces the file.
  const HANDLE c = OpenPort(u"LPT1:");
  ASSERT_TRUE(WriteBytes(c, Hex("1B 67 00"), &written));
  CloseHandle(c);
  png = ReadPng(FileBytes(preview));
  ASSERT_TRUE(png.ok) << png.message;
  EXPECT_EQ(png.height, 2u);
}

TEST_F(EmulatedPrinterTest, PreviewOfNothingPrintedIsRefused) {
  ScratchDir dir;
  auto printer = Install(Config(PortType::kParallel));
  std::string error;
  EXPECT_FALSE(printer->WritePreview(dir.File("none.png"), &error));
  EXPECT_NE(error.find("no dot rows"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.File("none.png")));
}

TEST_F(EmulatedPrinterTest, PreviewToAnUnwritablePlaceGivesAReason) {
  ScratchDir dir;
  auto printer = Install(Config(PortType::kParallel));
  DWORD written = 0;
  ASSERT_TRUE(WriteBytes(port, Hex("1B 6D 00 1B 67 00"), &written));
  std::string error;
  EXPECT_FALSE(printer->WritePreview(dir.File("missing/page.png"), &error));
  EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
}

}  // namespace
