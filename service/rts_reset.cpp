#include "platform/kernel.h"
#include "port/port_io.h"
#include "service/rts.h"
#include "service/service_state.h"

void SendRtsModeCommand(HANDLE port, BYTE kind, DWORD setting) {
  const BYTE command[4] = {0x1B, 0x51, 0x0F, static_cast<BYTE>(setting & 0xFF)};
  WritePort(port, kind, command, sizeof(command));
}

void sendRtsModeWithRetries(HANDLE port, BYTE kind) {
  if (!ServiceState.RTSOnOff) return;
  const BYTE command[4] = {0x1B, 0x51, 0x0F, static_cast<BYTE>(ServiceState.RTSOn & 0xFF)};
  for (DWORD attempt = 0; attempt < ServiceState.RTSMaxRetries; ++attempt) {
    const BOOL written = WritePort(port, kind, command, sizeof(command));
    Sleep(ServiceState.RTSRetryWait);
    if (written) return;
  }
}

BOOL HardwareReset(HANDLE port, BYTE kind) {
  PurgePort(port, kind, FALSE);
  if (!SetRtsLine(port, TRUE)) return FALSE;  // no RTS line: a parallel-class port
  Sleep(ServiceState.ResetTime);
  const BOOL raised = SetRtsLine(port, FALSE);
  Sleep(ServiceState.ResetWaitTime);
  sendRtsModeWithRetries(port, kind);
  return raised;
}
