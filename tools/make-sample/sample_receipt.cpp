#include "tools/make-sample/sample_receipt.h"

#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>

namespace kelo::sample {

namespace {

// 5 x 7 glyphs, one byte a row from the top, bit 4 the leftmost column.
using Glyph = std::array<uint8_t, 7>;

const std::map<char, Glyph>& Font() {
  static const std::map<char, Glyph> font = {
      {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
      {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
      {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
      {'D', {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C}},
      {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
      {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
      {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
      {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
      {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
      {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
      {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
      {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
      {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
      {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
      {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
      {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
      {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}},
      {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
      {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
      {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
      {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
      {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
      {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
      {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
      {'Y', {0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x04}},
      {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
      {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
      {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
      {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
      {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
      {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
      {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
      {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
      {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
      {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
      {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
      {' ', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
      {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
      {',', {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08}},
      {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
      {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
      {'/', {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x00}},
      {'*', {0x00, 0x04, 0x15, 0x0E, 0x15, 0x04, 0x00}},
      {'#', {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A}},
      {'%', {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03}},
      {'+', {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00}},
      {'=', {0x00, 0x00, 0x1F, 0x00, 0x1F, 0x00, 0x00}},
      {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}},
      {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}},
      {'!', {0x04, 0x04, 0x04, 0x04, 0x04, 0x00, 0x04}},
  };
  return font;
}

constexpr int kGlyphColumns = 5;
constexpr int kGlyphRows = 7;
constexpr int kMargin = 24;  // dots left and right of the text

class Canvas {
 public:
  explicit Canvas(GreyImage& image) : image_(image) {}

  void Fill(int x0, int y0, int x1, int y1, uint8_t value) {
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, image_.width);
    y1 = std::min(y1, image_.height);
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) image_.pixels[static_cast<size_t>(y) * image_.width + x] = value;
    }
  }

  void Set(int x, int y, uint8_t value) { Fill(x, y, x + 1, y + 1, value); }

  // Each font dot becomes a square of `scale` dots; one column of space
  // follows every glyph.
  static int TextWidth(const std::string& text, int scale) {
    return static_cast<int>(text.size()) * (kGlyphColumns + 1) * scale - scale;
  }

  void Text(int x, int y, const std::string& text, int scale, uint8_t ink = 0) {
    for (const char raw : text) {
      const char c = (raw >= 'a' && raw <= 'z') ? static_cast<char>(raw - 32) : raw;
      const auto it = Font().find(c);
      const Glyph& glyph = it != Font().end() ? it->second : Font().at('*');
      for (int row = 0; row < kGlyphRows; ++row) {
        for (int column = 0; column < kGlyphColumns; ++column) {
          if ((glyph[static_cast<size_t>(row)] >> (kGlyphColumns - 1 - column) & 1) == 0) continue;
          Fill(x + column * scale, y + row * scale, x + (column + 1) * scale,
               y + (row + 1) * scale, ink);
        }
      }
      x += (kGlyphColumns + 1) * scale;
    }
  }

  void Centred(int y, const std::string& text, int scale) {
    Text((image_.width - TextWidth(text, scale)) / 2, y, text, scale);
  }

  // Text at the left margin and a price flush with the right margin.
  void Line(int y, const std::string& left, const std::string& right, int scale) {
    Text(kMargin, y, left, scale);
    Text(image_.width - kMargin - TextWidth(right, scale), y, right, scale);
  }

  void Dashes(int y) {
    for (int x = kMargin; x < image_.width - kMargin; x += 12) Fill(x, y, x + 8, y + 2, 0);
  }

 private:
  GreyImage& image_;
};

// The logo: a disc shaded from light grey at the centre to dark grey at the
// rim, a black ring, and the name in white.
void DrawLogo(Canvas& canvas, int cx, int cy, int radius) {
  for (int y = cy - radius - 6; y <= cy + radius + 6; ++y) {
    for (int x = cx - radius - 6; x <= cx + radius + 6; ++x) {
      const double r = std::hypot(x - cx, y - cy);
      if (r <= radius) {
        const double t = r / radius;
        canvas.Set(x, y, static_cast<uint8_t>(std::lround(200.0 - 130.0 * t * t)));
      } else if (r <= radius + 5) {
        canvas.Set(x, y, 0);
      }
    }
  }
  const std::string name = "KELO";
  const int scale = 5;
  const int x = cx - Canvas::TextWidth(name, scale) / 2;
  const int y = cy - kGlyphRows * scale / 2;
  canvas.Text(x + 3, y + 3, name, scale, 40);  // shadow
  canvas.Text(x, y, name, scale, 255);
}

// Sixteen steps from white to black.
void DrawRamp(Canvas& canvas, int y, int height) {
  const int steps = 16;
  const int width = (kReceiptWidth - 2 * kMargin) / steps;
  for (int i = 0; i < steps; ++i) {
    const auto value = static_cast<uint8_t>(255 - i * 255 / (steps - 1));
    canvas.Fill(kMargin + i * width, y, kMargin + (i + 1) * width, y + height, value);
  }
}

void DrawBarcode(Canvas& canvas, int y, const std::string& digits) {
  const std::vector<bool> modules = Ean13Modules(digits);
  const int module = 3;  // dots a module
  const int barHeight = 90;
  const int guardExtra = 10;  // start, centre and end guards reach lower
  const int x0 = (kReceiptWidth - static_cast<int>(modules.size()) * module) / 2;
  for (size_t i = 0; i < modules.size(); ++i) {
    if (!modules[i]) continue;
    const bool guard = i < 3 || (i >= 45 && i < 50) || i >= 92;
    const int x = x0 + static_cast<int>(i) * module;
    canvas.Fill(x, y, x + module, y + barHeight + (guard ? guardExtra : 0), 0);
  }
  const std::string all = digits + std::to_string(Ean13CheckDigit(digits));
  // The digits in their groups: 1, 6 and 6. Appended one piece at a time, as
  // GCC 12 at -O3 reports a false overlap (-Wrestrict) for an operator+ chain.
  std::string grouped = all.substr(0, 1);
  grouped += ' ';
  grouped += all.substr(1, 6);
  grouped += ' ';
  grouped += all.substr(7);
  canvas.Centred(y + barHeight + guardExtra + 8, grouped, 2);
}

}  // namespace

int Ean13CheckDigit(const std::string& digits) {
  int sum = 0;
  for (size_t i = 0; i < digits.size() && i < 12; ++i) {
    const int d = digits[i] - '0';
    sum += (i % 2 == 0) ? d : 3 * d;
  }
  return (10 - sum % 10) % 10;
}

std::vector<bool> Ean13Modules(const std::string& digits) {
  if (digits.size() != 12 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return {};
  }
  // Seven modules a digit, most significant bit first. R codes are the
  // complements of L codes; G codes are the R codes reversed.
  static const uint8_t kLeftOdd[10] = {0x0D, 0x19, 0x13, 0x3D, 0x23, 0x31, 0x2F, 0x3B, 0x37, 0x0B};
  static const char* kParity[10] = {"LLLLLL", "LLGLGG", "LLGGLG", "LLGGGL", "LGLLGG",
                                    "LGGLLG", "LGGGLG", "LGLGLG", "LGLGGL", "LGGLGL"};
  auto right = [](int d) { return static_cast<uint8_t>(~kLeftOdd[d] & 0x7F); };
  auto even = [&](int d) {
    uint8_t r = right(d);
    uint8_t reversed = 0;
    for (int b = 0; b < 7; ++b) reversed = static_cast<uint8_t>(reversed | (((r >> b) & 1) << (6 - b)));
    return reversed;
  };
  std::vector<bool> modules;
  auto put = [&](uint8_t code, int bits) {
    for (int b = bits - 1; b >= 0; --b) modules.push_back(((code >> b) & 1) != 0);
  };
  const std::string all = digits + static_cast<char>('0' + Ean13CheckDigit(digits));
  const char* parity = kParity[all[0] - '0'];
  put(0x5, 3);  // 101
  for (int i = 1; i <= 6; ++i) {
    const int d = all[static_cast<size_t>(i)] - '0';
    put(parity[i - 1] == 'L' ? kLeftOdd[d] : even(d), 7);
  }
  put(0x0A, 5);  // 01010
  for (int i = 7; i <= 12; ++i) put(right(all[static_cast<size_t>(i)] - '0'), 7);
  put(0x5, 3);
  return modules;
}

GreyImage DrawSampleReceipt() {
  GreyImage image;
  image.width = kReceiptWidth;
  image.height = kReceiptHeight;
  image.pixels.assign(static_cast<size_t>(image.width) * image.height, 255);
  Canvas c(image);

  DrawLogo(c, kReceiptWidth / 2, 92, 72);
  c.Centred(190, "KELO COFFEE HOUSE", 3);
  c.Centred(224, "12 HARBOUR STREET", 2);
  c.Centred(244, "TEL 0123 456789", 2);
  c.Dashes(272);

  c.Line(290, "RECEIPT 004711", "2024-05-17 14:32", 2);
  c.Line(320, "2 X FLAT WHITE", "7.80", 2);
  c.Line(342, "1 X CROISSANT", "2.40", 2);
  c.Line(364, "1 X ORANGE JUICE", "3.50", 2);
  c.Line(386, "1 X CHEESECAKE", "4.20", 2);
  c.Line(408, "  DISCOUNT 10%", "-1.79", 2);
  c.Dashes(436);
  c.Line(452, "TOTAL", "16.11", 4);
  c.Line(496, "CARD **** 4242", "16.11", 2);
  c.Line(518, "VAT 20% INCLUDED", "2.69", 2);
  c.Dashes(546);

  c.Centred(562, "TONE TEST", 2);
  DrawRamp(c, 584, 36);
  // Fine detail: one-dot and two-dot stripes, which must not turn into
  // moire when the page is halftoned.
  for (int x = kMargin; x < kReceiptWidth - kMargin; ++x) {
    const int half = kReceiptWidth / 2;
    const bool dark = x < half ? (x % 2 == 0) : (x % 4 < 2);
    if (dark) c.Fill(x, 628, x + 1, 648, 0);
  }

  DrawBarcode(c, 664, "400638133393");
  c.Centred(820, "THANK YOU - SEE YOU SOON!", 2);
  c.Centred(850, "KELO PRINT SAMPLE", 2);
  return image;
}

bool WriteGreyPng(const GreyImage& image, const std::string& path, std::string* error) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(image.width);
  png.height = static_cast<png_uint_32>(image.height);
  png.format = PNG_FORMAT_GRAY;
  if (!png_image_write_to_file(&png, path.c_str(), 0, image.pixels.data(), 0, nullptr)) {
    *error = png.message;
    png_image_free(&png);
    return false;
  }
  return true;
}

kelo::engine::RgbImage ToRgb(const GreyImage& grey) {
  kelo::engine::RgbImage image(grey.width, grey.height);
  for (size_t i = 0; i < grey.pixels.size(); ++i) {
    image.rgb[i * 3] = image.rgb[i * 3 + 1] = image.rgb[i * 3 + 2] = grey.pixels[i];
  }
  return image;
}

}  // namespace kelo::sample
