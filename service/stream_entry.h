// The exported entry points of the stream device "KLP1:".
#pragma once

#include "platform/win_types.h"

#define KLP_EXPORT extern "C" __attribute__((visibility("default")))

// 1 = loaded; 0 = a named event could not be created (the lock exists and
// the settings are read all the same).
KLP_EXPORT DWORD KLP_Init(LPCWSTR activeKey, LPCVOID busContext);
// Stops the monitor (waiting up to 2000 ms), closes the events, deletes the
// lock. Always TRUE.
KLP_EXPORT BOOL KLP_Deinit(DWORD deviceContext);
// KLP_Open, KLP_Close and the five further exports share one routine that
// ignores its arguments and returns 1.
KLP_EXPORT DWORD KLP_Open(DWORD deviceContext, DWORD access, DWORD share);
KLP_EXPORT BOOL KLP_Close(DWORD openContext);
KLP_EXPORT DWORD DrvAdvPageSetupDlg();
KLP_EXPORT DWORD GetPrinterStatus();
KLP_EXPORT DWORD ResetPrinter();
KLP_EXPORT DWORD StopPortMonitor();
KLP_EXPORT DWORD UpdatePrinterStatus();
// The control interface: command in bits 8-23 of `code`, port index in bits
// 0-7. FALSE with the reason in the last error (or none, per command).
KLP_EXPORT BOOL KLP_IOControl(DWORD openContext, DWORD code, PBYTE in, DWORD inLen, PBYTE out,
                              DWORD outLen, PDWORD actualOut);
