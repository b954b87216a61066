#include <cstring>

#include "driver/driver_state.h"
#include "driver/hooks.h"

PFN g_defaultDrvFn[DRVENABLEDATA_SLOTS] = {};
PFN_EngCreateDeviceSurface g_pfnCreateDeviceSurface = nullptr;
PFN_EngDeleteSurface g_pfnDeleteSurface = nullptr;
PFN_EngCreatePalette g_pfnCreatePalette = nullptr;

DHPDEV g_dhpdev = nullptr;
HSURF g_hsurf = nullptr;
SURFOBJ g_surfaceDesc = {};
ULONG g_surfaceWidth = 0;
ULONG g_pageRows = 0;
LONG g_limitRows = 0;
ULONG g_rowsSent = 0;
LONG g_pageCount = 0;
LONG g_jobAborted = 0;

namespace {
template <typename Fn>
PFN Slot(Fn* fn) {
  return reinterpret_cast<PFN>(fn);
}
}  // namespace

ULONG APIENTRY DrvSlot14NoOp() { return 0; }

void APIENTRY DrvNoOp() {}

BOOL APIENTRY DrvEnableDriver(ULONG, ULONG, DRVENABLEDATA* table, PENGCALLBACKS callbacks) {
  // The engine hands over its default printer-driver table; the driver keeps
  // all of it and takes over twelve slots.
  std::memcpy(g_defaultDrvFn, table, sizeof g_defaultDrvFn);
  table->DrvEnablePDEV = Slot(&DrvEnablePDEV);
  table->DrvDisablePDEV = Slot(&DrvDisablePDEV);
  table->DrvDisableDriver = Slot(&DrvNoOp);
  table->DrvEnableSurface = Slot(&DrvEnableSurface);
  table->DrvDisableSurface = Slot(&DrvDisableSurface);
  table->DrvCopyBits = Slot(&DrvCopyBits);
  table->DrvSetPalette = Slot(&DrvSlot14NoOp);
  table->DrvGetModes = Slot(&DrvGetModes);
  table->DrvEndDoc = Slot(&DrvEndDoc);
  table->DrvStartDoc = Slot(&DrvStartDoc);
  table->DrvStartPage = Slot(&DrvStartPage);
  table->DrvPowerHandler = Slot(&DrvNoOp);

  g_pfnCreateDeviceSurface = callbacks->EngCreateDeviceSurface;
  g_pfnCreatePalette = callbacks->EngCreatePalette;
  g_pfnDeleteSurface = callbacks->EngDeleteSurface;
  return TRUE;
}
