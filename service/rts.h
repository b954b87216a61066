// The RTS mode command ESC Q 15 n and the two RTS-based printer resets.
#pragma once

#include "platform/win_types.h"

// Writes ESC Q 15 with the low byte of `setting` once; the result is not
// looked at. Call only when RTSOnOff is on.
void SendRtsModeCommand(HANDLE port, BYTE kind, DWORD setting);
// When RTSOnOff is on: ESC Q 15 with RTSOn, up to RTSMaxRetries attempts,
// sleeping RTSRetryWait ms after each (the successful one too).
void sendRtsModeWithRetries(HANDLE port, BYTE kind);
// Purge of pending serial output, RTS dropped for ResetTime, raised, a wait
// of ResetWaitTime, then the RTS mode command with retries. FALSE at once
// when the line cannot be dropped; otherwise the result of raising it.
// Runs without ServiceState.lock.
BOOL HardwareReset(HANDLE port, BYTE kind);
