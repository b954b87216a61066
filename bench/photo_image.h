// A photo-like test image for the benchmarks: smooth colour gradients, a few
// soft round shapes and a fine grain, 640 x 904 (a page of 80 mm paper in
// dots). Computed from integers and a fixed hash, so every build and every
// run gets the same pixels.
#pragma once

#include "engine/image.h"

namespace kelo::bench {

inline constexpr int kPhotoWidth = 640;
inline constexpr int kPhotoHeight = 904;

kelo::engine::RgbImage MakePhotoImage();

}  // namespace kelo::bench
