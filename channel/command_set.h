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
// How long the start-up waits for the answer to the block's status request
// before the first status check may trust an empty status history: a reply
// delay of up to 250 ms, plus one poll of the service's monitor on a quiet
// parallel-class port (100 ms asleep, up to 20 ms reading), plus 30 ms for
// the threads to be scheduled. Serial lines are polled every 20 ms. Only a
// printer that never answers waits all of it, once per device enable.
inline constexpr DWORD kStartupAnswerWaitMs = 400;

// Wake-up bytes (V45 models), RTS toggle, optional RTS mode command and the
// start-up block, each flushed on its own. Failures do not stop it. Once the
// block went out it waits, up to kStartupAnswerWaitMs, until the service
// reports status data, so that the document's first status check sees the
// printer's answer to the block's status request.
void SendStartupSequence(PrinterChannel& channel, const ChannelSettings& settings);
// 1 for the V45 models (nothing sent), else the flush result, 0 when the
// write failed.
BOOL SendEndCommand1(PrinterChannel& channel);
void SendEndCommand2(PrinterChannel& channel);
