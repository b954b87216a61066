// The sample receipt of examples/receipt.png: a page of 80 mm paper in dots
// (640 x 904) with a grey logo, text in a small bitmap font, a grey ramp and
// an EAN-13 bar code. Drawn from code alone, so it comes out the same every
// time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/image.h"

namespace kelo::sample {

inline constexpr int kReceiptWidth = 640;
inline constexpr int kReceiptHeight = 904;

struct GreyImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // rows top to bottom, 0 black, 255 white
};

GreyImage DrawSampleReceipt();

// The same picture as the page renderer takes it: every channel the grey.
kelo::engine::RgbImage ToRgb(const GreyImage& grey);

// The bars of EAN-13 for 12 digits (the check digit is added): 95 modules,
// true = dark. Empty when `digits` is not 12 decimal digits.
std::vector<bool> Ean13Modules(const std::string& digits);
// The check digit of 12 EAN-13 digits.
int Ean13CheckDigit(const std::string& digits);

// Writes an 8-bit grey PNG; false with a reason.
bool WriteGreyPng(const GreyImage& image, const std::string& path, std::string* error);

}  // namespace kelo::sample
