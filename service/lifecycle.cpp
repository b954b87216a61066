// The service's global record, its entry points and its settings.

#include "platform/kernel.h"
#include "platform/registry.h"
#include "port/port_open.h"
#include "service/control_codes.h"
#include "service/monitor.h"
#include "service/port_table.h"
#include "service/service_state.h"
#include "service/stream_entry.h"

ServiceStateData ServiceState;

namespace {

constexpr DWORD kDeinitWaitMs = 2000;
constexpr DWORD kFirstStartSleepMs = 250;
constexpr DWORD kKeepAliveSleepMs = 150;

DWORD DoNothing() { return 1; }

void ResetSettings() {
  ServiceState.RTSOnOff = false;
  ServiceState.RTSOn = 13;
  ServiceState.RTSOff = 1;
  ServiceState.ResetTime = 220;
  ServiceState.ResetWaitTime = 400;
  ServiceState.RTSMaxRetries = 1000;
  ServiceState.RTSRetryWait = 50;
}

void ReadSettings() {
  ResetSettings();
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Drivers\\BuiltIn\\KLP"), 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return;
  }
  DWORD present = 0;
  // Any readable value switches the command on, 0 included.
  if (QueryDword(key, TEXT("RTSOnOff"), &present)) ServiceState.RTSOnOff = true;
  QueryDword(key, TEXT("RTSOn"), &ServiceState.RTSOn);
  QueryDword(key, TEXT("RTSOff"), &ServiceState.RTSOff);
  QueryDword(key, TEXT("ResetTime"), &ServiceState.ResetTime);
  QueryDword(key, TEXT("ResetWaitTime"), &ServiceState.ResetWaitTime);
  QueryDword(key, TEXT("RTSMaxRetries"), &ServiceState.RTSMaxRetries);
  QueryDword(key, TEXT("RTSRetryWait"), &ServiceState.RTSRetryWait);
  RegCloseKey(key);
}

void CloseMonitorHandle() {
  if (ServiceState.monitorHandle != nullptr) CloseHandle(ServiceState.monitorHandle);
  ServiceState.monitorHandle = nullptr;
}

}  // namespace

ServiceStateData::~ServiceStateData() {
  const DWORD id = monitorThreadId.load();
  if (id == 0) return;
  PostThreadMessageW(id, service::MonitorStop, 0, 0);
  if (monitorHandle != nullptr) WaitForSingleObject(monitorHandle, kDeinitWaitMs);
}

void ReleaseServiceSyncObjects() {
  if (ServiceState.statusDataEvent != nullptr) CloseHandle(ServiceState.statusDataEvent);
  ServiceState.statusDataEvent = nullptr;
  if (ServiceState.statusTimeoutEvent != nullptr) CloseHandle(ServiceState.statusTimeoutEvent);
  ServiceState.statusTimeoutEvent = nullptr;
  if (ServiceState.lockCreated) DeleteCriticalSection(&ServiceState.lock);
  ServiceState.lockCreated = false;
}

BOOL ensureMonitor() {
  if (!ServiceState.lockCreated) return FALSE;
  bool started = false;
  {
    ServiceLock guard;
    if (ServiceState.monitorThread.load() != nullptr) {
      PostThreadMessageW(ServiceState.monitorThreadId.load(), service::MonitorKeepAlive, 0, 0);
    } else {
      // A monitor that ended on its own has already left the lock (it clears
      // monitorThread under it); only its return is outstanding. It must be
      // gone before the next one shares the teardown flag.
      if (ServiceState.monitorHandle != nullptr) {
        WaitForSingleObject(ServiceState.monitorHandle, INFINITE);
        CloseMonitorHandle();
      }
      ServiceState.teardown.store(kTeardownNone);
      DWORD id = 0;
      HANDLE thread = CreateThread(nullptr, 0, MonitorThreadProc, nullptr, 0, &id);
      if (thread == nullptr) return FALSE;
      ServiceState.monitorHandle = thread;
      ServiceState.monitorThreadId.store(id);
      ServiceState.monitorThread.store(thread);
      started = true;
    }
  }
  Sleep(started ? kFirstStartSleepMs : kKeepAliveSleepMs);
  return TRUE;
}

DWORD KLP_Init(LPCWSTR, LPCVOID) {
  // A monitor that outlived the last KLP_Deinit takes the old lock and events
  // down itself; they must be gone before new ones are made.
  if (ServiceState.monitorHandle != nullptr &&
      ServiceState.teardown.load() == kTeardownHandedOver) {
    WaitForSingleObject(ServiceState.monitorHandle, INFINITE);
    CloseMonitorHandle();
  }
  DWORD result = 1;
  if (!ServiceState.lockCreated) {
    InitializeCriticalSection(&ServiceState.lock);
    ServiceState.lockCreated = true;
  }
  if (ServiceState.statusDataEvent == nullptr) {
    ServiceState.statusDataEvent = CreateEventW(nullptr, FALSE, FALSE, KELO_STATUS_DATA_EVENT);
  }
  if (ServiceState.statusDataEvent == nullptr) result = 0;
  if (ServiceState.statusTimeoutEvent == nullptr) {
    ServiceState.statusTimeoutEvent =
        CreateEventW(nullptr, FALSE, FALSE, KELO_STATUS_TIMEOUT_EVENT);
  }
  if (ServiceState.statusTimeoutEvent == nullptr) result = 0;
  ReadSettings();
  return result;
}

BOOL KLP_Deinit(DWORD) {
  if (ServiceState.monitorThread.load() != nullptr) {
    PostThreadMessageW(ServiceState.monitorThreadId.load(), service::MonitorStop, 0, 0);
  }
  bool monitorGone = true;
  if (ServiceState.monitorHandle != nullptr &&
      WaitForSingleObject(ServiceState.monitorHandle, kDeinitWaitMs) != WAIT_OBJECT_0) {
    // Still running, and it may yet take the lock or set an event: unless it
    // let go of both since the wait ended, it tears them down as it leaves.
    int expected = kTeardownNone;
    if (ServiceState.teardown.compare_exchange_strong(expected, kTeardownHandedOver)) {
      monitorGone = false;
    }
  }
  // Ports that clients left open are closed as their last close would close
  // them: left open, they would keep their descriptors, and a later
  // KLP_Init would inherit a table whose indices still write. A monitor
  // that outlived the wait does this as it leaves, with the rest of the
  // teardown.
  if (monitorGone) {
    CloseAllPorts();
    CloseMonitorHandle();
    ReleaseServiceSyncObjects();
  }
  return TRUE;
}

DWORD KLP_Open(DWORD, DWORD, DWORD) { return DoNothing(); }
BOOL KLP_Close(DWORD) { return static_cast<BOOL>(DoNothing()); }
DWORD DrvAdvPageSetupDlg() { return DoNothing(); }
DWORD GetPrinterStatus() { return DoNothing(); }
DWORD ResetPrinter() { return DoNothing(); }
DWORD StopPortMonitor() { return DoNothing(); }
DWORD UpdatePrinterStatus() { return DoNothing(); }
