// Error-diffusion halftoning of one plane's line.
#pragma once

#include "channel/printer_channel.h"
#include "raster/raster_state.h"

// Turns `values` (tones 0..8192) into a dot row in `dots`, carries errors
// in `errors` to the next line, and sends the row. `mask` (may be null)
// forbids dots where its bits are set. Returns the row writer's result.
int DiffuseRow(RasterState& raster, PrinterChannel& channel, const int16_t* values,
               int16_t* errors, BYTE* dots, const BYTE* mask, int dotWeight, BYTE* seed,
               int plane);
