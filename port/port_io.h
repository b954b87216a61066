// The port operations: every byte to and from the printer passes here.
#pragma once

#include "platform/win_types.h"

// Parallel-class port control codes.
inline constexpr DWORD kIoctlGetDeviceId = 0x16000C;  // IEEE 1284 device ID
// Asked after a transfer that moved no bytes; only success or failure counts.
inline constexpr DWORD kIoctlFollowUp = 0x160018;

// Writes all `length` bytes, looping over short writes. FALSE when a write
// fails (its last error stands) or moves nothing (1460, or the last error
// unchanged on a parallel-class port whose follow-up request succeeds).
BOOL WritePort(HANDLE handle, BYTE kind, const BYTE* data, DWORD length);
// One read of at most `size` bytes; the count goes to *bytesRead. A
// parallel-class port that delivers nothing and fails the follow-up request
// is gone: FALSE with 1226.
BOOL ReadPort(HANDLE handle, BYTE kind, BYTE* buffer, DWORD size, DWORD* bytesRead);
// Serial ports only: discards the receive buffer (receive non-zero) or the
// transmit buffer. Other kinds: FALSE, nothing done.
BOOL PurgePort(HANDLE handle, BYTE kind, BOOL receive);
// off non-zero drops RTS (RTS control disabled), zero raises it (enabled);
// nothing else in the line settings changes. Fails on a port without a
// serial control block.
BOOL SetRtsLine(HANDLE handle, BOOL off);
// Closes a valid handle of a known kind; otherwise FALSE.
BOOL ClosePort(HANDLE handle, BYTE kind);
