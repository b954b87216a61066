#include "bench/photo_image.h"

#include <algorithm>
#include <cstdint>

namespace kelo::bench {

namespace {

// A well-mixed 32-bit hash of a lattice point; the grain and the value noise
// come from it instead of a random engine, whose output may differ between
// standard libraries once distributions are involved.
uint32_t Hash(uint32_t x, uint32_t y, uint32_t seed) {
  uint32_t h = x * 0x8DA6B343u ^ y * 0xD8163841u ^ seed * 0xCB1AB31Fu;
  h ^= h >> 16;
  h *= 0x7FEB352Du;
  h ^= h >> 15;
  h *= 0x846CA68Bu;
  h ^= h >> 16;
  return h;
}

// Value noise in 0..255: lattice values `cell` pixels apart, blended with a
// smoothstep so that no lattice lines show (clouds, foliage).
int ValueNoise(int x, int y, int cell, uint32_t seed) {
  const int cx = x / cell;
  const int cy = y / cell;
  // Smoothstep of the position in the cell, still in 0..cell.
  auto fade = [cell](int f) { return f * f * (3 * cell - 2 * f) / (cell * cell); };
  const int fx = fade(x % cell);
  const int fy = fade(y % cell);
  auto at = [&](int dx, int dy) {
    return static_cast<int>(Hash(static_cast<uint32_t>(cx + dx), static_cast<uint32_t>(cy + dy),
                                 seed) >> 24);
  };
  const int top = at(0, 0) * (cell - fx) + at(1, 0) * fx;
  const int bottom = at(0, 1) * (cell - fx) + at(1, 1) * fx;
  return (top * (cell - fy) + bottom * fy) / (cell * cell);
}

struct Blob {
  int cx, cy, radius;
  int r, g, b;
};

// Soft discs laid over the background: full colour at the centre, fading
// out quadratically to the rim.
constexpr Blob kBlobs[] = {
    {470, 170, 90, 250, 235, 180},  // a low sun
    {180, 560, 170, 60, 120, 50},   // a tree crown
    {450, 650, 130, 170, 90, 60},   // a rock
    {320, 820, 110, 210, 170, 140},  // a face-like warm patch
};

}  // namespace

kelo::engine::RgbImage MakePhotoImage() {
  kelo::engine::RgbImage image(kPhotoWidth, kPhotoHeight);
  const int horizon = kPhotoHeight * 2 / 5;
  for (int y = 0; y < kPhotoHeight; ++y) {
    for (int x = 0; x < kPhotoWidth; ++x) {
      int r, g, b;
      if (y < horizon) {  // sky: deep blue at the top to pale at the horizon, some cloud
        const int t = y * 255 / horizon;
        const int cloud = std::max(0, ValueNoise(x, y, 48, 1) - 140);
        r = 40 + t * 150 / 255 + cloud;
        g = 80 + t * 130 / 255 + cloud;
        b = 170 + t * 70 / 255 + cloud / 2;
      } else {  // ground: green to brown downwards and across, with coarse texture
        const int t = (y - horizon) * 255 / (kPhotoHeight - horizon);
        const int s = x * 255 / kPhotoWidth;
        const int texture = (ValueNoise(x, y, 24, 2) + ValueNoise(x, y, 6, 4)) / 2 - 128;
        r = 70 + t * 90 / 255 + s * 30 / 255 + texture / 3;
        g = 120 + t * 10 / 255 - s * 20 / 255 + texture / 3;
        b = 50 + t * 40 / 255 + texture / 4;
      }
      for (const Blob& blob : kBlobs) {
        const int dx = x - blob.cx;
        const int dy = y - blob.cy;
        const int d2 = dx * dx + dy * dy;
        const int r2 = blob.radius * blob.radius;
        if (d2 >= r2) continue;
        const int w = (r2 - d2) * 256 / r2;  // 256 at the centre, 0 at the rim
        r = (r * (256 - w) + blob.r * w) / 256;
        g = (g * (256 - w) + blob.g * w) / 256;
        b = (b * (256 - w) + blob.b * w) / 256;
      }
      const int grain = static_cast<int>(Hash(static_cast<uint32_t>(x), static_cast<uint32_t>(y), 3) % 9) - 4;
      uint8_t* pixel = image.Pixel(x, y);
      pixel[0] = static_cast<uint8_t>(std::clamp(r + grain, 0, 255));
      pixel[1] = static_cast<uint8_t>(std::clamp(g + grain, 0, 255));
      pixel[2] = static_cast<uint8_t>(std::clamp(b + grain, 0, 255));
    }
  }
  return image;
}

}  // namespace kelo::bench
