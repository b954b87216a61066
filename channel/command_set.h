// The printer commands the driver sends around the raster rows: the
// start-up sequence at device enable and the end-of-document commands.
#pragma once

#include "channel/printer_channel.h"

// ESC A, ESC m 0, ESC m 5, ESC k 255, ESC v 2: written as one piece.
inline constexpr BYTE kStartupBlock[] = {0x1B, 0x41, 0x1B, 0x6D, 0x00, 0x1B, 0x6D,
                                         0x05, 0x1B, 0x6B, 0xFF, 0x1B, 0x76, 0x02};
// ESC Q 15 13: RTS mode command with the driver's fixed n.
inline constexpr BYTE kRtsModeCommand[] = {0x1B, 0x51, 0x0F, 0x0D};
inline constexpr BYTE kEndCommand1[] = {0x1B, 0x65, 0x01, 0x00};  // ESC e 1 0
inline constexpr char kEndCommand2[] = "\x1B\x76\x03";  // ESC v 3
inline constexpr DWORD kRtsToggleMs = 20;

// Wake-up bytes (V45 models), RTS toggle, optional RTS mode command and the
// start-up block, each flushed on its own. Failures do not stop it.
void SendStartupSequence(PrinterChannel& channel, const ChannelSettings& settings);
// 1 for the V45 models (nothing sent), else the flush result, 0 when the
// write failed.
BOOL SendEndCommand1(PrinterChannel& channel);
void SendEndCommand2(PrinterChannel& channel);
