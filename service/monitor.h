// The status monitor thread: reads the printer's status bytes from one open
// port, queues them as StatusRecords and sends status requests and resets
// on the service's behalf. Driven by the messages of control_codes.h.
#pragma once

#include "platform/win_types.h"

// Thread entry; the parameter is not used. Returns 1.
DWORD WINAPI MonitorThreadProc(LPVOID parameter);
