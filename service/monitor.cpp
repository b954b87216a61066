// MonitorThreadProc: one pass reads the monitored port (under the lock),
// queues what came, checks the reply deadline, then handles one message or
// sleeps.

#include "service/monitor.h"

#include <cstdint>

#include "platform/kernel.h"
#include "platform/threads.h"
#include "port/port_io.h"
#include "port/port_kind.h"
#include "service/control_codes.h"
#include "service/port_table.h"
#include "service/service_state.h"
#include "service/stream_entry.h"

using namespace service;

namespace {

constexpr DWORD kReadChunk = 64;
constexpr DWORD kIdleSleepMs = 200;  // no port monitored
constexpr DWORD kQuietParallelSleepMs = 100;  // a parallel-class port had nothing
constexpr DWORD kReplyGraceMs = 100;  // added to the client's reply wait
constexpr DWORD kRtsPulseMs = 20;
constexpr DWORD kAfterPulseMs = 50;
// Longest delay a deadline can stand for: differences of tick counts are
// read as signed 32-bit numbers.
constexpr DWORD kLongestDelayMs = 0x7FFFFFFF;

constexpr BYTE kStatusRequest[3] = {0x1B, 0x6B, 0xFF};  // ESC k 255
constexpr BYTE kResetCommand[2] = {0x1B, 0x40};  // ESC @

struct MonitorLocal {
  BYTE currentIndex = 0;  // 0 = no port monitored
  HANDLE handle = INVALID_HANDLE_VALUE;
  BYTE kind = 0;
  bool awaitingReply = false;
  DWORD replyDeadline = 0;  // tick count
  bool stopArmed = false;
  DWORD stopDeadline = 0;  // tick count, wrapping
  bool portLost = false;
  bool emptyRead = false;
  bool failedRead = false;  // this pass's read failed other than by time-out
};

DWORD Bits16To31(uint64_t value) { return static_cast<DWORD>((value >> 16) & 0xFFFF); }

void SignalEvent(HANDLE event) {
  if (event != nullptr) SetEvent(event);
}

void TrimQueue(std::deque<StatusRecord>& queue) {
  while (queue.size() > kStatusQueueLimit) queue.pop_front();
}

StatusRecord MakeRecord(BYTE status) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  StatusRecord record{};
  record.second = static_cast<BYTE>(now.wSecond);
  record.minute = static_cast<BYTE>(now.wMinute);
  record.hour = static_cast<BYTE>(now.wHour);
  record.day = static_cast<BYTE>(now.wDay);
  record.month = static_cast<BYTE>(now.wMonth);
  record.yearLow = static_cast<BYTE>(now.wYear & 0xFF);
  record.yearHigh = static_cast<BYTE>(now.wYear >> 8);
  record.status = status;
  return record;
}

void QueueBytes(MonitorLocal& m, const BYTE* bytes, DWORD count) {
  for (DWORD i = 0; i < count; ++i) {
    const StatusRecord record = MakeRecord(bytes[i]);
    ServiceLock guard;
    ServiceState.queuedPort = m.currentIndex;
    try {
      ServiceState.statusQueue.push_back(record);
    } catch (...) {
      continue;  // no memory: this byte is lost
    }
    try {
      ServiceState.statusHistory.push_back(record);
    } catch (...) {
      // no memory for the copy: only the history misses it
    }
    TrimQueue(ServiceState.statusQueue);
    TrimQueue(ServiceState.statusHistory);
  }
  m.awaitingReply = false;
  SignalEvent(ServiceState.statusDataEvent);
}

// Differences, not absolute values: the tick count wraps, and a deadline
// just before the wrap is due just after it.
bool Due(DWORD now, DWORD deadline) { return static_cast<int32_t>(now - deadline) >= 0; }

void ArmStop(MonitorLocal& m, DWORD delay) {
  m.stopArmed = true;
  m.stopDeadline = GetTickCount() + (delay < kLongestDelayMs ? delay : kLongestDelayMs);
}

void GiveBackReference(BYTE index) {
  KLP_IOControl(0, KLP_CLOSE + index, nullptr, 0, nullptr, 0, nullptr);
}

// False when the port is not open: the thread is idle then.
bool SelectPort(MonitorLocal& m, BYTE index) {
  if (index == m.currentIndex) return true;
  if (m.currentIndex != 0 && m.handle != INVALID_HANDLE_VALUE) {
    // No longer watched before it is handed back, so that a client still
    // holding it does not look like the monitor's last reason to run.
    {
      ServiceLock guard;
      ServiceState.monitoredPort = 0;
    }
    GiveBackReference(m.currentIndex);
    m.handle = INVALID_HANDLE_VALUE;
  }
  m.currentIndex = index;
  ServiceLock guard;
  if (ServiceState.queuedPort != index) ServiceState.statusQueue.clear();
  const auto it = ServiceState.g_mapOpenPorts.find(index);
  if (it == ServiceState.g_mapOpenPorts.end()) {
    m.currentIndex = 0;
    // Idle: the port it watched before is no longer watched. With nothing
    // to watch, the monitor stops after the usual delay unless a client
    // comes back (its open cancels the stop): a port closed while its
    // attach message was on the way left no close to arm the stop, and the
    // thread idled until the service unloaded.
    ServiceState.monitoredPort = 0;
    if (!m.stopArmed) ArmStop(m, kIdleStopDelayMs);
    return false;
  }
  m.handle = it->second.handle;
  m.kind = it->second.kind;
  ServiceState.monitoredPort = index;
  return true;
}

void SendRequest(MonitorLocal& m, DWORD replyWaitMs, uint64_t flags) {
  if ((flags & 0xFFFF) == 0) return;
  if (Bits16To31(flags) == 0) {
    if (!WritePort(m.handle, m.kind, kStatusRequest, sizeof(kStatusRequest))) {
      SignalEvent(ServiceState.statusTimeoutEvent);
      return;
    }
  } else {
    if (!SetRtsLine(m.handle, TRUE)) {
      SignalEvent(ServiceState.statusTimeoutEvent);
      return;
    }
    Sleep(kRtsPulseMs);
    const BOOL raised = SetRtsLine(m.handle, FALSE);
    Sleep(kAfterPulseMs);
    if (!raised) {
      SignalEvent(ServiceState.statusTimeoutEvent);
      return;
    }
  }
  if (replyWaitMs > 0) {
    m.awaitingReply = true;
    m.replyDeadline = GetTickCount() + replyWaitMs + kReplyGraceMs;
  }
}

void WatchPort(MonitorLocal& m, const MSG& msg) {
  if (SelectPort(m, static_cast<BYTE>(msg.wParam & 0xFF))) {
    SendRequest(m, Bits16To31(msg.wParam), static_cast<uint64_t>(msg.lParam));
  }
}

// False when the attach cannot take its reference (the count is at 255):
// the message is dropped rather than hand back a reference never taken.
bool TakeReference(const MonitorLocal& m, BYTE index) {
  if (index == m.currentIndex) return true;
  ServiceLock guard;
  const auto it = ServiceState.g_mapOpenPorts.find(index);
  if (it == ServiceState.g_mapOpenPorts.end()) return true;
  if (it->second.refCount == 255) return false;
  ++it->second.refCount;
  return true;
}

void SendReset(const MSG& msg) {
  const HANDLE port = reinterpret_cast<HANDLE>(msg.wParam);
  const uint64_t flags = static_cast<uint64_t>(msg.lParam);
  const BYTE kind = static_cast<BYTE>(flags & 0xFF);
  if (!WritePort(port, kind, kResetCommand, sizeof(kResetCommand))) {
    SignalEvent(ServiceState.statusTimeoutEvent);
  }
  if (Bits16To31(flags) != 0) ClosePort(port, kind);
  const BYTE index = static_cast<BYTE>((flags >> 8) & 0xFF);
  if (index != 0) GiveBackReference(index);
}

// False when the thread is to end.
bool HandleMessage(MonitorLocal& m, const MSG& msg) {
  switch (msg.message) {
    case MonitorStop: {
      const DWORD delay = static_cast<DWORD>(msg.wParam);
      if (delay == 0) return false;
      ArmStop(m, delay);
      return true;
    }
    case MonitorSendReset:
      SendReset(msg);
      return true;
    case MonitorWatch:
      WatchPort(m, msg);
      return true;
    case MonitorWatchHeld:
      if (static_cast<BYTE>(msg.wParam & 0xFF) == m.currentIndex) {
        GiveBackReference(m.currentIndex);
      }
      WatchPort(m, msg);
      return true;
    case MonitorAttach: {
      // The reference and the switch to the port under one hold of the
      // lock: in between, a client could close the port and another open a
      // new one under the same index, which the monitor would then hold
      // without a reference of its own and later close under its owner.
      ServiceLock guard;
      if (TakeReference(m, static_cast<BYTE>(msg.wParam & 0xFF))) WatchPort(m, msg);
      return true;
    }
    case MonitorKeepAlive:
      m.stopArmed = false;
      return true;
    default:
      return true;
  }
}

// Returns when the monitor is to end: on MonitorStop, when an armed stop is
// due, or when the port is gone.
void RunPasses(MonitorLocal& m) {
  for (;;) {
    m.emptyRead = false;
    m.failedRead = false;
    const DWORD now = GetTickCount();
    if (m.currentIndex != 0) {
      BYTE bytes[kReadChunk];
      DWORD count = 0;
      BOOL read = FALSE;
      DWORD error = 0;
      {
        ServiceLock guard;
        read = ReadPort(m.handle, m.kind, bytes, kReadChunk, &count);
        error = GetLastError();
      }
      if (!read) {
        if (error == ERROR_GRACEFUL_DISCONNECT || error == ERROR_SERIAL_NO_DEVICE) {
          m.portLost = true;
        } else if (error != ERROR_TIMEOUT) {
          // A read that fails at once must not make the thread spin.
          m.failedRead = true;
        }
      } else if (count == 0) {
        m.emptyRead = true;
      } else {
        QueueBytes(m, bytes, count < kReadChunk ? count : kReadChunk);
      }
    }
    // The reply wait ends once its deadline is behind (a difference: the
    // tick count wraps).
    if (m.awaitingReply && static_cast<int32_t>(now - m.replyDeadline) > 0) {
      SignalEvent(ServiceState.statusTimeoutEvent);
      m.awaitingReply = false;
    }
    if (m.portLost) return;

    MSG msg{};
    if (PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
      if (GetMessageW(&msg, nullptr, 0, 0) > 0 && !HandleMessage(m, msg)) return;
      continue;  // after a message the next pass starts at once
    }
    if (m.stopArmed && Due(now, m.stopDeadline)) return;
    if (m.currentIndex == 0) {
      Sleep(kIdleSleepMs);
    } else if ((m.kind == kPortParallel && m.emptyRead) || m.failedRead) {
      Sleep(kQuietParallelSleepMs);
    } else {
      Sleep(0);
    }
  }
}

void ExitMonitor(MonitorLocal& m) {
  ServiceLock guard;
  ServiceState.monitorThread.store(nullptr);
  ServiceState.monitorThreadId.store(0);
  ServiceState.monitoredPort = 0;
  if (m.currentIndex != 0 && m.handle != INVALID_HANDLE_VALUE) {
    if (m.portLost) {
      // The port is gone: this release is its final close, whoever holds it.
      const auto it = ServiceState.g_mapOpenPorts.find(m.currentIndex);
      if (it != ServiceState.g_mapOpenPorts.end()) it->second.refCount = 1;
    }
    GiveBackReference(m.currentIndex);
  }
}

}  // namespace

DWORD WINAPI MonitorThreadProc(LPVOID) {
  MonitorLocal m;
  RunPasses(m);
  ExitMonitor(m);
  // A reset handed over before the stop is still sent: the temporary
  // handle it carries would otherwise stay open for good. Nothing more
  // arrives: the commands post under the lock, reading monitorThreadId,
  // which ExitMonitor cleared under it.
  MSG msg{};
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE) && GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == MonitorSendReset) SendReset(msg);
  }
  // From here on the thread touches neither the lock nor the events. If
  // KLP_Deinit gave up waiting for it, their release is this thread's job.
  int expected = kTeardownNone;
  if (!ServiceState.teardown.compare_exchange_strong(expected, kTeardownMonitorLeft)) {
    CloseAllPorts();
    ReleaseServiceSyncObjects();
  }
  return 1;
}
