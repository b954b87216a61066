// The driver's connection to the device service "KLP1:" and its output
// buffer. Every printer byte of the driver passes through one PrinterChannel.
#pragma once

#include <cstdint>

#include "channel/page_filter.h"
#include "platform/platform.h"

inline constexpr int32_t kOutputBufferSize = 32768;

struct PrinterChannel {
  HANDLE device = INVALID_HANDLE_VALUE;  // "KLP1:"; invalid while closed
  BYTE outputBuffer[kOutputBufferSize] = {};
  // What one write command carries: the filtered buffer, plus the few bytes
  // of an undecided white line that an earlier flush held back.
  BYTE sendBuffer[kOutputBufferSize + kMaxHeldBytes + kMaxHeaderBytes] = {};
  int32_t fillCount = 0;  // bytes in outputBuffer
  BYTE portIndex = 0;  // the service's index of the open port
  int32_t capacity = kOutputBufferSize;
  // Plane rows per raster line of the stream being written: 1 grey, 4 colour.
  int planesPerLine = 1;
  // Where the page filter stands in the command stream; kept across flushes.
  PageFilterState filter;
  // Set when a flush gave up: its data is lost, so the rest of the document
  // would print as garbage. Later flushes drop their data at once instead
  // of waiting out every attempt again; cleared by a new connection.
  bool writeFailed = false;
  DWORD writeError = 0;  // the last error of the flush that gave up
};

// Settings read once when the print context is built.
struct ChannelSettings {
  DWORD numWakeUpBytes = 0;  // "numWakeUpBytes"
  DWORD enableResetStatusViaRts = 0;  // "EnableResetStatusviaRTS"; only 1 switches it on
};

// The key holding the driver's and the service's settings.
inline constexpr const WCHAR* kDriverKey = TEXT("Drivers\\BuiltIn\\KLP");
inline constexpr const WCHAR* kServiceDeviceName = TEXT("KLP1:");

// Reads a 4-byte number from an open key; false (and `value` untouched) when
// it is missing or not 4 bytes long.
bool ReadRegistryNumber(HKEY key, const WCHAR* name, DWORD& value);
ChannelSettings ReadChannelSettings();
