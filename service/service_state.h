// ServiceState: the one global record of the device service "KLP1:".
//
// Locking. There is one lock, ServiceState.lock, a re-entrant critical
// section; the service takes no other lock of its own, so the only order to
// keep is this: never wait for a monitor thread that may still want the lock
// while holding it. KLP_Deinit and KLP_Init wait for the monitor without the
// lock. ensureMonitor waits under the lock only for a monitor that has
// already cleared monitorThread, which it does in its last stretch under the
// lock, so that wait cannot block on the lock. The platform's own locks nest
// only inside the service lock, never around it: the platform holds none of
// them while it calls into a device (KLP1: included).
// The monitor calls KLP_CLOSE through KLP_IOControl with the lock held; the
// lock is re-entrant.
//
// Who owns what:
//   lock, lockCreated          created by KLP_Init, deleted by KLP_Deinit, or
//                              by a monitor that outlived KLP_Deinit's wait
//                              (see teardown); lockCreated is atomic because
//                              that monitor clears it while clients may look
//   statusDataEvent,
//   statusTimeoutEvent         created by KLP_Init, closed by KLP_Deinit or by
//                              that same late monitor; set by the monitor
//                              without the lock
//   settings (RTSOnOff ...)    written by KLP_Init only, read without the lock
//   monitorThread,
//   monitorThreadId            atomics: written by ensureMonitor (under lock) and
//                              by the monitor as it ends (under lock); read
//                              without the lock by anyone posting to it
//   monitorHandle              the service's own handle of the last monitor
//                              thread: written by ensureMonitor under lock and
//                              by KLP_Init / KLP_Deinit; the monitor never
//                              touches it
//   teardown                   atomic hand-over between KLP_Deinit and a monitor
//                              that outlived its wait
//   g_mapOpenPorts and every
//   PortRecord, statusHistory,
//   statusQueue, monitoredPort,
//   queuedPort                 under lock, from any thread
//   the monitored port handle  copied out of its record by the monitor under
//                              lock and used after it (status request, RTS
//                              pulse): the reference the monitor holds keeps
//                              the port open meanwhile
//   lastOpenedModel            atomic: written under lock by the open commands,
//                              read by the driver face without it
//   the monitor's own state    (current index, handle, deadlines) belongs to
//                              the monitor thread alone; work reaches it only
//                              as thread messages
#pragma once

#include <atomic>
#include <deque>
#include <map>

#include "kelo/service_control.h"
#include "platform/threads.h"
#include "platform/wide_string.h"
#include "platform/win_types.h"

// One open physical port, owned by g_mapOpenPorts.
struct PortRecord {
  HANDLE handle = INVALID_HANDLE_VALUE;  // never INVALID_HANDLE_VALUE once stored
  BYTE kind = 0;  // PortKind
  kelo::WideString name;  // the name given at open time, up to its terminator
  BYTE refCount = 1;  // holders; never wraps: an open past 255 fails
  DWORD jobActive = 0;  // 1 between KLP_BEGIN_JOB and KLP_END_JOB
};


inline constexpr size_t kStatusQueueLimit = 64;

// States of ServiceStateData::teardown.
enum MonitorTeardown : int {
  kTeardownNone = 0,  // KLP_Deinit has not given up on the running monitor
  kTeardownMonitorLeft = 1,  // the monitor no longer touches lock or events
  kTeardownHandedOver = 2,  // KLP_Deinit gave up waiting: the monitor tears down
};

struct ServiceStateData {
  ServiceStateData() = default;
  ServiceStateData(const ServiceStateData&) = delete;
  ServiceStateData& operator=(const ServiceStateData&) = delete;
  // Stops a monitor still running at unload, so that it never outlives the
  // containers below.
  ~ServiceStateData();

  CRITICAL_SECTION lock{};
  std::atomic<bool> lockCreated{false};
  HANDLE statusDataEvent = nullptr;  // "KELO_PRINTER_STATUS_DATA", auto-reset
  HANDLE statusTimeoutEvent = nullptr;  // "KELO_PRINTER_STATUS_TIMEOUT", auto-reset

  std::atomic<HANDLE> monitorThread{nullptr};  // 0: not running
  std::atomic<DWORD> monitorThreadId{0};
  HANDLE monitorHandle = nullptr;
  std::atomic<int> teardown{kTeardownNone};

  BYTE monitoredPort = 0;  // the port the monitor watches; 0 = none
  BYTE queuedPort = 0;  // the port whose bytes statusQueue holds
  std::deque<StatusRecord> statusHistory;  // at most kStatusQueueLimit
  std::deque<StatusRecord> statusQueue;  // at most kStatusQueueLimit
  std::map<BYTE, PortRecord> g_mapOpenPorts;  // port index -> record
  std::atomic<BYTE> lastOpenedModel{0};  // PrinterModel

  // Settings from "Drivers\BuiltIn\KLP", read by KLP_Init.
  bool RTSOnOff = false;  // send ESC Q 15 n at open, final close and after resets
  DWORD RTSOn = 13;  // low byte: n after open and reset
  DWORD RTSOff = 1;  // low byte: n before the final close
  DWORD ResetTime = 220;  // ms RTS stays dropped in the hardware reset
  DWORD ResetWaitTime = 400;  // ms of waiting after RTS is raised again
  DWORD RTSMaxRetries = 1000;  // attempts of ESC Q 15 n after a reset
  DWORD RTSRetryWait = 50;  // ms after each attempt
};

extern ServiceStateData ServiceState;

// Holds ServiceState.lock from construction; Release() leaves it early,
// Acquire() takes it back.
class ServiceLock {
 public:
  ServiceLock() { EnterCriticalSection(&ServiceState.lock); }
  ~ServiceLock() { Release(); }
  ServiceLock(const ServiceLock&) = delete;
  ServiceLock& operator=(const ServiceLock&) = delete;
  void Release() {
    if (held_) LeaveCriticalSection(&ServiceState.lock);
    held_ = false;
  }
  // Takes the lock again after Release().
  void Acquire() {
    if (!held_) EnterCriticalSection(&ServiceState.lock);
    held_ = true;
  }

 private:
  bool held_ = true;
};

// Starts the status monitor, or keeps the running one alive (MonitorKeepAlive).
// FALSE when the thread could not be created. Callable with or without the
// lock held.
BOOL ensureMonitor();

// Closes the events and deletes the lock.
void ReleaseServiceSyncObjects();
