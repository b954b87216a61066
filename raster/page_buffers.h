// Setting up, resetting and releasing the raster state.
#pragma once

#include "platform/gdi.h"
#include "raster/raster_state.h"

// Widest printed row: a raster row's length travels in one byte.
inline constexpr int kMaxRowBytes = 255;
inline constexpr uint32_t kPageSeed = 119;

// 1 when every buffer needed was obtained, else 0 (what was obtained stays
// until the next release). Reads ulHorzRes/ulVertRes, dmColor and
// dmOrientation.
int SetupRaster(RasterState& raster, const GDIINFO& info, const DEVMODEW& devmode);
// Start of a page: seeds and errors zeroed, the encoding unknown, the noise
// generator restarted.
void ResetPageRaster(RasterState& raster);
void ReleaseRasterBuffers(RasterState& raster);

// The tone tables, filled into 256 entries.
void FillGreyTone(int16_t* table);
void FillColourTone(int16_t* table);
void FillValueCurve(BYTE* table);
