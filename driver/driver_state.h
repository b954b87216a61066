// Driver-wide values shared by the hooks: one printer device, one job at a
// time, so there is no per-device state.
#pragma once

#include "platform/platform.h"

extern PFN g_defaultDrvFn[DRVENABLEDATA_SLOTS];  // the table as received
extern PFN_EngCreateDeviceSurface g_pfnCreateDeviceSurface;
extern PFN_EngDeleteSurface g_pfnDeleteSurface;
extern PFN_EngCreatePalette g_pfnCreatePalette;

extern DHPDEV g_dhpdev;  // what the default DrvEnablePDEV returned
extern HSURF g_hsurf;  // the device surface
extern SURFOBJ g_surfaceDesc;  // its address is the driver-side surface handle
extern ULONG g_surfaceWidth;  // dots
extern ULONG g_pageRows;  // dot rows of the physical page
extern LONG g_limitRows;  // 1: stop feeding after g_pageRows rows on a page
extern ULONG g_rowsSent;  // scan lines fed on the current page
extern LONG g_pageCount;  // pages started in the current document
extern LONG g_jobAborted;  // 0 accepted, -1 the status check at document or page start failed
