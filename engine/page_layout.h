// Lays an image out on a page of dots and draws it into the engine's page
// bitmap. Every mode keeps the image's aspect ratio; whatever the image does
// not cover stays white.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/image.h"

namespace kelo::engine {

enum class FitMode {
  kWidth,  // scaled to the page width at the top; below the page end it is cut off
  kPage,   // scaled to fit inside the page, centred
  kNone,   // one pixel a dot at the top left, cut off at the page edges
};

// "width", "page" or "none".
bool ParseFitMode(std::string_view text, FitMode* mode);

// The image's scaled size and the page position of its top left corner, in
// dots. Parts outside the page are cut off.
struct Placement {
  int x = 0;
  int y = 0;
  int width = 0;
  int64_t height = 0;  // fitted to the width, a thin strip outgrows 32 bits
};

// imageWidth, imageHeight, pageWidth and pageHeight are at least 1.
Placement PlaceImage(int imageWidth, int imageHeight, int pageWidth, int pageHeight, FitMode fit);

// Draws `image` as PlaceImage puts it onto the page of pageWidth x pageHeight
// dots at the top left of a top-down blue-green-red bitmap (`stride` bytes a
// row), after filling that page white. An image of the page's own size is
// copied pixel for pixel, never resampled. Pixels of the bitmap outside the
// page are not touched.
void DrawImagePage(const RgbImage& image, FitMode fit, int pageWidth, int pageHeight,
                   uint8_t* bgr, size_t stride);

}  // namespace kelo::engine
