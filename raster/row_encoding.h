// Dot rows to printer commands: ESC m (only on a change of encoding) and
// ESC g with the row as a delta against the plane's seed row.
#pragma once

#include "channel/printer_channel.h"
#include "raster/raster_state.h"

inline constexpr int kModeRaw = 0;  // payload is the row itself
inline constexpr int kModeDelta = 3;  // payload is replacement commands
inline constexpr int kDeltaOverflow = -1;

// Writes one plane's dot row and updates its seed. Non-zero on success, 0
// when the output failed (the seed is updated all the same).
int EncodeDotRow(RasterState& raster, PrinterChannel& channel, const BYTE* dots, BYTE* seed,
                 int plane);
// Delta-encodes `row` against `seed` into `out` (room for `length` bytes).
// Returns the encoded length (at most length - 1), or kDeltaOverflow.
int CompressDeltaRow(const BYTE* row, int length, BYTE* out, const BYTE* seed);
// One replacement command at `cursor`, which advances; -1 when it does not
// fit below `limit`.
int EncodeDeltaRun(int count, int offset, const BYTE* data, BYTE*& cursor, const BYTE* limit);
void SelectCompressionMode(RasterState& raster, PrinterChannel& channel, int mode);
int SendRasterRow(PrinterChannel& channel, const BYTE* payload, int n);
