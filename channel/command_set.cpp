#include "channel/command_set.h"

#include "channel/channel.h"
#include "channel/output_buffer.h"
#include "port/printer_model.h"

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
  if (Write(channel, kStartupBlock, sizeof kStartupBlock)) Flush(channel);
}

BOOL SendEndCommand1(PrinterChannel& channel) {
  if (IsV45Model(GetCurrentPrinterModel())) return TRUE;
  if (!Write(channel, kEndCommand1, sizeof kEndCommand1)) return FALSE;
  return Flush(channel);
}

void SendEndCommand2(PrinterChannel& channel) {
  if (WriteString(channel, kEndCommand2)) Flush(channel);
}
