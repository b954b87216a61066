// The status and reset commands for applications: they name their port,
// steer the status monitor with thread messages and hand out what it
// queued. Each runs inside the dispatcher, holding ServiceState.lock.
#pragma once

#include "service/control_call.h"
#include "service/service_state.h"

// KLP_RESET_PRINTER: ESC @ through the monitor (flag 0) or the reset by RTS
// pulse (flag set). FALSE when the port is neither open nor openable, or
// while a document is being printed on it (flag 0, no code).
BOOL CommandResetPrinter(const ControlCall& call, ServiceLock& guard);
// KLP_UPDATE_PRINTERSTATUS: the monitor watches the named port and asks it
// for its status. TRUE when the monitor was told.
BOOL CommandUpdatePrinterStatus(const ControlCall& call);
// KLP_GET_PRINTERSTATUS: the size of, or the records of, statusQueue,
// oldest first; a port not yet watched is attached and answers no records.
BOOL CommandGetPrinterStatus(const ControlCall& call);
// KLP_STOP_PORTMONITOR: a delayed stop of the monitor when any open port
// matches the name.
BOOL CommandStopPortMonitor(const ControlCall& call);
