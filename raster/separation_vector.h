// The vector separation and grey conversion of whole groups of eight pixels,
// behind the path choice of separation_line.h.
#pragma once

#include "raster/raster_state.h"

// Pixels 0..8*groups-1 of a blue-green-red line into the tone rows of r, in
// the build's baseline instruction set; false when the build has no vector
// support or the raster state has no wide tables (then nothing is written).
bool SeparateGroupsVector(const RasterState& r, const BYTE* bgr, int groups);

// The same code for AVX2; false when the build cannot make it (not an x86
// target or no vector support). Callers check the processor first.
bool SeparateGroupsAvx2(const RasterState& r, const BYTE* bgr, int groups);

// The grey printing's K tones of pixels 0..8*groups-1 into r.kValues, in
// the baseline instruction set or for AVX2, with the same conditions.
bool GreyGroupsVector(const RasterState& r, const BYTE* bgr, int groups);
bool GreyGroupsAvx2(const RasterState& r, const BYTE* bgr, int groups);

// Whether this build has the vector code (the compiler's vector extensions).
bool VectorSeparationBuilt();

// Whether this build has the AVX2 version and the processor can run it.
bool Avx2Available();
