// The 32 KiB output buffer of the channel and its flush to the service.
#pragma once

#include "channel/printer_channel.h"

// Appends bytes, flushing whenever the buffer is full. 0 when `bytes` is
// null or a flush on the way failed (the chunk in hand is still buffered).
BOOL Write(PrinterChannel& channel, const void* bytes, DWORD length);
// As Write, for a zero-terminated byte string; 0 for null.
BOOL WriteString(PrinterChannel& channel, const char* text);
// Sends the buffered bytes (through the page filter when enabled) with
// bounded retries. The buffer is empty afterwards, whatever happened.
BOOL Flush(PrinterChannel& channel);
// As Flush, at the end of the stream (the channel closes): bytes the page
// filter still holds go out too.
BOOL FlushEndOfStream(PrinterChannel& channel);
