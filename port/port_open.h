// Resolving a port name, opening the port and configuring it.
#pragma once

#include "platform/comm.h"
#include "platform/registry.h"
#include "platform/win_types.h"

// A value of the service key of at most 4 bytes, read into a zeroed DWORD
// whatever its stored type; false (and *value untouched) when it cannot be
// read. The service's own settings are read the same way.
bool QueryDword(HKEY key, const WCHAR* name, DWORD* value);

// Opens the printer port `name` (null: the registry's "DefaultPrintPort",
// then "LPT1:"). Returns the handle and writes the PortKind to *kindOut, or
// returns INVALID_HANDLE_VALUE with the reason in the last error (kindOut
// untouched). A null kindOut fails at once and sets nothing.
HANDLE OpenPrinterPort(LPCWSTR name, BYTE* kindOut);

// Sets flow control, stop bits and parity of a serial control block that the
// port has just reported, from "XonXoff", "StopBits" and "Parity"; every
// other field keeps its value.
void ApplySerialSettings(DCB* dcb);

// The baud rate a serial port name asks for: the text from its seventh
// character on, looked up in the rate table; 115200 when it names none.
DWORD BaudRateFromPortName(LPCWSTR name);
