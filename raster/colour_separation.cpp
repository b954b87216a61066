#include "raster/colour_separation.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "raster/diffusion.h"
#include "raster/reciprocal_table.h"
#include "raster/separation_line.h"
#include "raster/separation_vector.h"

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

namespace {

// Selections written as masks: the compiler keeps them free of branches.
inline int Pick(bool condition, int whenTrue, int whenFalse) {
  return whenFalse ^ ((whenTrue ^ whenFalse) & -static_cast<int>(condition));
}
inline int Larger(int a, int b) { return Pick(a > b, a, b); }
inline int Smaller(int a, int b) { return Pick(a < b, a, b); }

}  // namespace

PixelTones SeparateColourPixel(const RasterState& r, int red, int green, int blue) {
  // The same steps as RgbToHsv and HsvToRgb, with every choice a selection:
  // on photos the largest component, the hue sector and the warp branch
  // change from pixel to pixel at random.
  const int max = Larger(Larger(red, green), blue);
  const int d = max - Smaller(Smaller(red, green), blue);
  const int saturation = Times255Over(d, max);
  // Ties for the largest go to red first, then green.
  const bool redMax = red == max;
  const bool greenMax = !redMax && green == max;
  const int difference = Pick(redMax, green - blue, Pick(greenMax, blue - red, red - green));
  const int offset = Pick(redMax, 0, Pick(greenMax, 512, 1024));
  const int negative = difference >> 31;
  const int scaled = Times255Over((difference ^ negative) - negative, d);
  int h = offset + ((scaled ^ negative) - negative);
  h += 1536 & (h >> 31);
  const int value = 255 - r.valueCurve[255 - max];

  // Bends blue toward cyan and green toward yellow, decided on the input;
  // the sector ends 256, 768 and 1280 stay in place.
  const bool blueLargest = blue > red && blue > green;
  const bool greenLargest = green > red && green > blue;
  const bool blueLow = h < 1024;
  const bool greenLow = h < 512;
  const int blueBase = Pick(blueLow, 768, 1280);
  const int blueSpan =
      Pick(blueLow, (h - 768) * r.blueHueWarp, (512 - r.blueHueWarp) * (h - 1280));
  const int greenBase = Pick(greenLow, 256, 768);
  const int greenSpan =
      Pick(greenLow, (h - 256) * r.greenHueWarp, (512 - r.greenHueWarp) * (h - 768));
  const int base = Pick(blueLargest, blueBase, greenBase);
  const int span = Pick(blueLargest, blueSpan, greenSpan);
  const int warped = Pick(blueLargest || greenLargest, base + span / 255, h);

  // HsvToRgb; with saturation 0 all of p, q, t come out equal to the value.
  const auto sector = static_cast<unsigned>(Smaller(warped >> 8, 5));
  const auto f = static_cast<unsigned>(warped) - 256u * sector;
  const auto s = static_cast<unsigned>(saturation);
  const auto v = static_cast<unsigned>(value);
  // Of q and t a sector uses one: q in the odd sectors, t in the even ones,
  // the same formula with f or 255 - f. Two truncating divisions by 255 in
  // a row are one by 65025 (floor(floor(a / b) / c) = floor(a / (b c)) for
  // a >= 0), and (65025 - g s) v < 2^24 stays in range.
  const auto g = (sector & 1u) != 0 ? f : 255u - f;
  const uint32_t qt = (65025u - g * s) * v / 65025u;
  // v, p and q or t packed into one word, a byte each (q and t share a
  // byte): picking by sector is then a shift (an array in memory would be
  // stored and reloaded).
  const uint32_t packed = v | ((255u - s) * v / 255u) << 8 | qt << 16 | qt << 24;
  const BYTE* pick = kSectorComponents[sector];
  const int c = r.colourTone[255 - ((packed >> (8 * pick[0])) & 0xFF)];
  const int m = r.colourTone[255 - ((packed >> (8 * pick[1])) & 0xFF)];
  const int y = r.colourTone[255 - ((packed >> (8 * pick[2])) & 0xFF)];
  const int k = Smaller(Smaller(c, m), y);
  return {k, c - k, m - k, y - k};
}

namespace {

// Grey printing: the K tones of a line, pixel by pixel (the per-pixel path
// and the rest of a line after the vector groups). Eight white pixels (24 bytes of
// 0xFF, most of a receipt) take one test and one fill; any other group is
// taken pixel by pixel.
void GreyLine(const BYTE* bgr, int w, const int16_t* greyTone, int16_t* tones) {
  constexpr int kGroup = 8;
  const int16_t white = greyTone[255 - GreyLevel(255, 255, 255)];
  for (int x = 0; x < w; x += kGroup) {
    const int n = std::min(kGroup, w - x);
    const BYTE* pixels = bgr + 3 * x;
    if (n == kGroup) {
      uint64_t words[3];
      std::memcpy(words, pixels, sizeof words);
      if ((words[0] & words[1] & words[2]) == ~uint64_t{0}) {
        std::fill_n(tones + x, kGroup, white);
        continue;
      }
    }
    BYTE level[kGroup];
    for (int j = 0; j < n; ++j) {
      level[j] = static_cast<BYTE>(GreyLevel(pixels[3 * j + 2], pixels[3 * j + 1], pixels[3 * j]));
    }
    for (int j = 0; j < n; ++j) tones[x + j] = greyTone[255 - level[j]];
  }
}

}  // namespace

namespace {

// Pixels from..to-1, one at a time.
void SeparateScalar(const RasterState& r, const BYTE* bgr, int from, int to) {
  int lastBlue = -1;
  int lastGreen = -1;
  int lastRed = -1;
  PixelTones last = {0, 0, 0, 0};
  for (int x = from; x < to; ++x) {
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
}

}  // namespace

bool SeparationPathAvailable(SeparationPath path) {
  switch (path) {
    case SeparationPath::kScalar:
      return true;
    case SeparationPath::kVector:
      return VectorSeparationBuilt();
    case SeparationPath::kVectorAvx2:
      return Avx2Available();
  }
  return false;
}

SeparationPath FastestSeparationPath() {
  static const SeparationPath fastest = SeparationPathAvailable(SeparationPath::kVectorAvx2)
                                            ? SeparationPath::kVectorAvx2
                                            : SeparationPath::kScalar;
  return fastest;
}

namespace {

using GroupFunction = bool (*)(const RasterState&, const BYTE*, int);

// Whole groups of eight through the path's vector code; the first pixel
// left for the per-pixel code (0 on the per-pixel path).
int VectorGroups(const RasterState& r, const BYTE* bgr, int width, SeparationPath path,
                 GroupFunction baseline, GroupFunction avx2) {
  constexpr int kGroup = 8;
  const int groups = width / kGroup;
  bool done = false;
  if (path == SeparationPath::kVectorAvx2) {
    done = avx2(r, bgr, groups);
  } else if (path == SeparationPath::kVector) {
    done = baseline(r, bgr, groups);
  }
  return done ? groups * kGroup : 0;
}

}  // namespace

void GreyToneLine(const RasterState& r, const BYTE* bgr, int width, SeparationPath path) {
  const int from = VectorGroups(r, bgr, width, path, GreyGroupsVector, GreyGroupsAvx2);
  GreyLine(bgr + 3 * from, width - from, r.greyTone, r.kValues + from);
}

void SeparateColourLine(const RasterState& r, const BYTE* bgr, int width, SeparationPath path) {
  const int from =
      VectorGroups(r, bgr, width, path, SeparateGroupsVector, SeparateGroupsAvx2);
  SeparateScalar(r, bgr, from, width);
}

int SeparateRow(RasterState& r, PrinterChannel& channel, const BYTE* bgr) {
  const int w = r.rowWidth;
  if (!r.colourMode) {
    GreyToneLine(r, bgr, w, FastestSeparationPath());
    if (!DiffuseRow(r, channel, r.kValues, r.kErrors, r.kDots, nullptr, r.dotWeightK, r.kSeed,
                    kPlaneK)) {
      return 0;
    }
    ++r.rowCounter;
    return 1;
  }

  SeparateColourLine(r, bgr, w, FastestSeparationPath());
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
