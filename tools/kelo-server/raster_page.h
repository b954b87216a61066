// Pages of a raster job collected as the images the job runner prints.
// PAPPL hands the driver one line at a time in the page header's format; the
// lines are spread to 8-bit RGB into an image allocated once a page, so that
// the page goes through the same renderer as kelo-print's images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/image.h"

namespace kelo::server {

// The line formats the drivers take (the page header's colour space and bits).
enum class LineFormat {
  kWhite8,  // 8-bit grey, 0 black, 255 white (sgray_8, W)
  kBlack8,  // 8-bit black, 0 white, 255 black (black_8, K)
  kBlack1,  // 1 bit a pixel, most significant first, 1 black (black_1)
  kRgb8,    // 8-bit red, green, blue (srgb_8, rgb_8)
};

// The largest page taken, in dots: the widest head and the longest paper at
// 8 dots a millimetre, with room for a client's rounding.
inline constexpr unsigned kMaxPageWidth = 80 * 8 + 16;
inline constexpr unsigned kMaxPageHeight = 2000 * 8 + 16;
// A job's pages are all held until the job is printed; beyond this many
// bytes of pixels (about 300 pages of 80 x 113 mm) a job is refused rather
// than let a client exhaust the server's memory.
inline constexpr size_t kMaxJobBytes = size_t{512} << 20;

class RasterPages {
 public:
  explicit RasterPages(size_t maxBytes = kMaxJobBytes) : maxBytes_(maxBytes) {}

  // Starts a page of `width` x `height` pixels. False with a reason for a
  // page the printers cannot take (too large, empty) or one past the job's
  // limit; nothing is allocated then.
  bool StartPage(unsigned width, unsigned height, LineFormat format, std::string* error);
  // Line `y` of the current page in its format (width pixels); lines outside
  // the page are ignored.
  void Line(unsigned y, const uint8_t* line);

  const std::vector<kelo::engine::RgbImage>& Pages() const { return pages_; }

 private:
  std::vector<kelo::engine::RgbImage> pages_;
  LineFormat format_ = LineFormat::kWhite8;
  size_t maxBytes_;
  size_t bytes_ = 0;  // pixels held, 3 bytes each
};

}  // namespace kelo::server
