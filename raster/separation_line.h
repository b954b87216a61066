// Colour separation and grey conversion of a whole raster line, eight pixels
// at a time on the processor's vector unit, with the per-pixel code for the
// pixels after the last group of eight and for builds without vector
// support. Every path gives the tones of SeparateColourPixel (and the grey
// table for grey pixels), or of the grey printing's luminance, bit for bit.
#pragma once

#include "raster/raster_state.h"

enum class SeparationPath {
  kScalar,  // pixel by pixel, reusing the tones of a run of one colour
  kVector,  // groups of eight in the build's baseline instruction set
  kVectorAvx2,  // the same code built for AVX2 (x86 processors that have it)
};

// Whether this build and processor can run the path.
bool SeparationPathAvailable(SeparationPath path);

// The path SeparateRow takes: AVX2 where the processor has it, else the
// per-pixel one (the baseline vector build measured slower than it on x86
// and is not measured elsewhere).
SeparationPath FastestSeparationPath();

// Tones of pixels 0..width-1 of a blue-green-red line into r.kValues,
// r.cValues, r.mValues and r.yValues. The path must be available.
void SeparateColourLine(const RasterState& r, const BYTE* bgr, int width, SeparationPath path);

// Grey printing: the K tones of pixels 0..width-1 of a blue-green-red line
// (luminance through the grey table) into r.kValues. The path must be
// available; SeparateRow takes FastestSeparationPath() here too.
void GreyToneLine(const RasterState& r, const BYTE* bgr, int width, SeparationPath path);
