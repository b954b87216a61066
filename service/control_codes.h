// The control commands of "KLP1:" and the messages the service posts to its
// status monitor thread.
#pragma once

#include "platform/win_types.h"

namespace service {

// Bits 8 to 23 of a control code carry the command, bits 0 to 7 the port
// index (1 to 255; 0 is never a port); bits 24 to 31 are ignored.
inline constexpr DWORD kCommandMask = 0x00FFFF00;
inline constexpr DWORD kIndexMask = 0x000000FF;

inline constexpr DWORD KLP_OPEN = 0x100;
inline constexpr DWORD KLP_WRITE = 0x200;
inline constexpr DWORD KLP_CLOSE = 0x300;
inline constexpr DWORD KLP_READ = 0x400;
inline constexpr DWORD KLP_RTS_CONTROL = 0x500;
inline constexpr DWORD KLP_CHECK_STATUS = 0x600;
inline constexpr DWORD KLP_BEGIN_JOB = 0x700;
inline constexpr DWORD KLP_END_JOB = 0x800;
inline constexpr DWORD KLP_RESET_PRINTER = 0x900;
inline constexpr DWORD KLP_UPDATE_PRINTERSTATUS = 0xA00;
inline constexpr DWORD KLP_GET_PRINTERSTATUS = 0xB00;
inline constexpr DWORD KLP_OPEN_QUIET = 0xC00;
inline constexpr DWORD KLP_RTS_RESET = 0xD00;
inline constexpr DWORD KLP_STOP_PORTMONITOR = 0xE00;
inline constexpr DWORD KLP_WRITE_IF_IDLE = 0x1000;
inline constexpr DWORD KLP_GET_INDEX = 0x1100;

// Thread messages to the status monitor.
inline constexpr UINT MonitorStop = 0x401;  // wParam: 0 = now, else a delay in ms
// How long the monitor lingers once nobody but itself needs it.
inline constexpr DWORD kIdleStopDelayMs = 30000;
// wParam: port handle; lParam: PortKind in bits 0-7, bits 16-31 non-zero =
// close the handle after sending.
inline constexpr UINT MonitorSendReset = 0x402;
// wParam: port index in bits 0-7, reply wait in ms in bits 16-31; lParam:
// bits 0-15 non-zero = send a status request, bits 16-31 non-zero = by RTS
// pulse instead of ESC k 255.
inline constexpr UINT MonitorWatch = 0x403;
inline constexpr UINT MonitorAttach = 0x404;  // as MonitorWatch, taking a port reference
inline constexpr UINT MonitorKeepAlive = 0x405;  // cancels a pending delayed stop

// Status error codes of KLP_CHECK_STATUS besides 21 and 28.
inline constexpr DWORD kErrorStatusBit2 = 16000;
inline constexpr DWORD kErrorOutOfPaperAndBit2 = 16001;
// An open that would need a 256th port index or a 256th reference.
inline constexpr DWORD kErrorTooManyOpens = 4;  // the platform's "too many open files"

}  // namespace service
