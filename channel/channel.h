// Opening and closing the channel to "KLP1:" and the control commands the
// driver sends to the device service.
#pragma once

#include "channel/printer_channel.h"

// Control commands; the low byte of a code carries the port index.
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

// Opens the channel and sends the start-up sequence. Returns the device
// handle, or INVALID_HANDLE_VALUE with last error ERROR_INVALID_HANDLE.
HANDLE OpenForPrinting(PrinterChannel& channel, const ChannelSettings& settings,
                       LPCWSTR portName);
// Opens "KLP1:" (activating the service once if needed) and the port by name.
HANDLE OpenChannel(PrinterChannel& channel, LPCWSTR portName);
// Flushes, closes the port and the device handle. Nothing when closed.
void CloseChannel(PrinterChannel& channel);
// Non-zero when the printer is ready; retries while the service answers
// ERROR_NOT_READY (at most 9 checks, 800 ms of waits).
BOOL CheckStatusWithRetry(PrinterChannel& channel);
// One status command without retries.
BOOL CheckStatus(PrinterChannel& channel);
BOOL BeginJob(PrinterChannel& channel);
// Ends the job on the port; fails when what the port holds did not leave
// it (the last error says why).
BOOL EndJob(PrinterChannel& channel);
BOOL ResetThroughRts(PrinterChannel& channel);
// 1 drops the RTS line, 0 raises it.
BOOL SetRts(PrinterChannel& channel, DWORD value);
// The write command with `length` bytes from `data`; `taken` receives the
// bytes the port accepted, also when the command failed.
BOOL SendWriteCommand(PrinterChannel& channel, const BYTE* data, DWORD length, DWORD* taken);
