// The engine's default printer-driver functions. The driver keeps them in
// its table for everything it does not do itself.

#include <cstring>

#include "engine/engine.h"

namespace kelo::engine {

namespace {

// A device handle of the engine's own default driver; the printer driver
// passes it back as its own.
struct DefaultDevice {
  int enables = 0;
};
DefaultDevice g_defaultDevice;

// Screen-like defaults; the printer driver overwrites what it cares about.
DHPDEV APIENTRY DefaultEnablePDEV(DEVMODEW*, LPWSTR, ULONG, HSURF*, ULONG gdiInfoSize,
                                  ULONG* gdiInfo, ULONG devInfoSize, DEVINFO* devInfo, HDEV,
                                  LPWSTR, HANDLE) {
  if (gdiInfo != nullptr && gdiInfoSize >= sizeof(GDIINFO)) {
    GDIINFO info = {};
    info.ulVersion = 0x5000;
    info.ulTechnology = 0;
    info.ulHorzSize = 48;
    info.ulVertSize = 68;
    info.ulHorzRes = 384;
    info.ulVertRes = 544;
    info.cBitsPixel = 8;
    info.cPlanes = 1;
    info.ulNumColors = 256;
    info.flRaster = RC_PALETTE | 0x1;
    info.ulLogPixelsX = 96;
    info.ulLogPixelsY = 96;
    info.ulAspectX = 0x24;
    info.ulAspectY = 0x24;
    info.ulAspectXY = 0x33;
    info.szlPhysSize = {384, 544};
    std::memcpy(gdiInfo, &info, sizeof info);
  }
  if (devInfo != nullptr && devInfoSize >= sizeof(DEVINFO)) {
    devInfo->cxDither = 8;
    devInfo->cyDither = 8;
    devInfo->iDitherFormat = BMF_24BPP;
  }
  ++g_defaultDevice.enables;
  return reinterpret_cast<DHPDEV>(&g_defaultDevice);
}

// Every other default: the engine's own drawing, which this stand-in does
// not need.
void APIENTRY DefaultUnused() {}

}  // namespace

DRVENABLEDATA DefaultDriverTable() {
  DRVENABLEDATA table;
  PFN* slots = reinterpret_cast<PFN*>(&table);
  for (int i = 0; i < DRVENABLEDATA_SLOTS; ++i) slots[i] = &DefaultUnused;
  table.DrvEnablePDEV = reinterpret_cast<PFN>(&DefaultEnablePDEV);
  return table;
}

}  // namespace kelo::engine
