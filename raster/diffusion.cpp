#include "raster/diffusion.h"

#include <cstring>

#include "raster/row_encoding.h"

namespace {
constexpr int kFullTone = 8192;
constexpr int kThreshold = 4096;
constexpr int kRandMax = 32767;
}  // namespace

int DiffuseRow(RasterState& r, PrinterChannel& channel, const int16_t* values, int16_t* errors,
               BYTE* dots, const BYTE* mask, int dotWeight, BYTE* seed, int plane) {
  const int w = r.rowWidth;
  std::memset(dots, 0, static_cast<size_t>(r.rowBytes));
  // next[-1] and next[w] are the guards around the pixels.
  int16_t* const next = r.nextErrors + 1;
  std::memset(r.nextErrors, 0, static_cast<size_t>(w + 2) * sizeof(int16_t));

  const bool forward = (r.rowCounter & 1) == 0;
  const int step = forward ? 1 : -1;
  int x = forward ? 0 : w - 1;
  int carry = 0;
  int previousNoise = 0;
  for (int k = 0; k < w; ++k, x += step) {
    const int v = values[x];
    const int incoming = errors[x];
    const BYTE bit = static_cast<BYTE>(0x80 >> (x & 7));
    int e;
    if (v == 0 || (mask != nullptr && (mask[x >> 3] & bit))) {
      e = v + incoming + carry;
    } else if (v == kFullTone) {
      dots[x >> 3] |= bit;
      e = incoming + carry;
    } else {
      int noise = r.Rand() * (v - kThreshold) / kRandMax;
      // Same sign as the previous noise (both non-zero): negated. Written
      // without branches; whether a dot falls is close to a coin toss.
      const int sameSign = (previousNoise ^ noise) >= 0 && previousNoise != 0 && noise != 0;
      noise = sameSign ? -noise : noise;
      previousNoise = noise;
      const int s = static_cast<int16_t>(incoming + v + carry);
      const int dot = noise + s > kThreshold;
      dots[x >> 3] = static_cast<BYTE>(dots[x >> 3] | (bit & -dot));
      e = s - (dotWeight & -dot);
    }
    if (e == 0) {
      carry = 0;
    } else {
      // Truncating divisions (not shifts): the remainder rule needs the
      // exact quotients for negative errors too.
      const int q1 = e / 16;
      const int q3 = (3 * e) / 16;
      const int q5 = (5 * e) / 16;
      next[x + step] = static_cast<int16_t>(next[x + step] + q1);
      next[x] = static_cast<int16_t>(next[x] + q5);
      next[x - step] = static_cast<int16_t>(next[x - step] + q3);
      carry = e - q5 - q3 - q1;
    }
  }
  std::memcpy(errors, next, static_cast<size_t>(w) * sizeof(int16_t));
  return EncodeDotRow(r, channel, dots, seed, plane);
}
