// The exported entry points of the stream device "KLP1:".
#pragma once

#include "platform/win_types.h"

#if defined(ResetPrinter)
#error "<windows.h> was included with the spooler header, whose ResetPrinter macro would rename the ResetPrinter export: define WIN32_LEAN_AND_MEAN"
#endif

// 1 = loaded; 0 = a named event could not be created (the lock exists and
// the settings are read all the same).
KELO_EXPORT DWORD KLP_Init(LPCWSTR activeKey, LPCVOID busContext);
// Stops the monitor (waiting up to 2000 ms), closes the events, deletes the
// lock. Always TRUE.
KELO_EXPORT BOOL KLP_Deinit(DWORD deviceContext);
// KLP_Open, KLP_Close and the five further exports share one routine that
// ignores its arguments and returns 1.
KELO_EXPORT DWORD KLP_Open(DWORD deviceContext, DWORD access, DWORD share);
KELO_EXPORT BOOL KLP_Close(DWORD openContext);
KELO_EXPORT DWORD DrvAdvPageSetupDlg();
KELO_EXPORT DWORD GetPrinterStatus();
KELO_EXPORT DWORD ResetPrinter();
KELO_EXPORT DWORD StopPortMonitor();
KELO_EXPORT DWORD UpdatePrinterStatus();
// The control interface: command in bits 8-23 of `code`, port index in bits
// 0-7. FALSE with the reason in the last error (or none, per command).
KELO_EXPORT BOOL KLP_IOControl(DWORD openContext, DWORD code, PBYTE in, DWORD inLen, PBYTE out,
                              DWORD outLen, PDWORD actualOut);
