// Serial communications of the target platform.
#pragma once

#include "platform/win_types.h"

#if !defined(_WIN32)

// Serial control block, 28 bytes on the target and on a 64-bit host.
struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};
typedef DCB* LPDCB;

#define RTS_CONTROL_DISABLE 0u
#define RTS_CONTROL_ENABLE 1u
#define RTS_CONTROL_HANDSHAKE 2u
#define RTS_CONTROL_TOGGLE 3u
#define DTR_CONTROL_DISABLE 0u
#define DTR_CONTROL_ENABLE 1u
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

// Milliseconds. Total read time-out = multiplier x bytes asked + constant
// (0 and 0: none); interval 0: none; interval MAXDWORD with 0 and 0: return
// at once with what is buffered. A time-out completes the call with a
// short count; it is not an error.
struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};
typedef COMMTIMEOUTS* LPCOMMTIMEOUTS;

// Line errors and queue depths, as ClearCommError reports them.
struct COMSTAT {
  DWORD fCtsHold : 1;
  DWORD fDsrHold : 1;
  DWORD fRlsdHold : 1;
  DWORD fXoffHold : 1;
  DWORD fXoffSent : 1;
  DWORD fEof : 1;
  DWORD fTxim : 1;
  DWORD fReserved : 25;
  DWORD cbInQue;   // bytes received, not yet read
  DWORD cbOutQue;  // bytes written, not yet sent
};
typedef COMSTAT* LPCOMSTAT;

#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

PLATFORM_API BOOL WINAPI GetCommState(HANDLE file, LPDCB dcb);
PLATFORM_API BOOL WINAPI SetCommState(HANDLE file, LPDCB dcb);
PLATFORM_API BOOL WINAPI GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
PLATFORM_API BOOL WINAPI SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
PLATFORM_API BOOL WINAPI PurgeComm(HANDLE file, DWORD flags);
// Both pointers may be null.
PLATFORM_API BOOL WINAPI ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat);

#endif  // !_WIN32

// The layouts the platform and the host share. (The DCB flag bits cannot be
// pinned at compile time; a platform test checks each field's mask.)
static_assert(sizeof(DCB) == 28);
static_assert(offsetof(DCB, BaudRate) == 4);
static_assert(offsetof(DCB, wReserved) == 12);
static_assert(offsetof(DCB, XonLim) == 14);
static_assert(offsetof(DCB, XoffLim) == 16);
static_assert(offsetof(DCB, ByteSize) == 18);
static_assert(offsetof(DCB, Parity) == 19);
static_assert(offsetof(DCB, StopBits) == 20);
static_assert(offsetof(DCB, XonChar) == 21);
static_assert(offsetof(DCB, XoffChar) == 22);
static_assert(offsetof(DCB, ErrorChar) == 23);
static_assert(offsetof(DCB, EofChar) == 24);
static_assert(offsetof(DCB, EvtChar) == 25);
static_assert(offsetof(DCB, wReserved1) == 26);
static_assert(sizeof(COMMTIMEOUTS) == 20);
static_assert(offsetof(COMMTIMEOUTS, ReadTotalTimeoutMultiplier) == 4);
static_assert(offsetof(COMMTIMEOUTS, ReadTotalTimeoutConstant) == 8);
static_assert(offsetof(COMMTIMEOUTS, WriteTotalTimeoutMultiplier) == 12);
static_assert(offsetof(COMMTIMEOUTS, WriteTotalTimeoutConstant) == 16);
static_assert(sizeof(COMSTAT) == 12);
static_assert(offsetof(COMSTAT, cbOutQue) == 8);
