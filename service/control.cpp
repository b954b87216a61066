// KLP_IOControl: the dispatcher and the commands that act on one open port.

#include <cstring>
#include <new>

#include "platform/kernel.h"
#include "platform/threads.h"
#include "platform/wide_string.h"
#include "port/port_io.h"
#include "port/port_open.h"
#include "port/printer_model.h"
#include "service/control_codes.h"
#include "service/control_call.h"
#include "service/port_table.h"
#include "service/rts.h"
#include "service/service_state.h"
#include "service/status_check.h"
#include "service/status_commands.h"
#include "service/stream_entry.h"

using namespace service;

namespace {

constexpr DWORD kAttachSleepMs = 150;


BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

void GiveIndex(const ControlCall& call, BYTE index) {
  call.out[0] = index;
  if (call.actualOut != nullptr) *call.actualOut = 1;
}

// KLP_OPEN only: a fresh history for the new client, and the monitor watches
// the port with its own reference. Leaves the lock.
void AttachMonitor(BYTE index, ServiceLock& guard) {
  ServiceState.statusHistory.clear();
  guard.Release();
  ensureMonitor();
  PostThreadMessageW(ServiceState.monitorThreadId.load(), MonitorAttach, index, 0);
  Sleep(kAttachSleepMs);
}

BOOL CommandOpen(const ControlCall& call, ServiceLock& guard, bool quiet) {
  if (call.out == nullptr || call.outLen < 1) return Fail(ERROR_INVALID_PARAMETER);
  kelo::WideString name;
  if (!ReadCallerName(call.in, call.inLen, &name)) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD callerChars = call.inLen / sizeof(WCHAR);

  for (auto& [index, record] : ServiceState.g_mapOpenPorts) {
    if (!NameMatchesCallerBound(name, callerChars, record.name)) continue;
    if (record.refCount == 255) return Fail(kErrorTooManyOpens);
    ++record.refCount;
    const BYTE reused = index;
    if (!quiet) AttachMonitor(reused, guard);
    GiveIndex(call, reused);
    return TRUE;
  }

  const BYTE index = AllocatePortIndex();
  if (index == 0) return Fail(kErrorTooManyOpens);
  BYTE kind = 0;
  HANDLE port = OpenPrinterPort(name.c_str(), &kind);
  if (port == INVALID_HANDLE_VALUE) {
    OutputDebugStringW(TEXT("KLP_OPEN PrinterOpen error\r\n"));
    return FALSE;  // the open's own last error stands
  }
  try {
    PortRecord record;
    record.name = name;
    ServiceState.lastOpenedModel.store(DetectPrinterModel(port, kind));
    if (ServiceState.RTSOnOff) SendRtsModeCommand(port, kind, ServiceState.RTSOn);
    record.handle = port;
    record.kind = kind;
    ServiceState.g_mapOpenPorts.emplace(index, std::move(record));
  } catch (const std::bad_alloc&) {
    ClosePort(port, kind);
    guard.Release();
    OutputDebugStringW(TEXT("KLP_OPEN memory error\r\n"));
    return Fail(ERROR_OUTOFMEMORY);
  }
  if (!quiet) AttachMonitor(index, guard);
  GiveIndex(call, index);
  return TRUE;
}

BOOL CommandWrite(const ControlCall& call, bool onlyIfIdle) {
  const PortRecord* record = FindPort(call.index);
  if (record == nullptr) return FALSE;
  if (onlyIfIdle && record->jobActive != 0) return FALSE;
  // Under the lock: writes of different clients never interleave. A client
  // that passes a count learns what the port took, also when the write
  // failed, and resumes from there instead of resending accepted bytes.
  DWORD taken = 0;
  const BOOL result = WritePort(record->handle, record->kind, call.in, call.inLen, &taken);
  if (call.actualOut != nullptr) *call.actualOut = taken;
  return result;
}

BOOL CommandRead(const ControlCall& call, ServiceLock& guard) {
  const PortRecord* record = FindPort(call.index);
  if (record == nullptr) return FALSE;
  if (call.out == nullptr || call.outLen == 0) return Fail(ERROR_INVALID_PARAMETER);
  const HANDLE handle = record->handle;
  const BYTE kind = record->kind;
  guard.Release();
  return ReadPort(handle, kind, call.out, call.outLen, call.actualOut);
}

BOOL CommandRtsControl(const ControlCall& call, ServiceLock& guard) {
  const PortRecord* record = FindPort(call.index);
  if (record == nullptr) return FALSE;
  DWORD value = 0;
  if (call.in == nullptr || call.inLen < sizeof(value)) return Fail(ERROR_INVALID_PARAMETER);
  std::memcpy(&value, call.in, sizeof(value));
  const HANDLE handle = record->handle;
  guard.Release();
  return SetRtsLine(handle, value != 0 ? TRUE : FALSE);
}

BOOL CommandBeginJob(const ControlCall& call) {
  PortRecord* record = FindPort(call.index);
  if (record == nullptr) return FALSE;
  record->jobActive = 1;
  return TRUE;
}

// The job ends once the port has sent what it queues: a printer that stopped
// taking bytes must not leave a job that looks printed. Waits without the
// lock; the count of bytes still queued goes to a 4-byte output when given.
BOOL CommandEndJob(const ControlCall& call, ServiceLock& guard) {
  PortRecord* record = FindPort(call.index);
  if (record == nullptr) return FALSE;
  record->jobActive = 0;
  const HANDLE handle = record->handle;
  const BYTE kind = record->kind;
  guard.Release();
  DWORD unsent = 0;
  if (DrainPort(handle, kind, &unsent)) return TRUE;
  if (call.out != nullptr && call.outLen >= sizeof(unsent)) {
    std::memcpy(call.out, &unsent, sizeof(unsent));
    if (call.actualOut != nullptr) *call.actualOut = sizeof(unsent);
  }
  return FALSE;
}

// The 1-based position of the first matching port in index order; the number
// of open ports plus one when none matches.
BOOL CommandGetIndex(const ControlCall& call) {
  if (call.out == nullptr || call.outLen < 1) return Fail(ERROR_INVALID_PARAMETER);
  kelo::WideString name;
  if (!ReadCallerName(call.in, call.inLen, &name)) return Fail(ERROR_INVALID_PARAMETER);
  if (ServiceState.g_mapOpenPorts.empty()) {
    OutputDebugStringW(TEXT("KLP_GET_INDEX =>err. g_mapOpenPorts.empty()\r\n"));
    return FALSE;
  }
  unsigned position = 1;
  for (const auto& [index, record] : ServiceState.g_mapOpenPorts) {
    if (NameMatchesEitherPrefix(name, record.name)) break;
    ++position;
  }
  // 255 ports and no match would be 256: the byte cannot say it, so it says 0.
  call.out[0] = position <= 255 ? static_cast<BYTE>(position) : 0;
  return TRUE;
}

BOOL CommandCheckStatus(const ControlCall& call) {
  if (FindPort(call.index) == nullptr) return Fail(ERROR_NOT_READY);
  DWORD stopAtMark = 0;
  if (call.in != nullptr && call.inLen == sizeof(stopAtMark)) {
    std::memcpy(&stopAtMark, call.in, sizeof(stopAtMark));
  }
  const DWORD error = EvaluateStatusHistory(ServiceState.statusHistory, stopAtMark != 0);
  if (error != 0) return Fail(error);
  return TRUE;
}

BOOL CommandRtsReset(const ControlCall& call, ServiceLock& guard) {
  const PortRecord* record = FindPort(call.index);
  if (record == nullptr) return FALSE;
  const HANDLE handle = record->handle;
  const BYTE kind = record->kind;
  guard.Release();  // pulses and waits must not block other clients
  return HardwareReset(handle, kind);
}

BOOL Dispatch(DWORD command, const ControlCall& call, ServiceLock& guard) {
  switch (command) {
    case KLP_OPEN:
      return CommandOpen(call, guard, false);
    case KLP_OPEN_QUIET:
      return CommandOpen(call, guard, true);
    case KLP_WRITE:
      return CommandWrite(call, false);
    case KLP_WRITE_IF_IDLE:
      return CommandWrite(call, true);
    case KLP_CLOSE:
      return ReleasePortReference(call.index);
    case KLP_READ:
      return CommandRead(call, guard);
    case KLP_RTS_CONTROL:
      return CommandRtsControl(call, guard);
    case KLP_CHECK_STATUS:
      return CommandCheckStatus(call);
    case KLP_BEGIN_JOB:
      return CommandBeginJob(call);
    case KLP_END_JOB:
      return CommandEndJob(call, guard);
    case KLP_RESET_PRINTER:
      return CommandResetPrinter(call, guard);
    case KLP_UPDATE_PRINTERSTATUS:
      return CommandUpdatePrinterStatus(call);
    case KLP_GET_PRINTERSTATUS:
      return CommandGetPrinterStatus(call);
    case KLP_RTS_RESET:
      return CommandRtsReset(call, guard);
    case KLP_STOP_PORTMONITOR:
      return CommandStopPortMonitor(call);
    case KLP_GET_INDEX:
      return CommandGetIndex(call);
    default:
      return FALSE;  // unknown command: no code
  }
}

}  // namespace

BOOL KLP_IOControl(DWORD, DWORD code, PBYTE in, DWORD inLen, PBYTE out, DWORD outLen,
                   PDWORD actualOut) {
  if (!ServiceState.lockCreated) return Fail(ERROR_INVALID_HANDLE);  // KLP_Init not run
  try {
    ServiceLock guard;
    const ControlCall call{static_cast<BYTE>(code & kIndexMask), in, inLen, out, outLen, actualOut};
    return Dispatch(code & kCommandMask, call, guard);
  } catch (...) {
    // An allocation in the table or a queue failed; the guard has left the lock.
    return FALSE;
  }
}
