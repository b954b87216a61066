// The port operations: every byte to and from the printer passes here.
#pragma once

#include "platform/win_types.h"

// Parallel-class port control codes.
inline constexpr DWORD kIoctlGetDeviceId = 0x16000C;  // IEEE 1284 device ID
// Asked after a transfer that moved no bytes; only success or failure counts.
inline constexpr DWORD kIoctlFollowUp = 0x160018;

// Writes all `length` bytes, looping over short writes. FALSE when a write
// fails (its last error stands) or moves nothing (1460: the printer took
// nothing within the write time-out). `taken`, when given, receives the
// bytes the port accepted, also on failure, so that a retry resends only
// the rest.
BOOL WritePort(HANDLE handle, BYTE kind, const BYTE* data, DWORD length,
               DWORD* taken = nullptr);
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
// Waits until a serial port has sent what it queues (other kinds queue
// nothing: TRUE at once). FALSE when the bytes stopped leaving, with the
// platform's last error (1460) and, in *unsent, how many are still queued.
BOOL DrainPort(HANDLE handle, BYTE kind, DWORD* unsent);
// Closes a valid handle of a known kind; otherwise FALSE. A serial line that
// had to discard queued bytes fails with 1460.
BOOL ClosePort(HANDLE handle, BYTE kind);
