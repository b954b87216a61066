// The driver face's single context: the channel to the printer, the page
// raster and the channel settings.
#pragma once

#include "channel/printer_channel.h"
#include "raster/raster_state.h"

struct PrintContext {
  PrinterChannel channel;
  RasterState raster;
  ChannelSettings settings;

  // Built when the library loads: channel closed, no raster buffers, the
  // channel settings read from the registry.
  PrintContext();
  // Releases the raster buffers and closes the channel (which flushes).
  ~PrintContext();
  PrintContext(const PrintContext&) = delete;
  PrintContext& operator=(const PrintContext&) = delete;
};

extern PrintContext g_printContext;
