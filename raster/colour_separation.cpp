#include "raster/colour_separation.h"

#include <algorithm>

#include "raster/diffusion.h"

namespace {

// Luminance weights; they add up to 255, so white is grey level 254.
int GreyLevel(int red, int green, int blue) { return (76 * red + 151 * green + 28 * blue) >> 8; }

}  // namespace

Hsv RgbToHsv(int red, int green, int blue) {
  const int max = std::max({red, green, blue});
  const int min = std::min({red, green, blue});
  const int d = max - min;
  Hsv hsv = {0, max > 0 ? d * 255 / max : 0, max};
  if (d == 0) return hsv;
  if (red == max) {
    hsv.h = (green - blue) * 255 / d;
  } else if (green == max) {
    hsv.h = 512 + (blue - red) * 255 / d;
  } else {
    hsv.h = 1024 + (red - green) * 255 / d;
  }
  if (hsv.h < 0) hsv.h += 1536;
  return hsv;
}

Rgb HsvToRgb(int hue, int saturation, int value) {
  if (saturation == 0) return {value, value, value};
  const int sector = hue / 256;
  const int f = hue - 256 * sector;
  const int p = (255 - saturation) * value / 255;
  const int q = ((65025 - f * saturation) * value / 255) / 255;
  const int t = ((65025 - (255 - f) * saturation) * value / 255) / 255;
  switch (sector) {
    case 0:
      return {value, t, p};
    case 1:
      return {q, value, p};
    case 2:
      return {p, value, t};
    case 3:
      return {p, q, value};
    case 4:
      return {t, p, value};
    default:
      return {value, p, q};
  }
}

PixelTones SeparateColourPixel(const RasterState& r, int red, int green, int blue) {
  Hsv hsv = RgbToHsv(red, green, blue);
  const int value = 255 - r.valueCurve[255 - hsv.v];
  int h = hsv.h;
  // Bends blue toward cyan and green toward yellow; decided on the input.
  if (blue > red && blue > green) {
    h = h < 1024 ? 768 + (h - 768) * r.blueHueWarp / 255
                 : 1280 + (512 - r.blueHueWarp) * (h - 1280) / 255;
  } else if (green > red && green > blue) {
    h = h < 512 ? 256 + (h - 256) * r.greenHueWarp / 255
                : 768 + (512 - r.greenHueWarp) * (h - 768) / 255;
  }
  const Rgb rgb = HsvToRgb(h, hsv.s, value);
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
