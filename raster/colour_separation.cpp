#include "raster/colour_separation.h"

#include <algorithm>

#include "raster/diffusion.h"
#include "raster/reciprocal_table.h"

namespace {

// Luminance weights; they add up to 255, so white is grey level 254.
int GreyLevel(int red, int green, int blue) { return (76 * red + 151 * green + 28 * blue) >> 8; }

// The hue, saturation and value conversions run once per distinct colour of
// a line, on photos for nearly every pixel. Which component is largest and
// which hue sector a pixel falls in change from pixel to pixel, so both are
// chosen by selection instead of branches.

// a * 255 / d for a within -d..d, truncated toward zero.
inline int ScaledDifference(int a, int d) {
  const int q = Times255Over(a < 0 ? -a : a, d);
  return a < 0 ? -q : q;
}

inline Hsv ToHsv(int red, int green, int blue) {
  const int max = std::max({red, green, blue});
  const int min = std::min({red, green, blue});
  const int d = max - min;
  Hsv hsv = {0, max > 0 ? Times255Over(d, max) : 0, max};
  if (d == 0) return hsv;
  // Ties for the largest go to red first, then green.
  const int fromRed = ScaledDifference(green - blue, d);
  const int fromGreen = 512 + ScaledDifference(blue - red, d);
  const int fromBlue = 1024 + ScaledDifference(red - green, d);
  const int h = red == max ? fromRed : (green == max ? fromGreen : fromBlue);
  hsv.h = h < 0 ? h + 1536 : h;
  return hsv;
}

// Per sector, which of value, p, q, t makes red, green and blue.
constexpr BYTE kSectorComponents[6][3] = {{0, 3, 1}, {2, 0, 1}, {1, 0, 3},
                                         {1, 2, 0}, {3, 1, 0}, {0, 1, 2}};

inline Rgb ToRgb(int hue, int saturation, int value) {
  if (saturation == 0) return {value, value, value};
  // A hue beyond 0..1535 (the hue warp produces none) takes sector 5's order.
  const int sector = static_cast<int>(std::min(static_cast<unsigned>(hue) / 256u, 5u));
  const int f = hue - 256 * sector;
  const int components[4] = {
      value,
      (255 - saturation) * value / 255,  // p
      ((65025 - f * saturation) * value / 255) / 255,  // q
      ((65025 - (255 - f) * saturation) * value / 255) / 255,  // t
  };
  const BYTE* pick = kSectorComponents[sector];
  return {components[pick[0]], components[pick[1]], components[pick[2]]};
}

}  // namespace

Hsv RgbToHsv(int red, int green, int blue) { return ToHsv(red, green, blue); }

Rgb HsvToRgb(int hue, int saturation, int value) { return ToRgb(hue, saturation, value); }

PixelTones SeparateColourPixel(const RasterState& r, int red, int green, int blue) {
  const Hsv hsv = ToHsv(red, green, blue);
  const int value = 255 - r.valueCurve[255 - hsv.v];
  const int h = hsv.h;
  // Bends blue toward cyan and green toward yellow, decided on the input;
  // the sector ends 256, 768 and 1280 stay in place.
  const int towardCyan = h < 1024 ? 768 + (h - 768) * r.blueHueWarp / 255
                                  : 1280 + (512 - r.blueHueWarp) * (h - 1280) / 255;
  const int towardYellow = h < 512 ? 256 + (h - 256) * r.greenHueWarp / 255
                                   : 768 + (512 - r.greenHueWarp) * (h - 768) / 255;
  const bool blueLargest = blue > red && blue > green;
  const bool greenLargest = green > red && green > blue;
  const int warped = blueLargest ? towardCyan : (greenLargest ? towardYellow : h);
  const Rgb rgb = ToRgb(warped, hsv.s, value);
  const int c = r.colourTone[255 - rgb.r];
  const int m = r.colourTone[255 - rgb.g];
  const int y = r.colourTone[255 - rgb.b];
  const int k = std::min({c, m, y});
  return {k, c - k, m - k, y - k};
}

int SeparateRow(RasterState& r, PrinterChannel& channel, const BYTE* bgr) {
  const int w = r.rowWidth;
  if (!r.colourMode) {
    for (int x = 0; x < w; ++x) {
      const BYTE* pixel = bgr + 3 * x;
      r.kValues[x] = r.greyTone[255 - GreyLevel(pixel[2], pixel[1], pixel[0])];
    }
    if (!DiffuseRow(r, channel, r.kValues, r.kErrors, r.kDots, nullptr, r.dotWeightK, r.kSeed,
                    kPlaneK)) {
      return 0;
    }
    ++r.rowCounter;
    return 1;
  }

  int lastBlue = -1;
  int lastGreen = -1;
  int lastRed = -1;
  PixelTones last = {0, 0, 0, 0};
  for (int x = 0; x < w; ++x) {
    const int blue = bgr[3 * x];
    const int green = bgr[3 * x + 1];
    const int red = bgr[3 * x + 2];
    if (red == green && green == blue) {
      // Grey pixels print with K alone, through the grey table.
      r.kValues[x] = r.greyTone[255 - red];
      r.cValues[x] = r.mValues[x] = r.yValues[x] = 0;
      continue;
    }
    // Runs of one colour (fills, bars) reuse the pixel before.
    if (red != lastRed || green != lastGreen || blue != lastBlue) {
      last = SeparateColourPixel(r, red, green, blue);
      lastRed = red;
      lastGreen = green;
      lastBlue = blue;
    }
    r.kValues[x] = static_cast<int16_t>(last.k);
    r.cValues[x] = static_cast<int16_t>(last.c);
    r.mValues[x] = static_cast<int16_t>(last.m);
    r.yValues[x] = static_cast<int16_t>(last.y);
  }
  // K first: its dot row is the mask of C, M and Y.
  if (!DiffuseRow(r, channel, r.kValues, r.kErrors, r.kDots, nullptr, r.dotWeightK, r.kSeed, 0) ||
      !DiffuseRow(r, channel, r.cValues, r.cErrors, r.cmyDots, r.kDots, r.dotWeightC, r.cSeed,
                  1) ||
      !DiffuseRow(r, channel, r.mValues, r.mErrors, r.cmyDots, r.kDots, r.dotWeightM, r.mSeed,
                  2) ||
      !DiffuseRow(r, channel, r.yValues, r.yErrors, r.cmyDots, r.kDots, r.dotWeightY, r.ySeed,
                  3)) {
    return 0;
  }
  ++r.rowCounter;
  return 1;
}
