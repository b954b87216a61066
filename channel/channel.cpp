#include "channel/channel.h"

#include <string>

#include "channel/command_set.h"
#include "channel/output_buffer.h"
#include "platform/wide_string.h"

namespace {

constexpr DWORD kStatusRetries = 8;
constexpr DWORD kStatusRetryWaitMs = 100;

DWORD Code(const PrinterChannel& channel, DWORD command) { return command + channel.portIndex; }

// One control call; most commands have no output, and their callers only
// look at success.
BOOL Control(PrinterChannel& channel, DWORD command, const void* in, DWORD inLen,
             void* out = nullptr, DWORD outLen = 0, DWORD* returned = nullptr) {
  return DeviceIoControl(channel.device, Code(channel, command), const_cast<void*>(in), inLen,
                         out, outLen, returned, nullptr);
}

DWORD WideLength(LPCWSTR text) {
  DWORD n = 0;
  while (text[n] != 0) ++n;
  return n;
}

}  // namespace

HANDLE OpenChannel(PrinterChannel& channel, LPCWSTR portName) {
  CloseChannel(channel);
  if (portName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    HANDLE device = CreateFileW(kServiceDeviceName, 0, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
      // The service is not loaded yet: have the device manager load it once.
      if (attempt == 0) ActivateDevice(kDriverKey, 0);
      continue;
    }
    channel.device = device;
    const DWORD nameBytes = 2 * (WideLength(portName) + 1);
    if (!DeviceIoControl(device, KLP_OPEN, const_cast<WCHAR*>(portName), nameBytes,
                         &channel.portIndex, 1, nullptr, nullptr)) {
      const DWORD error = GetLastError();
      CloseHandle(device);
      channel.device = INVALID_HANDLE_VALUE;
      SetLastError(error);
    }
    break;
  }
  // A new connection is a new printer stream.
  channel.filter = PageFilterState{};
  channel.writeFailed = false;
  return channel.device;
}

HANDLE OpenForPrinting(PrinterChannel& channel, const ChannelSettings& settings,
                       LPCWSTR portName) {
  if (OpenChannel(channel, portName) == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  SendStartupSequence(channel, settings);
  return channel.device;
}

void CloseChannel(PrinterChannel& channel) {
  if (channel.device == INVALID_HANDLE_VALUE) return;
  FlushEndOfStream(channel);
  Control(channel, KLP_CLOSE, nullptr, 0);
  CloseHandle(channel.device);
  channel.device = INVALID_HANDLE_VALUE;
  channel.filter = PageFilterState{};
}

BOOL CheckStatus(PrinterChannel& channel) {
  DWORD flag = 0;
  return Control(channel, KLP_CHECK_STATUS, &flag, sizeof flag);
}

BOOL CheckStatusWithRetry(PrinterChannel& channel) {
  if (CheckStatus(channel)) return TRUE;
  for (DWORD i = 0; i < kStatusRetries; ++i) {
    const DWORD error = GetLastError();
    if (error != ERROR_NOT_READY) {
      SetLastError(error);
      return FALSE;
    }
    Sleep(kStatusRetryWaitMs);
    if (CheckStatus(channel)) return TRUE;
  }
  return FALSE;
}

BOOL BeginJob(PrinterChannel& channel) { return Control(channel, KLP_BEGIN_JOB, nullptr, 0); }

BOOL EndJob(PrinterChannel& channel) {
  DWORD unsent = 0;  // bytes the port still held when it gave up
  DWORD returned = 0;
  if (Control(channel, KLP_END_JOB, nullptr, 0, &unsent, sizeof unsent, &returned)) return TRUE;
  const DWORD error = GetLastError();
  if (returned == sizeof unsent && unsent > 0) {
    kelo::WideString line = TEXT("end of job: ");
    for (const char digit : std::to_string(unsent)) line += static_cast<WCHAR>(digit);
    line += TEXT(" bytes did not leave the port\r\n");
    OutputDebugStringW(line.c_str());
  }
  SetLastError(error);
  return FALSE;
}

BOOL ResetThroughRts(PrinterChannel& channel) {
  return Control(channel, KLP_RTS_RESET, nullptr, 0);
}

BOOL SetRts(PrinterChannel& channel, DWORD value) {
  return Control(channel, KLP_RTS_CONTROL, &value, sizeof value);
}

BOOL SendWriteCommand(PrinterChannel& channel, const BYTE* data, DWORD length, DWORD* taken) {
  *taken = 0;
  return Control(channel, KLP_WRITE, data, length, nullptr, 0, taken);
}
