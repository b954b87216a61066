// A raster state set up for a given width, writing to a stand-in "KLP1:".
#pragma once

#include <memory>
#include <vector>

#include "channel/channel.h"
#include "channel/output_buffer.h"
#include "raster/page_buffers.h"
#include "tests/support/recording_device.h"

struct RasterFixture {
  std::shared_ptr<kelo::test::RecordingServiceDevice> service =
      kelo::test::InstallRecordingService();
  std::unique_ptr<PrinterChannel> channel = std::make_unique<PrinterChannel>();
  RasterState raster;

  explicit RasterFixture(ULONG width, bool colour = false, ULONG height = 100) {
    kelo::host::SetRegistryDword(u"Drivers\\BuiltIn\\KLP", u"EnablePageFilter", 0);
    GDIINFO info = {};
    info.ulHorzRes = width;
    info.ulVertRes = height;
    DEVMODEW devmode = {};
    devmode.dmColor = colour ? DMCOLOR_COLOR : DMCOLOR_MONOCHROME;
    devmode.dmOrientation = DMORIENT_PORTRAIT;
    EXPECT_EQ(SetupRaster(raster, info, devmode), 1);
    channel->planesPerLine = colour ? 4 : 1;
    EXPECT_NE(OpenChannel(*channel, u"LPT1:"), INVALID_HANDLE_VALUE);
    ResetPageRaster(raster);
  }
  ~RasterFixture() { ReleaseRasterBuffers(raster); }

  // Everything written so far, as the printer would receive it.
  std::vector<BYTE> Sent() {
    Flush(*channel);
    return service->WrittenBytes();
  }
};
