// Serial lines against a pseudo-terminal pair: data both ways, the DCB read
// back, refused settings, RTS on a line without one, the time-out rules and
// use of one open from two threads.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "tests/host_ports/pty_pair.h"

namespace {

using kelo::test::PtyPair;
using Clock = std::chrono::steady_clock;

constexpr DWORD kSentinel = 0xC0DE;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class SerialLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok()) << "no pseudo-terminal available";
    port_ = pty_.OpenPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << "last error " << GetLastError();
  }
  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
  }

  void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier = 0,
                   DWORD writeConstant = 0) {
    COMMTIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
    ASSERT_TRUE(SetCommTimeouts(port_, &t));
  }

  DCB State() {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(port_, &dcb)) << GetLastError();
    return dcb;
  }

  std::vector<BYTE> ReadPort(DWORD size, BOOL* result = nullptr) {
    std::vector<BYTE> buffer(size);
    DWORD got = 0xFFFF;
    const BOOL ok = ReadFile(port_, buffer.data(), size, &got, nullptr);
    if (result != nullptr) *result = ok;
    EXPECT_LE(got, size);
    buffer.resize(std::min(got, size));
    return buffer;
  }

  PtyPair pty_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

std::vector<BYTE> AllByteValues() {
  std::vector<BYTE> bytes(256);
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<BYTE>(i);
  return bytes;
}

// ---- data ----

TEST_F(SerialLineTest, EveryByteValuePassesBothWaysUnchanged) {
  // CR, LF, ^C, XON, XOFF, DEL and 0x00 included: any cooked mode, echo or
  // software flow control left on would change or swallow some of them.
  const std::vector<BYTE> bytes = AllByteValues();
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(port_, bytes.data(), 256, &written, nullptr));
  EXPECT_EQ(written, 256u);
  EXPECT_EQ(pty_.Receive(256), bytes);

  SetTimeouts(50, 0, 2000);
  ASSERT_TRUE(pty_.Send(bytes));
  std::vector<BYTE> got;
  while (got.size() < 256) {
    BOOL ok = FALSE;
    const std::vector<BYTE> part = ReadPort(256 - static_cast<DWORD>(got.size()), &ok);
    ASSERT_TRUE(ok);
    if (part.empty()) break;
    got.insert(got.end(), part.begin(), part.end());
  }
  EXPECT_EQ(got, bytes);
  // Nothing came back on its own (no echo).
  EXPECT_TRUE(pty_.Receive(1, 50).empty());
}

TEST_F(SerialLineTest, ExclusiveOpenRefusesASecondOpenUntilClosed) {
  SetLastError(0);
  HANDLE second = pty_.OpenPort(u"COM2:");
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  ASSERT_TRUE(CloseHandle(port_));
  port_ = INVALID_HANDLE_VALUE;
  second = pty_.OpenPort(u"COM2:");
  ASSERT_NE(second, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_TRUE(CloseHandle(second));
}

TEST_F(SerialLineTest, ReadAfterTheOtherSideHungUpFails) {
  SetTimeouts(10, 0, 20);
  pty_.CloseMaster();
  BOOL ok = TRUE;
  SetLastError(0);
  const std::vector<BYTE> got = ReadPort(16, &ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(got.empty());
  EXPECT_NE(GetLastError(), 0u);
}

// The other end closing is what an unplugged adapter looks like: the tty
// is hung up. Every call must say the line is gone, at once, and not wait
// out a time-out (a minute here) or pass for a quiet line.
TEST_F(SerialLineTest, EveryCallOnALineWhoseOtherEndClosedFailsWithNoDevice) {
  SetTimeouts(0, 0, 60000, 0, 60000);
  const DCB before = State();
  pty_.CloseMaster();

  struct Call {
    const char* what;
    std::function<BOOL(HANDLE)> call;
  };
  const Call calls[] = {
      {"ReadFile",
       [](HANDLE h) {
         BYTE buffer[16];
         DWORD got = 0xFFFF;
         const BOOL ok = ReadFile(h, buffer, sizeof buffer, &got, nullptr);
         EXPECT_EQ(got, 0u);
         return ok;
       }},
      {"WriteFile",
       [](HANDLE h) {
         const BYTE data[] = {0x1B, 0x6B, 0xFF};
         DWORD put = 0xFFFF;
         return WriteFile(h, data, sizeof data, &put, nullptr);
       }},
      {"GetCommState",
       [](HANDLE h) {
         DCB dcb{};
         dcb.DCBlength = sizeof dcb;
         return GetCommState(h, &dcb);
       }},
      {"SetCommState",
       [&before](HANDLE h) {
         DCB dcb = before;
         return SetCommState(h, &dcb);
       }},
      {"PurgeComm", [](HANDLE h) { return PurgeComm(h, PURGE_RXCLEAR); }},
      {"ClearCommError",
       [](HANDLE h) {
         COMSTAT stat{};
         return ClearCommError(h, nullptr, &stat);
       }},
      {"FlushFileBuffers", [](HANDLE h) { return FlushFileBuffers(h); }},
  };
  for (const Call& c : calls) {
    SCOPED_TRACE(c.what);
    // The last error is the calling thread's: taken where the call ran.
    auto result = std::async(std::launch::async, [&] {
      SetLastError(0);
      const BOOL ok = c.call(port_);
      return std::make_pair(ok, GetLastError());
    });
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      CloseHandle(port_);  // wakes the call so the test can fail instead of hang
      port_ = INVALID_HANDLE_VALUE;
      result.wait();
      FAIL() << "the call waited on a line that is gone";
    }
    const auto [ok, error] = result.get();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERIAL_NO_DEVICE));
  }
}

// ---- line settings ----

struct LineCase {
  const char* what;
  DWORD baud;
  BYTE stopBits;
  bool xonXoff;
  bool ctsFlow;
  DWORD rts;
};

TEST_F(SerialLineTest, DcbReadsBackWhatWasSet) {
  // Handshake rows come last: leaving handshake drives RTS, which a
  // pseudo-terminal does not have.
  const LineCase cases[] = {
      {"library default: XON/XOFF, two stop bits", 115200, TWOSTOPBITS, true, false,
       RTS_CONTROL_ENABLE},
      {"CTS flow without RTS handshake", 57600, ONESTOPBIT, false, true, RTS_CONTROL_ENABLE},
      {"one and a half stop bits", 110, ONE5STOPBITS, true, false, RTS_CONTROL_ENABLE},
      {"fastest rate of the name table", 921600, TWOSTOPBITS, true, false, RTS_CONTROL_ENABLE},
      {"no flow control", 4800, ONESTOPBIT, false, false, RTS_CONTROL_ENABLE},
      {"hardware handshake, one stop bit", 9600, ONESTOPBIT, false, true, RTS_CONTROL_HANDSHAKE},
      {"RTS handshake without CTS flow", 19200, TWOSTOPBITS, false, false,
       RTS_CONTROL_HANDSHAKE},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.what);
    DCB dcb = State();
    dcb.BaudRate = c.baud;
    dcb.StopBits = c.stopBits;
    dcb.fOutX = c.xonXoff;
    dcb.fInX = c.xonXoff;
    dcb.fOutxCtsFlow = c.ctsFlow;
    dcb.fRtsControl = c.rts;
    dcb.Parity = NOPARITY;
    dcb.XonLim = 1234;  // kept although no termios field holds it
    SetLastError(kSentinel);
    ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();
    EXPECT_EQ(GetLastError(), kSentinel) << "success must leave the last error alone";

    for (const int fill : {0x00, 0xFF}) {
      SCOPED_TRACE(fill);
      DCB back;
      std::memset(&back, fill, sizeof back);
      back.DCBlength = sizeof back;
      ASSERT_TRUE(GetCommState(port_, &back));
      EXPECT_EQ(back.DCBlength, sizeof(DCB));
      EXPECT_EQ(back.BaudRate, c.baud);
      EXPECT_EQ(back.StopBits, c.stopBits);
      EXPECT_EQ(back.fOutX, c.xonXoff ? 1u : 0u);
      EXPECT_EQ(back.fInX, c.xonXoff ? 1u : 0u);
      EXPECT_EQ(back.fOutxCtsFlow, c.ctsFlow ? 1u : 0u);
      EXPECT_EQ(back.fRtsControl, c.rts);
      EXPECT_EQ(back.Parity, NOPARITY);
      EXPECT_EQ(back.ByteSize, 8);
      EXPECT_EQ(back.XonLim, 1234);
      EXPECT_EQ(back.XonChar, 0x11);
      EXPECT_EQ(back.XoffChar, 0x13);
    }
  }
}

// Every rate a port name can ask for, those termios has no name for
// included; the rest of the block goes in with it (two stop bits, both
// flow controls), in one step. Each rate differs from the one before by
// more than a driver's rounding, so a rate the line did not take reads
// back as the old one.
TEST_F(SerialLineTest, EveryRateOfThePortNamesIsSetWithTheWholeBlock) {
  const DWORD rates[] = {110,   300,    600,    1200,   2400,   4800,   9600,   14400,  19200,
                         38400, 56000,  57600,  115200, 460800, 921600, 128000, 256000};
  for (const DWORD rate : rates) {
    SCOPED_TRACE(rate);
    DCB dcb = State();
    dcb.BaudRate = rate;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.fOutxCtsFlow = 1;
    ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();
    const DCB back = State();
    EXPECT_EQ(back.BaudRate, rate);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fInX, 1u);
    EXPECT_EQ(back.fOutxCtsFlow, 1u);
  }
  // The last rate is the line's own, not only what this open remembers:
  // a new open starts from the rate it finds on the line.
  ASSERT_TRUE(CloseHandle(port_));
  port_ = pty_.OpenPort();
  ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_EQ(State().BaudRate, 256000u);
}

TEST_F(SerialLineTest, FirstStateIsRaw8N1WithoutFlowControl) {
  for (const int fill : {0x00, 0xFF}) {
    DCB dcb;
    std::memset(&dcb, fill, sizeof dcb);
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_NE(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_NE(dcb.BaudRate, 0u);
  }
}

TEST_F(SerialLineTest, RefusedSettingFailsAndLeavesTheLineAsItWas) {
  // A rate set by number, with a stop bit and flow control that differ
  // from the first state: a rollback has all of them to restore.
  DCB good = State();
  good.BaudRate = 56000;
  good.StopBits = TWOSTOPBITS;
  good.fOutxCtsFlow = 1;
  good.fOutX = 1;
  good.fInX = 1;
  ASSERT_TRUE(SetCommState(port_, &good));
  const DCB before = State();

  struct Refused {
    const char* what;
    void (*change)(DCB&);
  };
  const Refused cases[] = {
      {"rate no port name asks for", [](DCB& d) { d.BaudRate = 250000; }},
      {"zero baud rate", [](DCB& d) { d.BaudRate = 0; }},
      {"nine data bits", [](DCB& d) { d.ByteSize = 9; }},
      {"four data bits", [](DCB& d) { d.ByteSize = 4; }},
      {"parity code past space", [](DCB& d) { d.Parity = 5; }},
      {"stop-bit code past two", [](DCB& d) { d.StopBits = 3; }},
      {"RTS toggle", [](DCB& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; }},
      {"DSR output flow", [](DCB& d) { d.fOutxDsrFlow = 1; }},
      {"DTR handshake", [](DCB& d) { d.fDtrControl = 2; }},
      {"XON equal to XOFF", [](DCB& d) { d.XoffChar = d.XonChar; }},
      // A pseudo-terminal forces 8 bits without parity: the driver not
      // taking a setting must fail as well, not read back as something else.
      {"parity the line cannot do", [](DCB& d) { d.Parity = EVENPARITY; }},
      {"7 bits the line cannot do", [](DCB& d) { d.ByteSize = 7; }},
  };
  for (const Refused& c : cases) {
    SCOPED_TRACE(c.what);
    DCB dcb = before;
    dcb.BaudRate = 1200;  // would show if the refused DCB were half applied
    c.change(dcb);
    SetLastError(0);
    EXPECT_FALSE(SetCommState(port_, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const DCB after = State();
    EXPECT_EQ(std::memcmp(&after, &before, sizeof before), 0);
  }
}

TEST_F(SerialLineTest, RtsChangeOnALineWithoutRtsFailsCleanly) {
  // The library's SetRtsLine: read the block, change fRtsControl only.
  const DCB before = State();
  ASSERT_EQ(before.fRtsControl, RTS_CONTROL_ENABLE);
  DCB off = before;
  off.fRtsControl = RTS_CONTROL_DISABLE;
  off.BaudRate = 2400;
  SetLastError(0);
  EXPECT_FALSE(SetCommState(port_, &off));
  EXPECT_NE(GetLastError(), 0u);
  const DCB after = State();
  EXPECT_EQ(after.fRtsControl, RTS_CONTROL_ENABLE);
  EXPECT_EQ(after.BaudRate, before.BaudRate) << "the line settings were rolled back";

  // Leaving handshake for a driven RTS is a change of the line too.
  DCB handshake = before;
  handshake.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_TRUE(SetCommState(port_, &handshake));
  DCB on = State();
  on.fRtsControl = RTS_CONTROL_ENABLE;
  EXPECT_FALSE(SetCommState(port_, &on));
  EXPECT_EQ(State().fRtsControl, RTS_CONTROL_HANDSHAKE);

  // The port still moves data after the refusals.
  const BYTE byte = 0x5A;
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(port_, &byte, 1, &written, nullptr));
  EXPECT_EQ(pty_.Receive(1), std::vector<BYTE>{0x5A});
}

TEST_F(SerialLineTest, PurgeDiscardsReceivedBytesAndRejectsUnknownFlags) {
  ASSERT_TRUE(pty_.Send({1, 2, 3, 4}));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR));
  SetTimeouts(MAXDWORD, 0, 0);
  EXPECT_TRUE(ReadPort(16).empty());

  SetLastError(0);
  EXPECT_FALSE(PurgeComm(port_, 0x10));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(PurgeComm(port_, PURGE_TXCLEAR | PURGE_TXABORT));
}

// ---- time-outs ----

TEST_F(SerialLineTest, TimeoutsReadBackAsSet) {
  COMMTIMEOUTS t{10, 0, 20, 0, 500};
  ASSERT_TRUE(SetCommTimeouts(port_, &t));
  for (const int fill : {0x00, 0xFF}) {
    COMMTIMEOUTS back;
    std::memset(&back, fill, sizeof back);
    ASSERT_TRUE(GetCommTimeouts(port_, &back));
    EXPECT_EQ(std::memcmp(&back, &t, sizeof t), 0);
  }
}

TEST_F(SerialLineTest, IntervalTimerRunsFromTheStartOfTheRead) {
  // Interval only: with the timer starting at the first byte this read
  // would wait for ever on a silent line.
  SetTimeouts(30, 0, 0);
  auto read = std::async(std::launch::async, [&] {
    const auto start = Clock::now();
    BOOL ok = FALSE;
    const auto got = ReadPort(8, &ok);
    return std::make_tuple(ok, got.size(), MsSince(start));
  });
  if (read.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    CloseHandle(port_);  // wakes the reader so the test can fail instead of hang
    port_ = INVALID_HANDLE_VALUE;
    read.wait();
    FAIL() << "a read on a silent line did not end at its interval time-out";
  }
  const auto [ok, count, elapsed] = read.get();
  EXPECT_TRUE(ok) << "a time-out is a short count, not an error";
  EXPECT_EQ(count, 0u);
  EXPECT_GE(elapsed, 25);
}

TEST_F(SerialLineTest, LibraryTimeoutsReturnWhatArrived) {
  SetTimeouts(10, 0, 20);
  ASSERT_TRUE(pty_.Send({0x10, 0x20, 0x30}));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  BOOL ok = FALSE;
  EXPECT_EQ(ReadPort(64, &ok), (std::vector<BYTE>{0x10, 0x20, 0x30}));
  EXPECT_TRUE(ok);
  const auto start = Clock::now();
  EXPECT_TRUE(ReadPort(64, &ok).empty());
  EXPECT_TRUE(ok);
  EXPECT_GE(MsSince(start), 8);
}

TEST_F(SerialLineTest, TotalTimeoutBoundsAReadThatGetsLess) {
  SetTimeouts(0, 0, 80);
  ASSERT_TRUE(pty_.Send({7, 8}));
  const auto start = Clock::now();
  BOOL ok = FALSE;
  EXPECT_EQ(ReadPort(10, &ok), (std::vector<BYTE>{7, 8}));
  EXPECT_TRUE(ok);
  EXPECT_GE(MsSince(start), 75);
}

TEST_F(SerialLineTest, MaxdwordIntervalReturnsAtOnceWithWhatIsBuffered) {
  SetTimeouts(MAXDWORD, 0, 0);
  EXPECT_TRUE(ReadPort(8).empty());
  ASSERT_TRUE(pty_.Send({1, 2, 3, 4, 5}));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ReadPort(3), (std::vector<BYTE>{1, 2, 3}));
  EXPECT_EQ(ReadPort(8), (std::vector<BYTE>{4, 5}));
  EXPECT_TRUE(ReadPort(8).empty());
}

TEST_F(SerialLineTest, NoTimeoutsWaitForEveryByteAskedFor) {
  SetTimeouts(0, 0, 0);
  std::thread printer([&] {
    pty_.Send({1, 2, 3});
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    pty_.Send({4, 5, 6});
  });
  BOOL ok = FALSE;
  EXPECT_EQ(ReadPort(6, &ok), (std::vector<BYTE>{1, 2, 3, 4, 5, 6}));
  EXPECT_TRUE(ok);
  printer.join();
}

TEST_F(SerialLineTest, WriteToALineThatTakesNothingEndsWithAShortCount) {
  // Nobody reads the other side: the line's buffers fill, then the write
  // waits; the write time-out must end it with what went out.
  SetTimeouts(0, 0, 0, 0, 100);
  const std::vector<BYTE> data(4 << 20, 0x55);
  DWORD written = 0;
  const auto start = Clock::now();
  EXPECT_TRUE(WriteFile(port_, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, data.size());
  EXPECT_GE(MsSince(start), 95);
  // With the line still full a further write moves nothing.
  EXPECT_TRUE(WriteFile(port_, data.data(), 16, &written, nullptr));
  EXPECT_EQ(written, 0u);
}

// Closing the line keeps what the other side has not read yet: a printer
// that reads slowly gets every byte after the port closed. (A
// pseudo-terminal shows no transmit queue, so a flush at close would throw
// away whatever the printer had not read.)
TEST_F(SerialLineTest, CloseLeavesUnreadBytesToTheOtherSide) {
  SetTimeouts(0, 0, 0, 0, 500);
  std::vector<BYTE> data(9995);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(port_, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
  ASSERT_EQ(written, data.size());
  EXPECT_TRUE(FlushFileBuffers(port_));
  COMSTAT stat{};
  EXPECT_TRUE(ClearCommError(port_, nullptr, &stat));
  EXPECT_TRUE(CloseHandle(port_));
  port_ = INVALID_HANDLE_VALUE;
  EXPECT_EQ(pty_.Receive(data.size()), data);
}

// The wait for a transmit queue: on while it moves, off when it is empty,
// when it stood still for the stall time, or at the bound.
TEST(DrainPolicy, WaitsWhileTheQueueMovesAndGivesUpWhenItStops) {
  using kelo::host::DrainLimits;
  struct Case {
    const char* name;
    std::function<long(int)> queueAtSample;  // the depth at the n-th look
    DrainLimits limits;
    bool emptied;
  };
  const Case cases[] = {
      {"drains", [](int n) { return std::max(0L, 1000L - 50L * n); }, {60, 5000}, true},
      {"stalls", [](int n) { return n < 3 ? 1000L - n : 997L; }, {60, 5000}, false},
      {"trickles past the bound", [](int n) { return 100000L - n; }, {60, 150}, false},
      {"cannot tell", [](int) { return -1L; }, {60, 5000}, true},
  };
  for (const Case& c : cases) {
    int samples = 0;
    const auto start = Clock::now();
    const long left =
        kelo::host::WaitForQueueToDrain([&] { return c.queueAtSample(samples++); }, c.limits);
    EXPECT_EQ(left == 0, c.emptied) << c.name << ": " << left << " left";
    EXPECT_LT(MsSince(start), 5000) << c.name;
  }
  std::atomic<bool> stop{true};
  EXPECT_EQ(kelo::host::WaitForQueueToDrain([] { return 10L; }, {60000, 60000}, &stop), 10);
}

// ---- threads ----

TEST_F(SerialLineTest, ReaderAndWriterUseOneOpenAtOnce) {
  SetTimeouts(0, 0, 0, 0, 0);
  constexpr size_t kSize = 64 * 1024;
  std::vector<BYTE> toPort(kSize);
  std::vector<BYTE> fromPort(kSize);
  for (size_t i = 0; i < kSize; ++i) {
    toPort[i] = static_cast<BYTE>(i * 7);
    fromPort[i] = static_cast<BYTE>(i * 13 + 1);
  }
  std::vector<BYTE> readByPort;
  std::thread reader([&] {
    while (readByPort.size() < kSize) {
      std::vector<BYTE> chunk(kSize - readByPort.size());
      DWORD got = 0;
      if (!ReadFile(port_, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) break;
      readByPort.insert(readByPort.end(), chunk.begin(), chunk.begin() + got);
    }
  });
  std::vector<BYTE> receivedByPrinter;
  std::thread printer([&] {
    pty_.Send(toPort);
  });
  std::thread drain([&] { receivedByPrinter = pty_.Receive(kSize, 10000); });
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(port_, fromPort.data(), kSize, &written, nullptr));
  EXPECT_EQ(written, kSize);
  printer.join();
  drain.join();
  reader.join();
  EXPECT_EQ(readByPort, toPort);
  EXPECT_EQ(receivedByPrinter, fromPort);
}

TEST_F(SerialLineTest, CloseWakesAReaderBlockedWithoutTimeouts) {
  SetTimeouts(0, 0, 0);
  std::promise<BOOL> done;
  auto result = done.get_future();
  uintptr_t open = 0;
  auto device = kelo::host::DeviceForHandle(port_, &open);
  ASSERT_TRUE(device);
  std::thread reader([&] {
    BYTE buffer[4];
    DWORD got = 0;
    done.set_value(device->Read(open, buffer, sizeof buffer, &got));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(CloseHandle(port_));
  port_ = INVALID_HANDLE_VALUE;
  const bool woke = result.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!woke) pty_.Send({1, 2, 3, 4});  // let the reader finish before the test ends
  reader.join();
  ASSERT_TRUE(woke);
  EXPECT_FALSE(result.get());
}

// ---- the DCB <-> termios mapping itself ----

DCB BaseDcb() {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  return dcb;
}

TEST(LineFromDcb, ParityChecksBadBytesInsteadOfReadingThemAsZero) {
  struct Case {
    BYTE parity;
    tcflag_t cflag;
  };
  const Case cases[] = {{ODDPARITY, PARENB | PARODD},
                        {EVENPARITY, PARENB},
                        {MARKPARITY, PARENB | PARODD | CMSPAR},
                        {SPACEPARITY, PARENB | CMSPAR}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.parity));
    termios line{};
    line.c_iflag = PARMRK;  // marking would turn one bad byte into three
    DCB dcb = BaseDcb();
    dcb.Parity = c.parity;
    ASSERT_EQ(kelo::host::LineFromDcb(dcb, &line), 0u);
    EXPECT_EQ(line.c_cflag & (PARENB | PARODD | CMSPAR), c.cflag);
    EXPECT_EQ(line.c_iflag & (INPCK | IGNPAR | PARMRK), static_cast<tcflag_t>(INPCK | IGNPAR));
    DCB back{};
    kelo::host::DcbFromLine(line, dcb, &back);
    EXPECT_EQ(back.Parity, c.parity);
  }
  termios line{};
  line.c_iflag = INPCK | IGNPAR;
  ASSERT_EQ(kelo::host::LineFromDcb(BaseDcb(), &line), 0u);
  EXPECT_EQ(line.c_cflag & PARENB, 0u);
  EXPECT_EQ(line.c_iflag & (INPCK | IGNPAR), 0u);
}

TEST(LineFromDcb, RawModeWhateverTheLineHadBefore) {
  termios line{};
  line.c_iflag = IXANY | ICRNL | IGNCR | INLCR | ISTRIP | BRKINT;
  line.c_oflag = OPOST;
  line.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
  line.c_cflag = HUPCL | CRTSCTS | CS7 | CSTOPB;
  line.c_cc[VMIN] = 1;
  line.c_cc[VTIME] = 5;
  DCB dcb = BaseDcb();
  dcb.fOutX = 1;
  ASSERT_EQ(kelo::host::LineFromDcb(dcb, &line), 0u);
  EXPECT_EQ(line.c_iflag & (IXANY | ICRNL | IGNCR | INLCR | ISTRIP | BRKINT), 0u);
  EXPECT_NE(line.c_iflag & IXON, 0u);
  EXPECT_EQ(line.c_iflag & IXOFF, 0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(line.c_cflag & (HUPCL | CRTSCTS | CSTOPB), 0u);
  EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(line.c_cc[VMIN], 0);
  EXPECT_EQ(line.c_cc[VTIME], 0);
  EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
}

TEST(LineFromDcb, RefusedDcbLeavesTheLineUntouched) {
  termios line{};
  line.c_cflag = CS7 | HUPCL;
  const termios before = line;
  DCB dcb = BaseDcb();
  dcb.BaudRate = 250000;
  EXPECT_EQ(kelo::host::LineFromDcb(dcb, &line), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(std::memcmp(&line, &before, sizeof line), 0);
}

TEST(DcbFromLine, CrtsctsIsReadAsWhatWasAskedFor) {
  termios line{};
  DCB cts = BaseDcb();
  cts.fOutxCtsFlow = 1;
  ASSERT_EQ(kelo::host::LineFromDcb(cts, &line), 0u);
  DCB back{};
  kelo::host::DcbFromLine(line, cts, &back);
  EXPECT_EQ(back.fOutxCtsFlow, 1u);
  EXPECT_EQ(back.fRtsControl, RTS_CONTROL_ENABLE);

  // Someone else turned CRTSCTS on behind a shadow that asked for neither.
  DCB none = BaseDcb();
  kelo::host::DcbFromLine(line, none, &back);
  EXPECT_EQ(back.fOutxCtsFlow, 1u);
  EXPECT_EQ(back.fRtsControl, RTS_CONTROL_HANDSHAKE);

  // ... or off behind a shadow that asked for handshake.
  termios plain{};
  ASSERT_EQ(kelo::host::LineFromDcb(none, &plain), 0u);
  DCB handshake = BaseDcb();
  handshake.fRtsControl = RTS_CONTROL_HANDSHAKE;
  handshake.fOutxCtsFlow = 1;
  kelo::host::DcbFromLine(plain, handshake, &back);
  EXPECT_EQ(back.fOutxCtsFlow, 0u);
  EXPECT_EQ(back.fRtsControl, RTS_CONTROL_ENABLE);
}

}  // namespace
