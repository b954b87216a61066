// An image as the page renderer takes it: 8-bit RGB, rows top to bottom.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelo::engine {

struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // width x height x 3 bytes: red, green, blue

  RgbImage() = default;
  // Filled with `value` in every channel (255: white).
  RgbImage(int w, int h, uint8_t value = 255)
      : width(w), height(h), rgb(static_cast<size_t>(w) * static_cast<size_t>(h) * 3, value) {}

  uint8_t* Pixel(int x, int y) {
    return rgb.data() + (static_cast<size_t>(y) * static_cast<size_t>(width) + x) * 3;
  }
  const uint8_t* Pixel(int x, int y) const {
    return rgb.data() + (static_cast<size_t>(y) * static_cast<size_t>(width) + x) * 3;
  }
};

}  // namespace kelo::engine
