// Resampling for the page renderer. Each axis is resampled on its own:
// an axis that shrinks is averaged over the source area each output pixel
// covers (a box filter with fractional edges, so fine text and stripes turn
// grey instead of aliasing); an axis that grows is interpolated linearly
// between the two nearest source pixel centres (bilinear); an axis that keeps
// its size is copied.
#pragma once

#include <cstdint>

#include "engine/image.h"

namespace kelo::engine {

// `source` resampled to width x height (both at least 1).
RgbImage ScaleImage(const RgbImage& source, int width, int height);

// The top `rows` rows (at most height) of ScaleImage(source, width, height),
// without computing the rows below: a tall image fitted to the paper width
// is cut off at the page end. Time and memory go with width x rows (and the
// source rows those draw on), whatever the height: a 1-pixel-wide strip
// fitted to 640 dots is 640 times taller than the strip.
RgbImage ScaleImageTop(const RgbImage& source, int width, int64_t height, int rows);

}  // namespace kelo::engine
