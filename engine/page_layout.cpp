#include "engine/page_layout.h"

#include <algorithm>
#include <cstring>

#include "engine/image_scaling.h"

namespace kelo::engine {

namespace {

// a * b / c rounded to the nearest integer, at least 1; the operands are
// sizes in pixels, so the product fits 64 bits (the result may not fit 32).
int64_t ScaledSide(int a, int b, int c) {
  const int64_t scaled = (int64_t{a} * b + c / 2) / c;
  return std::max<int64_t>(scaled, 1);
}

}  // namespace

bool ParseFitMode(std::string_view text, FitMode* mode) {
  if (text == "width") {
    *mode = FitMode::kWidth;
  } else if (text == "page") {
    *mode = FitMode::kPage;
  } else if (text == "none") {
    *mode = FitMode::kNone;
  } else {
    return false;
  }
  return true;
}

Placement PlaceImage(int imageWidth, int imageHeight, int pageWidth, int pageHeight, FitMode fit) {
  Placement p;
  if (imageWidth == pageWidth && imageHeight == pageHeight) fit = FitMode::kNone;
  switch (fit) {
    case FitMode::kNone:
      p.width = imageWidth;
      p.height = imageHeight;
      break;
    case FitMode::kWidth:
      p.width = pageWidth;
      p.height = ScaledSide(imageHeight, pageWidth, imageWidth);
      break;
    case FitMode::kPage:
      // The tighter of the two ratios page / image decides.
      if (int64_t{pageWidth} * imageHeight <= int64_t{pageHeight} * imageWidth) {
        p.width = pageWidth;
        p.height = std::min<int64_t>(ScaledSide(imageHeight, pageWidth, imageWidth), pageHeight);
      } else {
        p.height = pageHeight;
        p.width = static_cast<int>(
            std::min<int64_t>(ScaledSide(imageWidth, pageHeight, imageHeight), pageWidth));
      }
      p.x = (pageWidth - p.width) / 2;
      p.y = static_cast<int>((pageHeight - p.height) / 2);
      break;
  }
  return p;
}

void DrawImagePage(const RgbImage& image, FitMode fit, int pageWidth, int pageHeight,
                   uint8_t* bgr, size_t stride) {
  const size_t pageRowBytes = static_cast<size_t>(pageWidth) * 3;
  for (int y = 0; y < pageHeight; ++y) std::memset(bgr + y * stride, 0xFF, pageRowBytes);
  if (image.width <= 0 || image.height <= 0) return;

  const Placement p = PlaceImage(image.width, image.height, pageWidth, pageHeight, fit);
  const int columns = std::min(p.width, pageWidth - p.x);
  const int rows = static_cast<int>(std::min<int64_t>(p.height, pageHeight - p.y));
  if (columns <= 0 || rows <= 0) return;

  RgbImage scaled;
  const RgbImage* drawn = &image;
  if (p.width != image.width || p.height != image.height) {
    scaled = ScaleImageTop(image, p.width, p.height, rows);
    drawn = &scaled;
  }
  for (int y = 0; y < rows; ++y) {
    const uint8_t* in = drawn->Pixel(0, y);
    uint8_t* out = bgr + static_cast<size_t>(p.y + y) * stride + static_cast<size_t>(p.x) * 3;
    for (int x = 0; x < columns; ++x) {
      out[x * 3] = in[x * 3 + 2];
      out[x * 3 + 1] = in[x * 3 + 1];
      out[x * 3 + 2] = in[x * 3];
    }
  }
}

}  // namespace kelo::engine
