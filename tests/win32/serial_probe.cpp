// Raw Win32 serial calls on "COM1:", a pseudo-terminal held by peer.py: the
// semantics the library counts on (checks), and those where implementations
// of the platform differ (notes, compared with the host layer in the report).

#include <windows.h>

#include "harness.h"

using namespace win32test;

namespace {

COMMTIMEOUTS Timeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD writeConstant = 0) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutMultiplier = multiplier;
  t.ReadTotalTimeoutConstant = constant;
  t.WriteTotalTimeoutConstant = writeConstant;
  return t;
}

struct LineCase {
  const char* name;
  DWORD rate;
  BYTE size, parity, stop;
  bool xonXoff, ctsFlow;
  bool mustTake;  // documented as valid and representable on a pseudo-terminal
};

// A pseudo-terminal keeps 8 bits without parity whatever it is told, so the
// parity rows can only show what the implementation reports back.
constexpr LineCase kLines[] = {
    {"115200-8N2-xon", 115200, 8, NOPARITY, TWOSTOPBITS, true, false, true},
    {"9600-8N1-cts", 9600, 8, NOPARITY, ONESTOPBIT, false, true, true},
    {"19200-8N1", 19200, 8, NOPARITY, ONESTOPBIT, false, false, true},
    {"38400-8E1", 38400, 8, EVENPARITY, ONESTOPBIT, false, false, false},
    {"9600-8O1", 9600, 8, ODDPARITY, ONESTOPBIT, false, false, false},
    {"9600-8M1", 9600, 8, MARKPARITY, ONESTOPBIT, false, false, false},
    {"9600-8S1", 9600, 8, SPACEPARITY, ONESTOPBIT, false, false, false},
    {"9600-8N1.5", 9600, 8, NOPARITY, ONE5STOPBITS, false, false, false},
    {"9600-5N1.5", 9600, 5, NOPARITY, ONE5STOPBITS, false, false, false},
    {"14400-8N1", 14400, 8, NOPARITY, ONESTOPBIT, false, false, false},
    {"12345-8N1", 12345, 8, NOPARITY, ONESTOPBIT, false, false, false},
    {"9600-9N1", 9600, 9, NOPARITY, ONESTOPBIT, false, false, false},
};

void ProbeLine(HANDLE port, const LineCase& c) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(port, &dcb);
  dcb.BaudRate = c.rate;
  dcb.ByteSize = c.size;
  dcb.Parity = c.parity;
  dcb.StopBits = c.stop;
  dcb.fOutX = dcb.fInX = c.xonXoff;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.fOutxCtsFlow = c.ctsFlow;
  dcb.fRtsControl = c.ctsFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  SetLastError(0xDEAD);
  const BOOL set = SetCommState(port, &dcb);
  const DWORD setError = GetLastError();
  DCB back{};
  std::memset(&back, 0xFF, sizeof back);
  back.DCBlength = sizeof back;
  const BOOL got = GetCommState(port, &back);
  const std::string line = Ask("termios");
  Note(c.name,
       "SetCommState=%d error=%lu; read back %lu %u/%u/%u out=%u in=%u cts=%u rts=%u; pty %s", set,
       set ? 0ul : static_cast<unsigned long>(setError), static_cast<unsigned long>(back.BaudRate),
       back.ByteSize, back.Parity, back.StopBits, back.fOutX, back.fInX, back.fOutxCtsFlow,
       back.fRtsControl, line.c_str());
  if (!c.mustTake) return;
  std::string name = std::string("line ") + c.name;
  Check(name.c_str(),
        set && got && back.BaudRate == c.rate && back.ByteSize == c.size &&
            back.Parity == c.parity && back.StopBits == c.stop && back.fOutX == c.xonXoff &&
            back.fInX == c.xonXoff && back.fOutxCtsFlow == c.ctsFlow &&
            Field(line, "rate") == static_cast<long>(c.rate) &&
            Field(line, "cstopb") == (c.stop != ONESTOPBIT) && Field(line, "ixon") == c.xonXoff &&
            Field(line, "ixoff") == c.xonXoff && Field(line, "crtscts") == c.ctsFlow &&
            Field(line, "icanon") == 0 && Field(line, "echo") == 0 && Field(line, "opost") == 0,
        "set %d (error %lu), pty %s", set, static_cast<unsigned long>(setError), line.c_str());
}

void ProbeReads(HANDLE port) {
  BYTE buffer[16];
  DWORD got = 99;
  COMMTIMEOUTS t = Timeouts(MAXDWORD, 0, 0);
  SetCommTimeouts(port, &t);
  DWORD start = GetTickCount();
  BOOL ok = ReadFile(port, buffer, sizeof buffer, &got, nullptr);
  DWORD elapsed = ElapsedMs(start);
  Check("read MAXDWORD/0/0 returns at once with nothing", ok && got == 0 && elapsed < 200,
        "ok %d, %lu bytes, %lu ms", ok, got, elapsed);

  Ask("send 414243");
  t = Timeouts(0, 0, 300);
  SetCommTimeouts(port, &t);
  start = GetTickCount();
  ok = ReadFile(port, buffer, 10, &got, nullptr);
  elapsed = ElapsedMs(start);
  Check("read total time-out completes with a short count",
        ok && got == 3 && std::memcmp(buffer, "ABC", 3) == 0 && elapsed >= 250 && elapsed < 1500,
        "ok %d, %lu bytes, %lu ms", ok, got, elapsed);

  // Windows CE starts the interval timer with the read; the desktop rule
  // starts it at the first byte, so a silent line waits for the total.
  t = Timeouts(50, 0, 1000);
  SetCommTimeouts(port, &t);
  start = GetTickCount();
  ok = ReadFile(port, buffer, 10, &got, nullptr);
  elapsed = ElapsedMs(start);
  Note("interval timer on a silent line", "ok %d, %lu bytes after %lu ms (interval 50, total 1000)",
       ok, got, elapsed);

  // Interval MAXDWORD with only a total: a plain (huge) interval on the
  // desktop, so the read waits for the total or all bytes.
  Ask("send 0304");
  Sleep(100);
  t = Timeouts(MAXDWORD, 0, 400);
  SetCommTimeouts(port, &t);
  start = GetTickCount();
  ok = ReadFile(port, buffer, 10, &got, nullptr);
  elapsed = ElapsedMs(start);
  Note("read MAXDWORD/0/400 with 2 bytes buffered", "ok %d, %lu bytes after %lu ms", ok, got,
       elapsed);

  Ask("send 0102");
  Sleep(100);
  t = Timeouts(MAXDWORD, MAXDWORD, 500);
  SetCommTimeouts(port, &t);
  start = GetTickCount();
  ok = ReadFile(port, buffer, 10, &got, nullptr);
  elapsed = ElapsedMs(start);
  // Documented: bytes already buffered are returned at once.
  Note("read MAXDWORD/MAXDWORD/500 with 2 bytes buffered", "ok %d, %lu bytes after %lu ms", ok, got,
       elapsed);
}

void ProbeWrites(HANDLE port) {
  const BYTE data[] = {0x1B, 0x40, 'k', 'e', 'l', 'o', 0x00, 0xFF, 0x11, 0x13, '\r', '\n'};
  DWORD put = 0;
  COMMTIMEOUTS t = Timeouts(MAXDWORD, 0, 0, 2000);
  SetCommTimeouts(port, &t);
  const BOOL ok = WriteFile(port, data, sizeof data, &put, nullptr);
  const std::string answer = Ask("expect " + Hex(data, sizeof data));
  Check("written bytes reach the line unchanged", ok && put == sizeof data && answer == "ok",
        "ok %d, %lu written; peer: %s", ok, put, answer.c_str());

  // Nobody reads the master: the write stops when the pty's buffers are full.
  constexpr DWORD kBig = 1 << 20;
  static BYTE big[kBig];
  t = Timeouts(MAXDWORD, 0, 0, 300);
  SetCommTimeouts(port, &t);
  SetLastError(0xDEAD);
  DWORD start = GetTickCount();
  BOOL wrote = WriteFile(port, big, kBig, &put, nullptr);
  DWORD error = GetLastError();
  DWORD elapsed = ElapsedMs(start);
  Check("write time-out ends a blocked write with a short count", put < kBig && elapsed < 3000,
        "ok %d, %lu of %lu bytes, %lu ms", wrote, put, kBig, elapsed);
  Note("write time-out result", "WriteFile=%d error=%lu after %lu ms, %lu bytes taken", wrote,
       wrote ? 0ul : static_cast<unsigned long>(error), elapsed, put);
  COMSTAT stat{};
  DWORD errors = 0;
  ClearCommError(port, &errors, &stat);
  Note("output queue after the blocked write", "cbOutQue %lu", stat.cbOutQue);
  SetLastError(0xDEAD);
  const BOOL purged = PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR);
  Note("purge of the output", "PurgeComm=%d; the peer then read %s bytes", purged,
       Ask("drain").c_str());
}

void ProbeQueues(HANDLE port) {
  Ask("send 0102030405");
  Sleep(200);
  COMSTAT stat{};
  DWORD errors = 99;
  BOOL ok = ClearCommError(port, &errors, &stat);
  Check("ClearCommError counts the input queue", ok && stat.cbInQue == 5 && errors == 0,
        "ok %d, in %lu, errors %lu", ok, stat.cbInQue, errors);
  ok = PurgeComm(port, PURGE_RXCLEAR | PURGE_RXABORT);
  stat = COMSTAT{};
  ClearCommError(port, &errors, &stat);
  BYTE buffer[8];
  DWORD got = 99;
  COMMTIMEOUTS t = Timeouts(MAXDWORD, 0, 0);
  SetCommTimeouts(port, &t);
  ReadFile(port, buffer, sizeof buffer, &got, nullptr);
  Check("PurgeComm RXCLEAR empties the input", ok && stat.cbInQue == 0 && got == 0,
        "ok %d, in %lu, read %lu", ok, stat.cbInQue, got);
  SetLastError(0xDEAD);
  ok = PurgeComm(port, 0x100);
  Note("PurgeComm with an unknown flag", "%d error %lu", ok,
       ok ? 0ul : static_cast<unsigned long>(GetLastError()));
}

void ProbeRts(HANDLE port) {
  for (DWORD function : {static_cast<DWORD>(CLRRTS), static_cast<DWORD>(SETRTS)}) {
    SetLastError(0xDEAD);
    const BOOL ok = EscapeCommFunction(port, function);
    Note(function == CLRRTS ? "EscapeCommFunction CLRRTS" : "EscapeCommFunction SETRTS",
         "%d error %lu", ok, ok ? 0ul : static_cast<unsigned long>(GetLastError()));
  }
  for (DWORD rts : {RTS_CONTROL_DISABLE, RTS_CONTROL_ENABLE}) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    dcb.fRtsControl = rts;
    SetLastError(0xDEAD);
    const BOOL ok = SetCommState(port, &dcb);
    Note(rts == RTS_CONTROL_DISABLE ? "SetCommState RTS disable" : "SetCommState RTS enable",
         "%d error %lu", ok, ok ? 0ul : static_cast<unsigned long>(GetLastError()));
  }
}

void ProbeHangUp(HANDLE port) {
  Ask("close");
  BYTE buffer[8];
  DWORD got = 99;
  COMMTIMEOUTS t = Timeouts(0, 0, 500, 500);
  SetCommTimeouts(port, &t);
  SetLastError(0xDEAD);
  DWORD start = GetTickCount();
  BOOL ok = ReadFile(port, buffer, sizeof buffer, &got, nullptr);
  Note("read after the far end closed", "%d error %lu, %lu bytes, %lu ms", ok,
       ok ? 0ul : static_cast<unsigned long>(GetLastError()), got, ElapsedMs(start));
  SetLastError(0xDEAD);
  ok = WriteFile(port, "x", 1, &got, nullptr);
  Note("write after the far end closed", "%d error %lu, %lu bytes", ok,
       ok ? 0ul : static_cast<unsigned long>(GetLastError()), got);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  SetLastError(0xDEAD);
  ok = GetCommState(port, &dcb);
  Note("GetCommState after the far end closed", "%d error %lu", ok,
       ok ? 0ul : static_cast<unsigned long>(GetLastError()));
  Check("a read on a line whose far end closed does not hang", ElapsedMs(start) < 5000, "");
}

}  // namespace

int main() {
  SetLastError(0xDEAD);
  HANDLE missing = CreateFileW(L"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD missingError = GetLastError();
  Check("a port that does not exist fails to open", missing == INVALID_HANDLE_VALUE,
        "COM9: opened");
  Note("error for a missing port", "%lu", static_cast<unsigned long>(missingError));
  if (missing != INVALID_HANDLE_VALUE) CloseHandle(missing);

  for (const wchar_t* name : {L"COM1", L"\\\\.\\COM1"}) {
    HANDLE other = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    Note(name[0] == L'C' ? "open COM1 without colon" : "open \\\\.\\COM1", "%s",
         other != INVALID_HANDLE_VALUE ? "opens" : "fails");
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  }
  SetLastError(0xDEAD);
  // The library opens serial ports with CREATE_ALWAYS, as Windows CE drivers expect.
  HANDLE port = CreateFileW(L"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!Check("COM1: (with its colon) opens", port != INVALID_HANDLE_VALUE, "error %lu",
             static_cast<unsigned long>(GetLastError()))) {
    return 1;
  }
  HANDLE second = CreateFileW(L"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  Note("second open of COM1:", "%s (error %lu)", second != INVALID_HANDLE_VALUE ? "opens" : "fails",
       static_cast<unsigned long>(GetLastError()));
  if (second != INVALID_HANDLE_VALUE) CloseHandle(second);

  DCB initial{};
  initial.DCBlength = sizeof initial;
  GetCommState(port, &initial);
  Note("state at open", "%lu %u/%u/%u out=%u in=%u rts=%u dtr=%u; pty %s",
       static_cast<unsigned long>(initial.BaudRate), initial.ByteSize, initial.Parity,
       initial.StopBits, initial.fOutX, initial.fInX, initial.fRtsControl, initial.fDtrControl,
       Ask("termios").c_str());

  for (const LineCase& c : kLines) ProbeLine(port, c);
  COMMTIMEOUTS set = Timeouts(10, 2, 20, 500);
  COMMTIMEOUTS back{};
  SetCommTimeouts(port, &set);
  GetCommTimeouts(port, &back);
  Check("time-outs read back as set", std::memcmp(&set, &back, sizeof set) == 0, "");
  ProbeReads(port);
  ProbeWrites(port);
  ProbeQueues(port);
  ProbeRts(port);
  ProbeHangUp(port);
  CloseHandle(port);
  return g_failures == 0 ? 0 : 1;
}
