#include "channel/output_buffer.h"

#include <algorithm>
#include <cstring>

#include "channel/channel.h"

namespace {

struct FlushSettings {
  DWORD retries = 11;  // "NumFlushRetries": write attempts per flush
  DWORD retryWaitMs = 1;  // "FlushRetryWait"
  DWORD enablePageFilter = 1;  // "EnablePageFilter": only 1 switches it on
  DWORD keepCount = 3;  // "CntOfDel-0-Bytes": white lines kept of a run
};

// Read at every flush, so a change applies without reloading the driver.
FlushSettings ReadFlushSettings() {
  FlushSettings settings;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriverKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return settings;
  }
  ReadRegistryNumber(key, TEXT("NumFlushRetries"), settings.retries);
  ReadRegistryNumber(key, TEXT("FlushRetryWait"), settings.retryWaitMs);
  ReadRegistryNumber(key, TEXT("EnablePageFilter"), settings.enablePageFilter);
  ReadRegistryNumber(key, TEXT("CntOfDel-0-Bytes"), settings.keepCount);
  RegCloseKey(key);
  return settings;
}

bool FilterHoldsBytes(const PageFilterState& filter) {
  return filter.heldLength > 0 || filter.headerLength > filter.headerSent;
}

BOOL FlushBuffer(PrinterChannel& channel, bool endOfStream) {
  if (channel.writeFailed) {
    // The document is lost already: drop the data without trying again.
    channel.fillCount = 0;
    return FALSE;
  }
  if (channel.fillCount == 0 && !(endOfStream && FilterHoldsBytes(channel.filter))) return TRUE;

  const FlushSettings settings = ReadFlushSettings();
  PageFilterOptions options;
  options.planesPerLine = channel.planesPerLine;
  options.keepCount = settings.keepCount;
  options.passThrough = settings.enablePageFilter != 1;

  int32_t length = 0;
  if (channel.fillCount > 0) {
    length = PageFilter(channel.filter, channel.outputBuffer, channel.fillCount, options,
                        channel.sendBuffer);
  }
  if (endOfStream) length += ReleaseHeld(channel.filter, channel.sendBuffer + length);
  channel.fillCount = 0;
  if (length == 0) return TRUE;  // everything was a removed white line, or is held

  // A stored 0 (or a negative number) would drop every page unsent while
  // reporting success: at least one attempt is always made.
  const DWORD attempts = std::clamp<LONG>(static_cast<LONG>(settings.retries), 1, 0x7FFFFFFF);
  const DWORD waitMs = std::max<DWORD>(settings.retryWaitMs, 1);
  const DWORD total = static_cast<DWORD>(length);
  DWORD sent = 0;
  BOOL result = FALSE;
  for (DWORD attempt = 0; attempt < attempts; ++attempt) {
    // An attempt resumes where the port stopped taking bytes: the printer
    // already has what went before, and a resend would corrupt the stream.
    DWORD taken = 0;
    result = SendWriteCommand(channel, channel.sendBuffer + sent, total - sent, &taken);
    sent += std::min(taken, total - sent);
    if (result || sent == total) {
      result = TRUE;
      break;
    }
    const DWORD error = GetLastError();
    if (!CheckStatus(channel)) break;  // the printer's condition is the reason
    SetLastError(error);
    Sleep(waitMs);
  }
  if (!result) {
    channel.writeFailed = true;
    channel.writeError = GetLastError();
    // The data is dropped; the printer may have missed an encoding command,
    // so no white line is taken for removable until the next one.
    channel.filter.encoding = -1;
    channel.filter.heldLength = 0;
    channel.filter.lineHeld = false;
  }
  return result;
}

}  // namespace

BOOL Write(PrinterChannel& channel, const void* bytes, DWORD length) {
  if (bytes == nullptr) return FALSE;
  const BYTE* next = static_cast<const BYTE*>(bytes);
  DWORD left = length;
  BOOL result = TRUE;
  while (left > 0 && result) {
    if (channel.fillCount >= channel.capacity) result = Flush(channel);
    const DWORD room = static_cast<DWORD>(channel.capacity - channel.fillCount);
    const DWORD n = std::min(room, left);
    std::memcpy(channel.outputBuffer + channel.fillCount, next, n);
    channel.fillCount += static_cast<int32_t>(n);
    next += n;
    left -= n;
  }
  return result;
}

BOOL WriteString(PrinterChannel& channel, const char* text) {
  if (text == nullptr) return FALSE;
  return Write(channel, text, static_cast<DWORD>(std::strlen(text)));
}

BOOL Flush(PrinterChannel& channel) { return FlushBuffer(channel, false); }

BOOL FlushEndOfStream(PrinterChannel& channel) { return FlushBuffer(channel, true); }
