#include "emulator/preview_image.h"

#include <png.h>

#include <algorithm>
#include <cstring>

namespace kelo::emulator {

namespace {

constexpr uint8_t kPaper = 0xFF;
constexpr uint8_t kInk = 0x00;

// Plane order of a colour raster line.
enum Plane { kBlack = 0, kCyan = 1, kMagenta = 2, kYellow = 3 };

bool DotAt(const std::vector<std::vector<uint8_t>>& rows, size_t line, uint32_t x) {
  if (line >= rows.size()) return false;
  return (rows[line][x / 8] & (0x80u >> (x % 8))) != 0;
}

}  // namespace

PreviewImage RenderPreview(const StreamDecoder& decoder, int widthDots) {
  PreviewImage image;
  const int fullWidth = decoder.rowBytes() * 8;
  image.width = static_cast<uint32_t>(widthDots >= 1 && widthDots <= fullWidth ? widthDots
                                                                               : fullWidth);
  image.colour = decoder.planesPerLine() == 4;
  size_t lines = 0;
  for (int p = 0; p < decoder.planesPerLine(); ++p) {
    lines = std::max(lines, decoder.PlaneRows(p).size());
  }
  image.height = static_cast<uint32_t>(lines);
  const size_t channels = image.colour ? 3 : 1;
  image.pixels.assign(lines * image.width * channels, kPaper);

  uint8_t* out = image.pixels.data();
  if (!image.colour) {
    const auto& rows = decoder.PlaneRows(0);
    for (size_t line = 0; line < lines; ++line) {
      for (uint32_t x = 0; x < image.width; ++x) *out++ = DotAt(rows, line, x) ? kInk : kPaper;
    }
    return image;
  }
  const auto& k = decoder.PlaneRows(kBlack);
  const auto& c = decoder.PlaneRows(kCyan);
  const auto& m = decoder.PlaneRows(kMagenta);
  const auto& y = decoder.PlaneRows(kYellow);
  for (size_t line = 0; line < lines; ++line) {
    for (uint32_t x = 0; x < image.width; ++x) {
      const bool black = DotAt(k, line, x);
      *out++ = black || DotAt(c, line, x) ? kInk : kPaper;
      *out++ = black || DotAt(m, line, x) ? kInk : kPaper;
      *out++ = black || DotAt(y, line, x) ? kInk : kPaper;
    }
  }
  return image;
}

bool EncodePng(const PreviewImage& image, std::vector<uint8_t>* png, std::string* error) {
  png->clear();
  if (image.width == 0 || image.height == 0) {
    *error = "no dot rows to preview";
    return false;
  }
  const size_t channels = image.colour ? 3 : 1;
  if (image.pixels.size() != static_cast<size_t>(image.width) * image.height * channels) {
    *error = "preview pixels do not match its size";
    return false;
  }
  png_image description;
  std::memset(&description, 0, sizeof description);
  description.version = PNG_IMAGE_VERSION;
  description.width = image.width;
  description.height = image.height;
  description.format = image.colour ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  const png_int_32 stride = static_cast<png_int_32>(image.width * channels);

  // First call sizes the output, second fills it.
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&description, nullptr, &size, 0, image.pixels.data(), stride,
                                 nullptr)) {
    *error = std::string("PNG encoder: ") + description.message;
    png_image_free(&description);
    return false;
  }
  png->resize(size);
  if (!png_image_write_to_memory(&description, png->data(), &size, 0, image.pixels.data(), stride,
                                 nullptr)) {
    *error = std::string("PNG encoder: ") + description.message;
    png_image_free(&description);
    png->clear();
    return false;
  }
  png->resize(size);
  return true;
}

}  // namespace kelo::emulator
