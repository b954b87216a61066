// The port and service layers on Windows, on "COM1:" as a pseudo-terminal
// held by peer.py: the serial settings the port layer makes (read back with
// GetCommState/GetCommTimeouts and, on the peer's side, with termios), the
// bytes a client writes through KLP_WRITE, and status bytes the printer
// sends reaching KLP_CHECK_STATUS and KLP_GET_PRINTERSTATUS through the
// service's monitor.

#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "kelo/service_control.h"
#include "platform/ce_declarations.h"
#include "platform/comm.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/threads.h"
#include "port/port_io.h"
#include "port/port_kind.h"
#include "port/port_open.h"
#include "service/stream_entry.h"

using namespace win32test;

namespace {

constexpr DWORD kUnset = 0xFFFFFFFFu;
constexpr DWORD kEventWaitMs = 3000;

// The service's values under HKLM\Drivers\BuiltIn\KLP; kUnset deletes one.
bool SetServiceValues(DWORD xonXoff, DWORD stopBits, DWORD printTimeout) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Drivers\\BuiltIn\\KLP", 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &key, &disposition) != ERROR_SUCCESS) {
    return false;
  }
  const struct {
    const WCHAR* name;
    DWORD value;
  } values[] = {{L"XonXoff", xonXoff},
                {L"StopBits", stopBits},
                {L"PrintTimeout", printTimeout},
                {L"Parity", kUnset}};
  bool ok = true;
  for (const auto& v : values) {
    if (v.value == kUnset) {
      RegDeleteValueW(key, v.name);
    } else {
      ok = ok && RegSetValueExW(key, v.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v.value),
                                sizeof v.value) == ERROR_SUCCESS;
    }
  }
  RegCloseKey(key);
  return ok;
}

struct PortCase {
  const char* what;
  const WCHAR* name;
  DWORD xonXoff, stopBits, printTimeout;  // registry values, kUnset: absent
  DWORD rate;
  bool xon;       // XON/XOFF both ways; otherwise CTS flow with RTS handshake
  BYTE stop;      // DCB StopBits
  DWORD writeMs;  // WriteTotalTimeoutConstant
};

// The line keeps its settings from one open to the next, and an XON/XOFF
// open leaves the CTS and RTS fields as it finds them: the hardware-flow row
// comes last so that each row starts from a line without CTS flow.
const PortCase kPortCases[] = {
    {"COM1: with no settings", L"COM1:", kUnset, kUnset, kUnset, 115200, true, TWOSTOPBITS, 500},
    {"COM1: 19200, XON/XOFF, two stop bits", L"COM1: 19200", 1, 2, kUnset, 19200, true, TWOSTOPBITS,
     500},
    {"COM12:38400 opens COM1: at 38400", L"COM12:38400", kUnset, kUnset, 250, 38400, true,
     TWOSTOPBITS, 250},
    {"COM1:,9600, hardware flow, one stop bit", L"COM1:,9600", 0, 0, 1500, 9600, false, ONESTOPBIT,
     1500},
};

void CheckPortSettings(const PortCase& c) {
  const std::string name = std::string("port settings, ") + c.what;
  if (!SetServiceValues(c.xonXoff, c.stopBits, c.printTimeout)) {
    Check(name.c_str(), false, "the service's registry values could not be written");
    return;
  }
  BYTE kind = 0;
  SetLastError(0);
  const HANDLE port = OpenPrinterPort(c.name, &kind);
  if (port == INVALID_HANDLE_VALUE || kind != kPortSerial) {
    Check(name.c_str(), false, "OpenPrinterPort: error %lu, kind %u",
          static_cast<unsigned long>(GetLastError()), kind);
    if (port != INVALID_HANDLE_VALUE) ClosePort(port, kind);
    return;
  }
  DCB dcb;
  std::memset(&dcb, 0xFF, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  COMMTIMEOUTS t;
  std::memset(&t, 0xFF, sizeof t);
  const BOOL gotState = GetCommState(port, &dcb);
  const BOOL gotTimeouts = GetCommTimeouts(port, &t);
  const std::string line = Ask("termios");
  const bool dcbRight = gotState && dcb.BaudRate == c.rate && dcb.ByteSize == 8 &&
                        dcb.Parity == NOPARITY && dcb.StopBits == c.stop && dcb.fOutX == c.xon &&
                        dcb.fInX == c.xon && dcb.fOutxCtsFlow == !c.xon;
  const bool lineRight =
      Field(line, "rate") == static_cast<long>(c.rate) && Field(line, "cs") == 8 &&
      Field(line, "cstopb") == (c.stop != ONESTOPBIT) && Field(line, "ixon") == c.xon &&
      Field(line, "ixoff") == c.xon && Field(line, "crtscts") == !c.xon &&
      Field(line, "icanon") == 0 && Field(line, "echo") == 0 && Field(line, "opost") == 0;
  Check(name.c_str(), dcbRight && lineRight,
        "DCB %lu %u/%u/%u outX %u inX %u cts %u rts %u; pty %s",
        static_cast<unsigned long>(dcb.BaudRate), dcb.ByteSize, dcb.Parity, dcb.StopBits, dcb.fOutX,
        dcb.fInX, dcb.fOutxCtsFlow, dcb.fRtsControl, line.c_str());
  // What the implementation reports for RTS handshake varies (it cannot
  // read a modem line a pseudo-terminal lacks); the line's CRTSCTS is the fact.
  if (!c.xon) Note("RTS control read back", "%u (2 was set)", dcb.fRtsControl);
  const std::string timeouts = std::string("port time-outs, ") + c.what;
  Check(timeouts.c_str(),
        gotTimeouts && t.ReadIntervalTimeout == 10 && t.ReadTotalTimeoutMultiplier == 0 &&
            t.ReadTotalTimeoutConstant == 20 && t.WriteTotalTimeoutMultiplier == 0 &&
            t.WriteTotalTimeoutConstant == c.writeMs,
        "%lu/%lu/%lu write %lu/%lu", static_cast<unsigned long>(t.ReadIntervalTimeout),
        static_cast<unsigned long>(t.ReadTotalTimeoutMultiplier),
        static_cast<unsigned long>(t.ReadTotalTimeoutConstant),
        static_cast<unsigned long>(t.WriteTotalTimeoutMultiplier),
        static_cast<unsigned long>(t.WriteTotalTimeoutConstant));
  ClosePort(port, kind);
}

// "COM1:" with its terminator, as a client passes it.
const WCHAR kPortName[] = L"COM1:";

BOOL Control(DWORD open, DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen,
             DWORD* actual) {
  return KLP_IOControl(open, code, static_cast<PBYTE>(const_cast<void*>(in)), inLen,
                       static_cast<PBYTE>(out), outLen, actual);
}

struct StatusCase {
  const char* what;
  const char* byte;  // hex, as the printer sends it
  DWORD error;       // 0: KLP_CHECK_STATUS succeeds
};

// One history: each row's byte follows the ones before it.
constexpr StatusCase kStatusCases[] = {
    {"ready", "80", 0},
    {"not ready", "88", KLP_STATUS_NOT_READY},
    {"out of paper", "82", KLP_STATUS_OUT_OF_PAPER},
    {"status bit 2", "84", KLP_STATUS_CONDITION_BIT2},
    {"out of paper and bit 2", "86", KLP_STATUS_OUT_OF_PAPER_AND_BIT2},
    {"ready again", "80", 0},
};

void CheckService() {
  SetServiceValues(kUnset, kUnset, kUnset);
  const DWORD device = KLP_Init(L"Drivers\\Active\\01", nullptr);
  if (!Check("KLP_Init", device != 0, "returned 0")) return;
  const DWORD open = KLP_Open(device, GENERIC_READ | GENERIC_WRITE, 0);
  Check("KLP_Open", open != 0, "returned 0");
  const HANDLE dataEvent = CreateEventW(nullptr, FALSE, FALSE, KELO_STATUS_DATA_EVENT);
  const HANDLE timeoutEvent = CreateEventW(nullptr, FALSE, FALSE, KELO_STATUS_TIMEOUT_EVENT);

  BYTE index = 0;
  DWORD actual = 0;
  SetLastError(0);
  const BOOL opened = Control(open, KLP_OPEN, kPortName, sizeof kPortName, &index, 1, &actual);
  if (!Check("KLP_OPEN COM1:", opened && index != 0 && actual == 1, "%d, index %u, error %lu",
             opened, index, static_cast<unsigned long>(GetLastError()))) {
    KLP_Deinit(device);
    return;
  }

  const BYTE data[] = {0x1B, 0x40, 'k', 'e', 'l', 'o', 0x00, 0xFF, 0x1D, 0x76, '\r', '\n'};
  DWORD taken = 0;
  const BOOL wrote = Control(open, KLP_WRITE | index, data, sizeof data, nullptr, 0, &taken);
  const std::string arrived = Ask("expect " + Hex(data, sizeof data));
  Check("KLP_WRITE bytes reach the line", wrote && taken == sizeof data && arrived == "ok",
        "%d, %lu taken; peer: %s", wrote, static_cast<unsigned long>(taken), arrived.c_str());

  // A document: while it runs, a write that must not interleave with it is
  // refused; its end waits until the line has sent what it queued.
  const BOOL begun = Control(open, KLP_BEGIN_JOB | index, nullptr, 0, nullptr, 0, nullptr);
  const BOOL intruded =
      Control(open, KLP_WRITE_IF_IDLE | index, data, sizeof data, nullptr, 0, &taken);
  const BOOL jobWrote = Control(open, KLP_WRITE | index, data, sizeof data, nullptr, 0, &taken);
  const std::string jobArrived = Ask("expect " + Hex(data, sizeof data));
  DWORD unsent = 0;
  const DWORD start = GetTickCount();
  const BOOL ended =
      Control(open, KLP_END_JOB | index, nullptr, 0, &unsent, sizeof unsent, &actual);
  Check("a job's bytes reach the line and KLP_END_JOB sees them sent",
        begun && !intruded && jobWrote && jobArrived == "ok" && ended,
        "begin %d, write-if-idle %d, write %d (peer: %s), end %d after %lu ms", begun, intruded,
        jobWrote, jobArrived.c_str(), ended, static_cast<unsigned long>(ElapsedMs(start)));

  for (const StatusCase& c : kStatusCases) {
    WaitForSingleObject(dataEvent, 0);  // a signal left from before does not count
    Ask(std::string("send ") + c.byte);
    const DWORD waited = WaitForSingleObject(dataEvent, kEventWaitMs);
    SetLastError(0);
    const BOOL ready = Control(open, KLP_CHECK_STATUS | index, nullptr, 0, nullptr, 0, nullptr);
    const DWORD error = ready ? 0 : GetLastError();
    const std::string name = std::string("KLP_CHECK_STATUS after ") + c.byte + " (" + c.what + ")";
    Check(name.c_str(),
          waited == WAIT_OBJECT_0 && (ready != 0) == (c.error == 0) && error == c.error,
          "data event %lu, result %d, error %lu", static_cast<unsigned long>(waited), ready,
          static_cast<unsigned long>(error));
  }

  // An application's road: ask, wait for the data event, fetch the records.
  PortRequest request{};
  request.name = kPortName;
  request.nameSize = sizeof kPortName;
  request.timeout = 1000;
  Control(open, KLP_GET_PRINTERSTATUS, kPortName, sizeof kPortName, nullptr, 0, &actual);
  std::vector<BYTE> drop(actual + 1);
  Control(open, KLP_GET_PRINTERSTATUS, kPortName, sizeof kPortName, drop.data(),
          static_cast<DWORD>(drop.size()), &actual);  // the records of the rows above
  WaitForSingleObject(dataEvent, 0);
  const BOOL asked =
      Control(open, KLP_UPDATE_PRINTERSTATUS, &request, sizeof request, nullptr, 0, nullptr);
  const std::string question = Ask("expect 1b6bff");
  Check("KLP_UPDATE_PRINTERSTATUS sends ESC k 255", asked && question == "ok", "%d; peer: %s",
        asked, question.c_str());
  Ask("send 92");
  const DWORD waited = WaitForSingleObject(dataEvent, kEventWaitMs);
  DWORD size = 0;
  const BOOL sized =
      Control(open, KLP_GET_PRINTERSTATUS, kPortName, sizeof kPortName, nullptr, 0, &size);
  std::vector<BYTE> records(size);
  StatusRecord last{};
  BOOL fetched = FALSE;
  if (sized && size >= sizeof(StatusRecord) && size % sizeof(StatusRecord) == 0) {
    fetched = Control(open, KLP_GET_PRINTERSTATUS, kPortName, sizeof kPortName, records.data(),
                      size, &actual);
    std::memcpy(&last, records.data() + size - sizeof last, sizeof last);
  }
  SYSTEMTIME now{};
  GetLocalTime(&now);
  Check("the answer reaches KLP_GET_PRINTERSTATUS with its time",
        waited == WAIT_OBJECT_0 && fetched && size == sizeof(StatusRecord) && last.status == 0x92 &&
            last.yearLow + 256 * last.yearHigh == now.wYear && last.month == now.wMonth,
        "event %lu, %lu bytes of records, last status %02x, year %u month %u",
        static_cast<unsigned long>(waited), static_cast<unsigned long>(size), last.status,
        last.yearLow + 256u * last.yearHigh, last.month);

  // A printer that does not answer: the time-out event instead.
  request.timeout = 300;
  WaitForSingleObject(timeoutEvent, 0);
  Control(open, KLP_UPDATE_PRINTERSTATUS, &request, sizeof request, nullptr, 0, nullptr);
  const std::string silent = Ask("expect 1b6bff");
  const DWORD timedOut = WaitForSingleObject(timeoutEvent, kEventWaitMs);
  Check("no answer signals the time-out event", silent == "ok" && timedOut == WAIT_OBJECT_0,
        "peer: %s, event %lu", silent.c_str(), static_cast<unsigned long>(timedOut));

  // The printer's end of the line goes away: a write must not pass for sent.
  Ask("close");
  SetLastError(0);
  const BOOL lostWrite = Control(open, KLP_WRITE | index, data, sizeof data, nullptr, 0, &taken);
  const DWORD lostError = GetLastError();
  Check("KLP_WRITE to a line whose far end closed fails", !lostWrite && lostError != 0,
        "%d, %lu taken, error %lu", lostWrite, static_cast<unsigned long>(taken),
        static_cast<unsigned long>(lostError));
  Note("error of a write to a closed line", "%lu", static_cast<unsigned long>(lostError));

  Check("KLP_CLOSE", Control(open, KLP_CLOSE | index, nullptr, 0, nullptr, 0, nullptr) != 0,
        "error %lu", static_cast<unsigned long>(GetLastError()));
  Check("KLP_Close and KLP_Deinit", KLP_Close(open) && KLP_Deinit(device), "");
  CloseHandle(dataEvent);
  CloseHandle(timeoutEvent);
}

// The stand-ins for what only Windows CE has, where they must refuse.
void CheckCeStandIns() {
  const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetLastError(0);
  const BOOL modified = EventModify(event, 0);
  Check("EventModify with an unknown function fails with 87",
        !modified && GetLastError() == ERROR_INVALID_PARAMETER, "%d, error %lu", modified,
        static_cast<unsigned long>(GetLastError()));
  Check("EventModify sets and resets",
        EventModify(event, EVENT_SET) && WaitForSingleObject(event, 0) == WAIT_OBJECT_0 &&
            EventModify(event, EVENT_RESET) && WaitForSingleObject(event, 0) == WAIT_TIMEOUT,
        "");
  CloseHandle(event);

  const WCHAR unterminated[] = {L'C', L'O', L'M'};
  PVOID view = nullptr;
  const HRESULT opened = CeOpenCallerBuffer(&view, const_cast<WCHAR*>(unterminated),
                                            sizeof unterminated, ARG_I_WSTR, FALSE);
  Check("CeOpenCallerBuffer refuses a string without its terminator", opened == E_INVALIDARG,
        "0x%08lx", static_cast<unsigned long>(opened));

  SetLastError(0);
  const HANDLE device = ActivateDevice(L"Drivers\\BuiltIn\\KLP", 0);
  Check("ActivateDevice: no device manager here (50)",
        device == nullptr && GetLastError() == ERROR_NOT_SUPPORTED, "error %lu",
        static_cast<unsigned long>(GetLastError()));
}

}  // namespace

int main() {
  CheckCeStandIns();
  for (const PortCase& c : kPortCases) CheckPortSettings(c);
  CheckService();
  return g_failures == 0 ? 0 : 1;
}
