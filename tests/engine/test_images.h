// Test images written by the reference libraries themselves, as any other
// program would write them, in memory or as files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/image.h"

namespace kelo::test {

struct PngLayout {
  int width = 1;
  int height = 1;
  int colourType = 2;  // PNG_COLOR_TYPE_*: 0 grey, 2 RGB, 3 palette, 4 grey+alpha, 6 RGBA
  int bitDepth = 8;
  bool interlaced = false;
  // Packed rows as the PNG format stores them (16-bit samples big-endian).
  std::vector<uint8_t> rows;
  std::vector<uint8_t> paletteRgb;  // colour type 3: 3 bytes an entry
  std::vector<uint8_t> paletteAlpha;  // colour type 3: tRNS, one alpha per entry
};

std::vector<uint8_t> EncodePng(const PngLayout& layout);
// 8-bit RGB or grey (channels 1 or 3) PNG of an RgbImage's samples.
std::vector<uint8_t> EncodeRgbPng(const kelo::engine::RgbImage& image);

// components: 1 grey, 3 RGB, 4 CMYK (written with the Adobe marker, i.e.
// inverted, as libjpeg does).
std::vector<uint8_t> EncodeJpeg(int width, int height, int components,
                                const std::vector<uint8_t>& samples, int quality = 100);

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

// Deterministic pseudo-random RGB noise.
kelo::engine::RgbImage NoiseImage(int width, int height, uint32_t seed);

}  // namespace kelo::test
