#include "driver/print_context.h"

#include "channel/channel.h"
#include "raster/page_buffers.h"

PrintContext g_printContext;

PrintContext::PrintContext() : settings(ReadChannelSettings()) {}

PrintContext::~PrintContext() {
  ReleaseRasterBuffers(raster);
  CloseChannel(channel);
}
