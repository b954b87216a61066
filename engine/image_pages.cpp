#include "engine/image_pages.h"

#include <algorithm>
#include <memory>

namespace kelo::engine {

PageRenderer ImagePages(const std::vector<RgbImage>& images, FitMode fit, JobOptions& options) {
  struct Paper {
    int width = 0;  // dots; 0 until the device is enabled
    int height = 0;
  };
  auto paper = std::make_shared<Paper>();
  auto chained = std::move(options.enabled);
  options.enabled = [paper, chained](const GDIINFO& info) {
    paper->width = static_cast<int>(info.szlPhysSize.cx);
    paper->height = static_cast<int>(info.szlPhysSize.cy);
    if (chained) chained(info);
  };
  return [&images, fit, paper](int page, int width, int height, uint8_t* bgr, size_t stride) {
    if (page < 0 || static_cast<size_t>(page) >= images.size()) return;
    const int w = paper->width > 0 ? std::min(paper->width, width) : width;
    const int h = paper->height > 0 ? std::min(paper->height, height) : height;
    DrawImagePage(images[static_cast<size_t>(page)], fit, w, h, bgr, stride);
  };
}

}  // namespace kelo::engine
