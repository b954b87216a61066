// The driver's hooks in the engine's driver table, and its exported entry.
#pragma once

#include "platform/platform.h"

KELO_EXPORT BOOL APIENTRY DrvEnableDriver(ULONG engineVersion, ULONG size,
                                          DRVENABLEDATA* table, PENGCALLBACKS callbacks);

DHPDEV APIENTRY DrvEnablePDEV(DEVMODEW* devmode, LPWSTR port, ULONG patterns,
                              HSURF* patternSurfaces, ULONG gdiInfoSize, ULONG* gdiInfo,
                              ULONG devInfoSize, DEVINFO* devInfo, HDEV hdev, LPWSTR deviceName,
                              HANDLE driver);
void APIENTRY DrvDisablePDEV(DHPDEV pdev);
HSURF APIENTRY DrvEnableSurface(DHPDEV pdev);
void APIENTRY DrvDisableSurface(DHPDEV pdev);
BOOL APIENTRY DrvCopyBits(SURFOBJ* destination, SURFOBJ* source, CLIPOBJ* clip, XLATEOBJ* xlate,
                          RECTL* destinationRect, POINTL* sourcePoint);
ULONG APIENTRY DrvGetModes(HANDLE driver, ULONG size, DEVMODEW* devmode);
BOOL APIENTRY DrvStartDoc(SURFOBJ* surface, PWSTR docName, DWORD jobId);
BOOL APIENTRY DrvStartPage(SURFOBJ* surface);
BOOL APIENTRY DrvEndDoc(SURFOBJ* surface, FLONG flags);

// Slot 14: takes no action, returns 0 whatever it is given.
ULONG APIENTRY DrvSlot14NoOp();
// Slots 22 and 30: take no action.
void APIENTRY DrvNoOp();
