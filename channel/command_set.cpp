#include "channel/command_set.h"

#include "channel/channel.h"
#include "channel/output_buffer.h"
#include "port/printer_model.h"

namespace {

// The service's status-data event (set once its status monitor has queued
// bytes read from the printer), or null when no service in reach has
// made it (nobody would set it then).
HANDLE OpenStatusDataEvent() {
  const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, KELO_STATUS_DATA_EVENT);
  if (event == nullptr) return nullptr;
  if (GetLastError() == ERROR_ALREADY_EXISTS) return event;
  CloseHandle(event);
  return nullptr;
}

// Flushes the start-up block and waits for the service to report the
// printer's answer to its status request. The monitor queues what it reads
// before it sets the event, so a woken wait finds the answer in the status
// history. A signal left from before the request is taken first, so that it
// cannot pass for the answer; whatever signal was taken is given back, for
// applications that wait on the same event.
void FlushAndAwaitAnswer(PrinterChannel& channel) {
  const HANDLE answered = OpenStatusDataEvent();
  bool taken = answered != nullptr && WaitForSingleObject(answered, 0) == WAIT_OBJECT_0;
  const BOOL sent = Flush(channel);
  const DWORD error = GetLastError();
  if (answered == nullptr) return;
  if (sent) taken = WaitForSingleObject(answered, kStartupAnswerWaitMs) == WAIT_OBJECT_0 || taken;
  if (taken) SetEvent(answered);
  CloseHandle(answered);
  SetLastError(error);
}

}  // namespace

void SendStartupSequence(PrinterChannel& channel, const ChannelSettings& settings) {
  if (IsV45Model(GetCurrentPrinterModel())) {
    // Each wake-up byte in a write command of its own.
    const BYTE wakeUp = 0x00;
    for (DWORD i = 0; i < settings.numWakeUpBytes; ++i) {
      if (Write(channel, &wakeUp, 1)) Flush(channel);
    }
  }
  // On ports without an RTS line these fail harmlessly.
  SetRts(channel, 1);
  Sleep(kRtsToggleMs);
  SetRts(channel, 0);
  if (settings.enableResetStatusViaRts == 1) {
    if (Write(channel, kRtsModeCommand, sizeof kRtsModeCommand)) Flush(channel);
  }
  if (Write(channel, kStartupBlock, sizeof kStartupBlock)) FlushAndAwaitAnswer(channel);
}

BOOL SendEndCommand1(PrinterChannel& channel) {
  if (IsV45Model(GetCurrentPrinterModel())) return TRUE;
  if (!Write(channel, kEndCommand1, sizeof kEndCommand1)) return FALSE;
  return Flush(channel);
}

void SendEndCommand2(PrinterChannel& channel) {
  if (WriteString(channel, kEndCommand2)) Flush(channel);
}
