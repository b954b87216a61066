#include "tools/kelo-server/raster_page.h"

#include <cstring>

namespace kelo::server {

bool RasterPages::StartPage(unsigned width, unsigned height, LineFormat format,
                            std::string* error) {
  if (width == 0 || height == 0) {
    *error = "the page has no pixels";
    return false;
  }
  if (width > kMaxPageWidth || height > kMaxPageHeight) {
    *error = "the page of " + std::to_string(width) + " x " + std::to_string(height) +
             " pixels is larger than the printers take (" + std::to_string(kMaxPageWidth) + " x " +
             std::to_string(kMaxPageHeight) + ")";
    return false;
  }
  const size_t bytes = size_t{width} * height * 3;
  if (bytes > maxBytes_ - bytes_) {
    *error = "the job is larger than the server holds (" + std::to_string(maxBytes_ >> 20) +
             " MiB of pixels, " + std::to_string(pages_.size()) + " pages taken)";
    return false;
  }
  pages_.emplace_back(static_cast<int>(width), static_cast<int>(height));
  bytes_ += bytes;
  format_ = format;
  return true;
}

void RasterPages::Line(unsigned y, const uint8_t* line) {
  if (pages_.empty()) return;
  kelo::engine::RgbImage& page = pages_.back();
  if (y >= static_cast<unsigned>(page.height)) return;
  uint8_t* out = page.Pixel(0, static_cast<int>(y));
  const int width = page.width;
  switch (format_) {
    case LineFormat::kRgb8:
      std::memcpy(out, line, static_cast<size_t>(width) * 3);
      return;
    case LineFormat::kWhite8:
      for (int x = 0; x < width; ++x, out += 3) out[0] = out[1] = out[2] = line[x];
      return;
    case LineFormat::kBlack8:
      for (int x = 0; x < width; ++x, out += 3) {
        out[0] = out[1] = out[2] = static_cast<uint8_t>(255 - line[x]);
      }
      return;
    case LineFormat::kBlack1:
      for (int x = 0; x < width; ++x, out += 3) {
        const bool black = (line[x / 8] & (0x80 >> (x % 8))) != 0;
        out[0] = out[1] = out[2] = black ? 0 : 255;
      }
      return;
  }
}

}  // namespace kelo::server
