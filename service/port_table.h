// g_mapOpenPorts: index allocation, name matching and reference release.
// Every function here expects ServiceState.lock to be held.
#pragma once

#include "platform/wide_string.h"
#include "platform/win_types.h"
#include "service/service_state.h"

// The wide, NUL-terminated name in a caller's buffer, up to its terminator.
// False (nothing read past inLen) when the buffer is missing, inLen is odd
// or zero, or no terminator lies within inLen bytes.
bool ReadCallerName(const BYTE* in, DWORD inLen, kelo::WideString* name);

// Bounded by the caller's length: the first min(callerChars, stored length)
// characters agree, so a caller's "COM1:9600" matches a stored "COM1:".
bool NameMatchesCallerBound(const kelo::WideString& caller, DWORD callerChars,
                            const kelo::WideString& stored);
// Bounded by both strings: either may be a prefix of the other; an empty
// caller name matches every entry.
bool NameMatchesEitherPrefix(const kelo::WideString& caller, const kelo::WideString& stored);

// The index a new port gets: 1 for an empty table, else the largest in use
// plus one; when 255 is in use, the lowest free one. 0 when all are taken.
BYTE AllocatePortIndex();

PortRecord* FindPort(BYTE index);

// KLP_CLOSE: one reference less; at zero the port is closed (after ESC Q 15
// with RTSOff when RTSOnOff is on) and leaves the table. Leaving one holder
// while a monitored port exists tells the monitor to stop in 30 s. FALSE for
// an unknown index.
BOOL ReleasePortReference(BYTE index);

// Closes every port still in the table, each as its last close would (the
// RTS mode command first), and empties it. FALSE when a close failed.
BOOL CloseAllPorts();
