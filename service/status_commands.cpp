#include "service/status_commands.h"

#include <cstring>
#include <string>

#include "platform/device_manager.h"
#include "platform/kernel.h"
#include "platform/threads.h"
#include "platform/wide_string.h"
#include "port/port_io.h"
#include "port/port_open.h"
#include "service/control_codes.h"
#include "service/port_table.h"
#include "service/rts.h"
#include "service/stream_entry.h"

using namespace service;

namespace {

// The reset by RTS holds the line down this long, whatever ResetTime says.
constexpr DWORD kResetPulseMs = 1500;
// MonitorWatch lParam: ask with ESC k 255, or by an RTS pulse.
constexpr LPARAM kAskByCommand = 0x1;
constexpr LPARAM kAskByRtsPulse = 0x10001;
// MonitorSendReset lParam: the monitor closes the handle after sending.
constexpr LPARAM kCloseAfterReset = 0x10000;

// The port name of a PortRequest, seen through the platform's access to the
// caller's memory for as long as the object lives.
class CallerName {
 public:
  explicit CallerName(const PortRequest& request)
      : source_(const_cast<void*>(request.name)), size_(request.nameSize) {}
  ~CallerName() {
    if (view_ != nullptr) CeCloseCallerBuffer(view_, source_, size_, ARG_I_WSTR);
  }
  CallerName(const CallerName&) = delete;
  CallerName& operator=(const CallerName&) = delete;

  bool Open() {
    PVOID view = nullptr;
    if (FAILED(CeOpenCallerBuffer(&view, source_, size_, ARG_I_WSTR, FALSE)) || view == nullptr) {
      return false;
    }
    view_ = view;
    return ReadCallerName(static_cast<const BYTE*>(view_), size_, &name_);
  }
  const kelo::WideString& name() const { return name_; }
  PBYTE view() const { return static_cast<PBYTE>(view_); }
  DWORD size() const { return size_; }

 private:
  PVOID source_;
  DWORD size_;
  PVOID view_ = nullptr;
  kelo::WideString name_;
};

// False (no code) for a missing input, as for every command of this kind;
// a buffer shorter than a PortRequest fails with ERROR_INVALID_PARAMETER
// rather than be read past its end.
bool ReadPortRequest(const ControlCall& call, PortRequest* request) {
  if (call.in == nullptr || call.inLen == 0) return false;
  if (call.inLen < sizeof(PortRequest)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::memcpy(request, call.in, sizeof(PortRequest));
  return true;
}

// KLP_OPEN_QUIET through the dispatcher: one more reference on the named
// port (opening it if needed), which the monitor gives back when it leaves
// the port. 0 when the port cannot be opened.
BYTE OpenQuietly(PBYTE name, DWORD nameBytes) {
  BYTE index = 0;
  if (!KLP_IOControl(0, KLP_OPEN_QUIET, name, nameBytes, &index, sizeof(index), nullptr)) {
    return 0;
  }
  return index;
}

// The monitor is told to watch the port the caller just opened quietly. If
// it cannot be told, the reference meant for it goes back at once: nobody
// else would ever release it.
bool WatchOpenedPort(BYTE index, WPARAM wParam, LPARAM lParam) {
  if (PostThreadMessageW(ServiceState.monitorThreadId.load(), MonitorWatchHeld, wParam, lParam)) {
    return true;
  }
  const DWORD error = GetLastError();
  ReleasePortReference(index);
  SetLastError(error);
  return false;
}

void DebugLine(kelo::WideStringView prefix, kelo::WideStringView text, DWORD value) {
  kelo::WideString line(prefix);
  line += text;
  for (char digit : std::to_string(value)) line += static_cast<WCHAR>(digit);
  line += TEXT("\r\n");
  OutputDebugStringW(line.c_str());
}

// Reset by RTS: the line dropped for 1500 ms, raised without a wait after,
// then the RTS mode command whatever the line calls gave. The result of the
// last line call made. Runs without the lock.
BOOL ResetByRtsPulse(HANDLE port, BYTE kind) {
  BOOL result = SetRtsLine(port, TRUE);
  if (result) {
    Sleep(kResetPulseMs);
    result = SetRtsLine(port, FALSE);
  }
  sendRtsModeWithRetries(port, kind);
  return result;
}

// Hands out statusQueue: a size query, or every record oldest first into a
// buffer large enough. `prefix` ("1." or "2.") tells the two ways here apart
// in the debug output.
BOOL DeliverRecords(const ControlCall& call, kelo::WideStringView prefix) {
  auto& queue = ServiceState.statusQueue;
  const DWORD size = static_cast<DWORD>(queue.size() * sizeof(StatusRecord));
  if (call.outLen == 0 && call.out == nullptr) {
    if (call.actualOut != nullptr) *call.actualOut = size;
    return TRUE;
  }
  if (call.outLen == 0 || call.out == nullptr) {
    OutputDebugStringW(TEXT("invalide output buffer\r\n"));
    return FALSE;
  }
  if (call.outLen < size) {
    DebugLine(prefix, TEXT("buffer too small=> OutBufLen="), call.outLen);
    DebugLine(prefix, TEXT("buffer too small=> dataSize="), size);
    return FALSE;
  }
  if (call.actualOut != nullptr) *call.actualOut = size;
  PBYTE out = call.out;
  while (!queue.empty()) {
    std::memcpy(out, &queue.front(), sizeof(StatusRecord));
    out += sizeof(StatusRecord);
    queue.pop_front();
  }
  return TRUE;
}

}  // namespace

BOOL CommandResetPrinter(const ControlCall& call, ServiceLock& guard) {
  PortRequest request{};
  if (!ReadPortRequest(call, &request)) return FALSE;
  CallerName caller(request);
  if (!caller.Open()) {
    OutputDebugStringW(TEXT("KLP_RESET_PRINTER CeOpenCallerBuffer failed\r\n"));
    return FALSE;
  }
  HANDLE port = INVALID_HANDLE_VALUE;
  BYTE kind = 0;
  DWORD jobActive = 0;
  BYTE openIndex = 0;
  bool temporary = true;
  // The last matching entry wins.
  for (const auto& [index, record] : ServiceState.g_mapOpenPorts) {
    if (!NameMatchesEitherPrefix(caller.name(), record.name)) continue;
    port = record.handle;
    kind = record.kind;
    jobActive = record.jobActive;
    openIndex = index;
    temporary = false;
  }
  if (port == INVALID_HANDLE_VALUE) {
    port = OpenPrinterPort(caller.name().c_str(), &kind);
    if (port == INVALID_HANDLE_VALUE) return FALSE;
  }

  BOOL result = FALSE;
  bool handedOver = false;
  if (request.flag != 0) {
    guard.Release();  // a 1.5 s pulse must not block other clients
    result = ResetByRtsPulse(port, kind);
    guard.Acquire();
  } else if (jobActive == 0) {
    ensureMonitor();
    LPARAM flags = kind | (temporary ? kCloseAfterReset : 0);
    // An open port's handle goes to the monitor with a reference of its
    // own, so that the clients' closes cannot close it before the reset
    // went out (the monitor would write to a closed or reused handle).
    PortRecord* record = temporary ? nullptr : FindPort(openIndex);
    if (record != nullptr && record->refCount < 255) {
      ++record->refCount;
      flags |= static_cast<LPARAM>(openIndex) << 8;
    } else {
      record = nullptr;
    }
    handedOver = PostThreadMessageW(ServiceState.monitorThreadId.load(), MonitorSendReset,
                                    reinterpret_cast<WPARAM>(port), flags) != FALSE;
    if (!handedOver && record != nullptr) {
      const DWORD error = GetLastError();
      ReleasePortReference(openIndex);
      SetLastError(error);
    }
    // A reset that no monitor will send is no reset.
    result = handedOver ? TRUE : FALSE;
  }
  // A temporary open that the monitor does not close is closed here.
  if (temporary && !handedOver) {
    const DWORD error = GetLastError();
    ClosePort(port, kind);
    SetLastError(error);
  }
  return result;
}

BOOL CommandUpdatePrinterStatus(const ControlCall& call) {
  PortRequest request{};
  if (!ReadPortRequest(call, &request)) return FALSE;
  ensureMonitor();
  CallerName caller(request);
  if (!caller.Open()) {
    OutputDebugStringW(TEXT("KLP_UPDATE_PRINTERSTATUS CeOpenCallerBuffer failed\r\n"));
    return FALSE;
  }
  BYTE target = 0;
  const BYTE watched = ServiceState.monitoredPort;
  const PortRecord* record = watched != 0 ? FindPort(watched) : nullptr;
  if (record != nullptr && NameMatchesEitherPrefix(caller.name(), record->name)) target = watched;
  bool opened = false;
  if (target == 0) {
    target = OpenQuietly(caller.view(), caller.size());
    if (target == 0) return FALSE;
    opened = true;
    record = FindPort(target);
  }
  LPARAM ask = kAskByCommand;
  if (request.flag != 0) {
    ask = kAskByRtsPulse;
  } else if (record != nullptr && record->jobActive != 0) {
    ask = 0;  // a document is printing: watch only, send nothing into it
  }
  const WPARAM wParam = (static_cast<WPARAM>(request.timeout & 0xFFFF) << 16) + target;
  if (opened) return WatchOpenedPort(target, wParam, ask) ? TRUE : FALSE;
  return PostThreadMessageW(ServiceState.monitorThreadId.load(), MonitorWatch, wParam, ask);
}

BOOL CommandGetPrinterStatus(const ControlCall& call) {
  if (call.in == nullptr || call.inLen == 0) return FALSE;
  ensureMonitor();
  kelo::WideString name;
  if (!ReadCallerName(call.in, call.inLen, &name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const BYTE watched = ServiceState.monitoredPort;
  const PortRecord* record = watched != 0 ? FindPort(watched) : nullptr;
  if (record != nullptr &&
      NameMatchesCallerBound(name, call.inLen / sizeof(WCHAR), record->name)) {
    return DeliverRecords(call, TEXT("1."));
  }
  if (watched == 0 && ServiceState.queuedPort != 0) {
    // The records of the port watched last go to whoever asks.
    return DeliverRecords(call, TEXT("2."));
  }
  // Not watched yet: attach, and a later call delivers.
  if (call.actualOut != nullptr) *call.actualOut = 0;
  const BYTE index = OpenQuietly(call.in, call.inLen);
  if (index == 0) return FALSE;
  return WatchOpenedPort(index, index, 0) ? TRUE : FALSE;
}

BOOL CommandStopPortMonitor(const ControlCall& call) {
  const auto& table = ServiceState.g_mapOpenPorts;
  if (table.empty() || call.in == nullptr) return FALSE;
  // inLen counts characters here. Only inLen bytes are read, the size any
  // control input has; a name cut short by that is compared as far as read.
  kelo::WideString name;
  DWORD bound = call.inLen;
  if (!ReadCallerName(call.in, call.inLen & ~1u, &name)) {
    const DWORD units = call.inLen / sizeof(WCHAR);
    name.resize(units);
    std::memcpy(name.data(), call.in, units * sizeof(WCHAR));
    bound = units;
  }
  bool matched = false;
  for (const auto& [index, record] : table) {
    if (NameMatchesCallerBound(name, bound, record.name)) matched = true;
  }
  if (!matched) return FALSE;
  const BYTE watched = ServiceState.monitoredPort;
  if (watched == 0 || table.count(watched) == 0) return FALSE;
  return PostThreadMessageW(ServiceState.monitorThreadId.load(), MonitorStop, kIdleStopDelayMs,
                            0);
}
