#include "service/port_table.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel.h"
#include "platform/threads.h"
#include "port/port_io.h"
#include "service/control_codes.h"
#include "service/rts.h"

namespace {

constexpr DWORD kCloseSleepMs = 150;

// wcsncmp over n characters: both strings end at their terminator.
bool EqualOver(const kelo::WideString& a, const kelo::WideString& b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const WCHAR ca = i < a.size() ? a[i] : WCHAR{0};
    const WCHAR cb = i < b.size() ? b[i] : WCHAR{0};
    if (ca != cb) return false;
    if (ca == 0) return true;
  }
  return true;
}

}  // namespace

bool ReadCallerName(const BYTE* in, DWORD inLen, kelo::WideString* name) {
  if (in == nullptr || inLen < sizeof(WCHAR) || inLen % sizeof(WCHAR) != 0) return false;
  kelo::WideString text;
  for (DWORD offset = 0; offset < inLen; offset += sizeof(WCHAR)) {
    WCHAR c = 0;
    std::memcpy(&c, in + offset, sizeof(c));  // the caller's buffer may be unaligned
    if (c == 0) {
      *name = std::move(text);
      return true;
    }
    text.push_back(c);
  }
  return false;
}

bool NameMatchesCallerBound(const kelo::WideString& caller, DWORD callerChars,
                            const kelo::WideString& stored) {
  return EqualOver(caller, stored, std::min<size_t>(callerChars, stored.size()));
}

bool NameMatchesEitherPrefix(const kelo::WideString& caller, const kelo::WideString& stored) {
  return EqualOver(caller, stored, std::min(caller.size(), stored.size()));
}

BYTE AllocatePortIndex() {
  const auto& table = ServiceState.g_mapOpenPorts;
  if (table.empty()) return 1;
  const BYTE largest = table.rbegin()->first;
  if (largest < 255) return static_cast<BYTE>(largest + 1);
  for (unsigned index = 1; index <= 255; ++index) {
    if (table.count(static_cast<BYTE>(index)) == 0) return static_cast<BYTE>(index);
  }
  return 0;
}

PortRecord* FindPort(BYTE index) {
  auto it = ServiceState.g_mapOpenPorts.find(index);
  return it == ServiceState.g_mapOpenPorts.end() ? nullptr : &it->second;
}

namespace {

// The last close of a port: the RTS mode command, then the port itself.
BOOL ClosePortRecord(const PortRecord& record) {
  if (ServiceState.RTSOnOff) SendRtsModeCommand(record.handle, record.kind, ServiceState.RTSOff);
  return ClosePort(record.handle, record.kind);
}

}  // namespace

BOOL CloseAllPorts() {
  BOOL result = TRUE;
  for (const auto& [index, record] : ServiceState.g_mapOpenPorts) {
    if (!ClosePortRecord(record)) result = FALSE;
  }
  ServiceState.g_mapOpenPorts.clear();
  return result;
}

BOOL ReleasePortReference(BYTE index) {
  auto& table = ServiceState.g_mapOpenPorts;
  const auto it = table.find(index);
  if (it == table.end()) return FALSE;
  PortRecord& record = it->second;
  --record.refCount;
  if (record.refCount == 0) {
    // A close that had to discard bytes the printer never took fails, so
    // that the client learns its data did not all arrive.
    const BOOL closed = ClosePortRecord(record);
    const DWORD error = GetLastError();
    table.erase(it);
    SetLastError(error);
    return closed;
  }
  // The remaining holder is as a rule the monitor: let it go after a while.
  // Only the monitored port's last client leaving counts: the monitor
  // handing back a port it leaves must not stop it while clients still hold
  // the one it goes to.
  if (record.refCount == 1 && index == ServiceState.monitoredPort) {
    PostThreadMessageW(ServiceState.monitorThreadId.load(), service::MonitorStop,
                       service::kIdleStopDelayMs, 0);
    Sleep(kCloseSleepMs);
  }
  return TRUE;
}
