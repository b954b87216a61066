// The printed dot rows as a picture: one pixel per dot, one image row per
// raster line. Grey streams become an 8-bit grey image (dot black, no dot
// white); four-plane streams become RGB, the K, C, M and Y dots of a line
// laid on white paper subtractively (C takes red, M green, Y blue, K all).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/stream_decoder.h"

namespace kelo::emulator {

struct PreviewImage {
  uint32_t width = 0;   // dots
  uint32_t height = 0;  // raster lines
  bool colour = false;
  std::vector<uint8_t> pixels;  // rows top to bottom, 1 (grey) or 3 (R, G, B) bytes a pixel
};

// widthDots: 1 up to the decoder's rowBytes x 8; anything else takes the
// whole row. A line whose later planes never arrived shows only the planes
// that did.
PreviewImage RenderPreview(const StreamDecoder& decoder, int widthDots);

// PNG bytes of `image`; false with a reason for an empty image or an
// encoder failure.
bool EncodePng(const PreviewImage& image, std::vector<uint8_t>* png, std::string* error);

}  // namespace kelo::emulator
