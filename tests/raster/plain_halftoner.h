// The separation and error diffusion written the plain way, one pixel at a
// time with true divisions and a direction variable: the oracle that the
// driver's fast paths (white runs, reused neighbours, reciprocal tables,
// planes processed together) must match bit for bit.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "raster/page_buffers.h"

namespace plain {

using Bytes = std::vector<BYTE>;
using Tones = std::vector<int16_t>;

inline int Rand(uint32_t& state) {
  state = state * 214013u + 2531011u;
  return static_cast<int>((state >> 16) & 0x7FFF);
}

// One plane's line; `errors` is replaced by the next line's errors.
inline Bytes Diffuse(const Tones& values, Tones& errors, const Bytes* mask, int dotWeight,
                     int rowCounter, uint32_t& state) {
  const int w = static_cast<int>(values.size());
  Bytes dots(static_cast<size_t>(w + 7) / 8, 0);
  Tones nextErrors(static_cast<size_t>(w) + 2, 0);
  int16_t* next = nextErrors.data() + 1;
  const int step = rowCounter % 2 == 0 ? 1 : -1;
  int x = step > 0 ? 0 : w - 1;
  int carry = 0;
  int previousNoise = 0;
  for (int k = 0; k < w; ++k, x += step) {
    const int v = values[static_cast<size_t>(x)];
    const int incoming = errors[static_cast<size_t>(x)];
    const BYTE bit = static_cast<BYTE>(0x80 >> (x % 8));
    BYTE& dot = dots[static_cast<size_t>(x / 8)];
    int e;
    if (v == 0 || (mask != nullptr && ((*mask)[static_cast<size_t>(x / 8)] & bit) != 0)) {
      e = v + incoming + carry;
    } else if (v == 8192) {
      dot |= bit;
      e = incoming + carry;
    } else {
      int noise = Rand(state) * (v - 4096) / 32767;
      if ((previousNoise > 0 && noise > 0) || (previousNoise < 0 && noise < 0)) noise = -noise;
      previousNoise = noise;
      const int s = static_cast<int16_t>(incoming + v + carry);
      if (noise + s > 4096) {
        dot |= bit;
        e = s - dotWeight;
      } else {
        e = s;
      }
    }
    if (e == 0) {
      carry = 0;
    } else {
      const int q1 = e / 16;
      const int q3 = (3 * e) / 16;
      const int q5 = (5 * e) / 16;
      next[x + step] = static_cast<int16_t>(next[x + step] + q1);
      next[x] = static_cast<int16_t>(next[x] + q5);
      next[x - step] = static_cast<int16_t>(next[x - step] + q3);
      carry = e - q5 - q3 - q1;
    }
  }
  std::copy(next, next + w, errors.begin());
  return dots;
}

struct Hsv {
  int h, s, v;
};

inline Hsv ToHsv(int r, int g, int b) {
  const int max = std::max({r, g, b});
  const int d = max - std::min({r, g, b});
  Hsv hsv = {0, max > 0 ? d * 255 / max : 0, max};
  if (d == 0) return hsv;
  if (r == max) {
    hsv.h = (g - b) * 255 / d;
  } else if (g == max) {
    hsv.h = 512 + (b - r) * 255 / d;
  } else {
    hsv.h = 1024 + (r - g) * 255 / d;
  }
  if (hsv.h < 0) hsv.h += 1536;
  return hsv;
}

inline void ToRgb(int h, int s, int v, int& r, int& g, int& b) {
  if (s == 0) {
    r = g = b = v;
    return;
  }
  const int sector = h / 256;
  const int f = h - 256 * sector;
  const int p = (255 - s) * v / 255;
  const int q = ((65025 - f * s) * v / 255) / 255;
  const int t = ((65025 - (255 - f) * s) * v / 255) / 255;
  switch (sector) {
    case 0: r = v, g = t, b = p; break;
    case 1: r = q, g = v, b = p; break;
    case 2: r = p, g = v, b = t; break;
    case 3: r = p, g = q, b = v; break;
    case 4: r = t, g = p, b = v; break;
    default: r = v, g = p, b = q; break;
  }
}

// The whole page state of the plain halftoner, planes K, C, M, Y.
struct Halftoner {
  int width;
  bool colour;
  uint32_t state = kPageSeed;
  int rowCounter = 0;
  int16_t greyTone[256];
  int16_t colourTone[256];
  BYTE valueCurve[256];
  Tones values[kPlanes];
  Tones errors[kPlanes];
  Bytes dots[kPlanes];

  Halftoner(int w, bool inColour) : width(w), colour(inColour) {
    FillGreyTone(greyTone);
    FillColourTone(colourTone);
    FillValueCurve(valueCurve);
    for (Tones& e : errors) e.assign(static_cast<size_t>(w), 0);
  }

  void Separate(const BYTE* bgr) {
    const auto w = static_cast<size_t>(width);
    for (Tones& v : values) v.assign(w, 0);
    for (size_t x = 0; x < w; ++x) {
      const int b = bgr[3 * x], g = bgr[3 * x + 1], r = bgr[3 * x + 2];
      if (!colour) {
        values[0][x] = greyTone[255 - ((76 * r + 151 * g + 28 * b) >> 8)];
        continue;
      }
      if (r == g && g == b) {
        values[0][x] = greyTone[255 - r];
        continue;
      }
      const Hsv hsv = ToHsv(r, g, b);
      const int v = 255 - valueCurve[255 - hsv.v];
      int h = hsv.h;
      if (b > r && b > g) {
        h = h < 1024 ? 768 + (h - 768) * 163 / 255 : 1280 + (512 - 163) * (h - 1280) / 255;
      } else if (g > r && g > b) {
        h = h < 512 ? 256 + (h - 256) * 229 / 255 : 768 + (512 - 229) * (h - 768) / 255;
      }
      int r2, g2, b2;
      ToRgb(h, hsv.s, v, r2, g2, b2);
      const int c = colourTone[255 - r2], m = colourTone[255 - g2], y = colourTone[255 - b2];
      const int k = std::min({c, m, y});
      values[0][x] = static_cast<int16_t>(k);
      values[1][x] = static_cast<int16_t>(c - k);
      values[2][x] = static_cast<int16_t>(m - k);
      values[3][x] = static_cast<int16_t>(y - k);
    }
  }

  void Line(const BYTE* bgr) {
    Separate(bgr);
    const int weights[kPlanes] = {10649, 9011, 9830, 9011};
    for (int plane = 0; plane < (colour ? kPlanes : 1); ++plane) {
      dots[plane] = Diffuse(values[plane], errors[plane], plane == 0 ? nullptr : &dots[0],
                            weights[plane], rowCounter, state);
    }
    ++rowCounter;
  }
};

}  // namespace plain
