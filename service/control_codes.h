// The service side of the control interface (the codes themselves are in
// kelo/service_control.h) and the messages the service posts to its
// status monitor thread.
#pragma once

#include "kelo/service_control.h"
#include "platform/win_types.h"

namespace service {

// Bits 8 to 23 of a control code carry the command, bits 0 to 7 the port
// index (1 to 255; 0 is never a port); bits 24 to 31 are ignored.
inline constexpr DWORD kCommandMask = 0x00FFFF00;
inline constexpr DWORD kIndexMask = 0x000000FF;

// Thread messages to the status monitor.
inline constexpr UINT MonitorStop = 0x401;  // wParam: 0 = now, else a delay in ms
// How long the monitor lingers once nobody but itself needs it.
inline constexpr DWORD kIdleStopDelayMs = 30000;
// wParam: port handle; lParam: PortKind in bits 0-7, bits 16-31 non-zero =
// close the handle after sending; bits 8-15 non-zero: the index of the open
// port the handle belongs to, whose reference taken for the reset the
// monitor gives back after sending.
inline constexpr UINT MonitorSendReset = 0x402;
// wParam: port index in bits 0-7, reply wait in ms in bits 16-31; lParam:
// bits 0-15 non-zero = send a status request, bits 16-31 non-zero = by RTS
// pulse instead of ESC k 255.
inline constexpr UINT MonitorWatch = 0x403;
inline constexpr UINT MonitorAttach = 0x404;  // as MonitorWatch, taking a port reference
inline constexpr UINT MonitorKeepAlive = 0x405;  // cancels a pending delayed stop
// As MonitorWatch, with a port reference the sender took for the monitor: a
// second one for the port it already watches goes back at once.
inline constexpr UINT MonitorWatchHeld = 0x406;

// An open that would need a 256th port index or a 256th reference.
inline constexpr DWORD kErrorTooManyOpens = 4;  // the platform's "too many open files"

}  // namespace service
