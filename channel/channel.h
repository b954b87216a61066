// Opening and closing the channel to "KLP1:" and the control commands the
// driver sends to the device service.
#pragma once

#include "channel/printer_channel.h"
#include "kelo/service_control.h"


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
