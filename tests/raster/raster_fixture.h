// A raster state set up for a given width, writing to a stand-in "KLP1:".
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "channel/channel.h"
#include "channel/output_buffer.h"
#include "raster/page_buffers.h"
#include "tests/support/recording_device.h"

// Takes every control call and keeps nothing but the number of writes: for
// counting what the raster code itself allocates.
class DiscardingService : public kelo::host::Device {
 public:
  std::atomic<int> writes{0};
  BOOL IoControl(uintptr_t, DWORD code, BYTE*, DWORD, BYTE* out, DWORD outLen, DWORD*) override {
    if ((code & 0xFFFF00) == KLP_OPEN && out != nullptr && outLen >= 1) out[0] = 1;
    if ((code & 0xFFFF00) == KLP_WRITE) ++writes;
    return TRUE;
  }
};

struct RasterFixture {
  std::shared_ptr<kelo::test::RecordingServiceDevice> service;  // null when discarding
  std::shared_ptr<DiscardingService> discarding;  // null when recording
  std::unique_ptr<PrinterChannel> channel = std::make_unique<PrinterChannel>();
  RasterState raster;

  explicit RasterFixture(ULONG width, bool colour = false, bool record = true, ULONG height = 100) {
    if (record) {
      service = kelo::test::InstallRecordingService();
    } else {
      kelo::host::UnregisterDevice(u"KLP1:");
      discarding = std::make_shared<DiscardingService>();
      kelo::host::RegisterDevice(u"KLP1:", discarding);
    }
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
