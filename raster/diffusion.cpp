#include "raster/diffusion.h"

#include <cstring>

#include "raster/row_encoding.h"

namespace {

constexpr int kFullTone = 8192;
constexpr int kThreshold = 4096;
constexpr int kRandMax = 32767;
// Every tone is 0 or kFullTone when no other bit than this one is set.
constexpr uint64_t kAllButFullTone = ~0x2000200020002000ull;

// What runs from pixel to pixel within one plane row. The next line's
// errors are written in place behind the pixel being processed: pixel x
// adds 1/16 ahead, 5/16 below and 3/16 behind, so when it is done the entry
// behind it is complete and the incoming error there has already been read.
struct Run {
  int carry = 0;
  int previousNoise = 0;
  uint32_t random = 0;
  int behind = 0;  // next line's entry below the pixel before, without its 3/16
  int here = 0;  // next line's entry below this pixel: the 1/16 of the one before
};

// Passes the error e of one pixel on. `done` receives the finished
// next-line entry behind the pixel.
inline void Distribute(Run& run, int e, int16_t& done) {
  // Divisions by 16 truncating toward zero; 3e and 5e have e's sign.
  const int bias = (e >> 31) & 15;
  const int q1 = (e + bias) >> 4;
  const int q3 = (3 * e + bias) >> 4;
  const int q5 = (5 * e + bias) >> 4;
  // Entries are 16 bits: truncating the sum once equals truncating each addition.
  done = static_cast<int16_t>(run.behind + q3);
  run.behind = run.here + q5;
  run.here = q1;
  run.carry = e - q1 - q3 - q5;
}

// A pixel known to take the noise path (neither 0 nor 8192, not masked).
inline int NoisyPixel(Run& run, int v, int incoming, int dotWeight, int16_t& done) {
  run.random = run.random * 214013u + 2531011u;
  int noise = static_cast<int>((run.random >> 16) & 0x7FFF) * (v - kThreshold) / kRandMax;
  // Same sign as the previous noise, both non-zero: negated. Exactly then
  // the product is positive (each is below 4096 in size).
  const int flip = -static_cast<int>(run.previousNoise * noise > 0);
  noise = (noise ^ flip) - flip;
  run.previousNoise = noise;
  const int s = static_cast<int16_t>(incoming + v + run.carry);
  const int dotMask = (kThreshold - noise - s) >> 31;
  Distribute(run, s - (dotWeight & dotMask), done);
  return dotMask & 1;
}

// Any pixel; returns 1 for a dot. Blank and full pixels are rare on photos
// and come in runs on receipts, so branches on them predict well.
inline int AnyPixel(Run& run, int v, int incoming, int masked, int dotWeight, int16_t& done) {
  if (v == 0 || masked) {
    Distribute(run, v + incoming + run.carry, done);
    return 0;
  }
  if (v == kFullTone) {
    Distribute(run, incoming + run.carry, done);
    return 1;
  }
  return NoisyPixel(run, v, incoming, dotWeight, done);
}

// The pixels of dot byte b, in the direction of travel. The row's first
// pixel has no entry behind it (a guard, dropped): its share goes to its
// own entry, which the next pixel overwrites with the finished value.
template <int kStep, bool kMasked>
BYTE PartialByte(Run& run, const int16_t* values, int16_t* errors, const BYTE* mask,
                 int dotWeight, int b, int count, bool rowStart) {
  const BYTE maskBits = kMasked ? mask[b] : BYTE{0};
  BYTE byte = 0;
  for (int j = 0; j < count; ++j) {
    const int x = kStep > 0 ? 8 * b + j : 8 * b + count - 1 - j;
    const int shift = 7 - (x & 7);
    const int masked = kMasked ? (maskBits >> shift) & 1 : 0;
    int16_t& done = rowStart && j == 0 ? errors[x] : errors[x - kStep];
    byte = static_cast<BYTE>(byte | AnyPixel(run, values[x], errors[x], masked, dotWeight, done)
                                        << shift);
  }
  return byte;
}

template <int kStep, bool kMasked, bool kPhoto>
inline BYTE FullByte(Run& run, const int16_t* values, int16_t* errors, const BYTE* mask,
                     int dotWeight, int b) {
  const int base = 8 * b;
  // Blank and full pixels with no error coming in and a carry too small to
  // reach the next line (|5 carry| < 16) change nothing: no dot below a
  // blank, a dot on a full tone, no draw, the carry goes on as it is.
  uint64_t tones[2];
  uint64_t incoming[2];
  std::memcpy(tones, values + base, sizeof tones);
  std::memcpy(incoming, errors + base, sizeof incoming);
  if ((incoming[0] | incoming[1]) == 0 && static_cast<unsigned>(run.carry + 3) <= 6 &&
      ((tones[0] | tones[1]) & kAllButFullTone) == 0) {
    BYTE fullBits = 0;
    if ((tones[0] | tones[1]) != 0) {
      for (int j = 0; j < 8; ++j) {
        fullBits = static_cast<BYTE>(fullBits | (values[base + j] == kFullTone) << (7 - j));
      }
    }
    // A masked full tone is passed on whole: not such a pixel.
    if (!kMasked || (fullBits & mask[b]) == 0) {
      const int first = kStep > 0 ? base : base + 7;
      errors[first - kStep] = static_cast<int16_t>(run.behind);
      errors[first] = static_cast<int16_t>(run.here);
      run.behind = 0;
      run.here = 0;
      return fullBits;
    }
  }
  BYTE byte = 0;
  // Photos: every pixel of the byte on the noise path.
  constexpr uint64_t kLow = 0x0001000100010001ull;
  constexpr uint64_t kHigh = 0x8000800080008000ull;
  auto anyZero = [](uint64_t lanes) { return ((lanes - kLow) & ~lanes & kHigh) != 0; };
  constexpr uint64_t kFull = kFullTone * kLow;
  if (kPhoto && !anyZero(tones[0]) && !anyZero(tones[1]) && !anyZero(tones[0] ^ kFull) &&
      !anyZero(tones[1] ^ kFull)) {
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) {
      const int x = kStep > 0 ? base + j : base + 7 - j;
      byte = static_cast<BYTE>(
          byte | NoisyPixel(run, values[x], errors[x], dotWeight, errors[x - kStep])
                     << (7 - (x & 7)));
    }
    return byte;
  }
  const BYTE maskBits = kMasked ? mask[b] : BYTE{0};
#pragma GCC unroll 8
  for (int j = 0; j < 8; ++j) {
    const int x = kStep > 0 ? base + j : base + 7 - j;
    const int shift = 7 - (x & 7);
    const int masked = kMasked ? (maskBits >> shift) & 1 : 0;
    byte = static_cast<BYTE>(
        byte | AnyPixel(run, values[x], errors[x], masked, dotWeight, errors[x - kStep])
                   << shift);
  }
  return byte;
}

template <int kStep, bool kMasked, bool kPhoto = false>
[[gnu::noinline]] void DiffuseLine(RasterState& r, const int16_t* values, int16_t* errors,
                                   BYTE* dots, const BYTE* mask, int dotWeight) {
  const int w = r.rowWidth;
  const int last = r.rowBytes - 1;
  const int lastCount = w - 8 * last;
  Run run;
  run.random = r.randomState;
  if (kStep > 0) {
    dots[0] = PartialByte<kStep, kMasked>(run, values, errors, mask, dotWeight, 0,
                                          last == 0 ? lastCount : 8, true);
    for (int b = 1; b < last; ++b) {
      dots[b] = FullByte<kStep, kMasked, kPhoto>(run, values, errors, mask, dotWeight, b);
    }
    if (last > 0) {
      dots[last] = PartialByte<kStep, kMasked>(run, values, errors, mask, dotWeight, last,
                                               lastCount, false);
    }
    errors[w - 1] = static_cast<int16_t>(run.behind);
  } else {
    dots[last] = PartialByte<kStep, kMasked>(run, values, errors, mask, dotWeight, last,
                                             lastCount, true);
    for (int b = last - 1; b >= 0; --b) {
      dots[b] = FullByte<kStep, kMasked, kPhoto>(run, values, errors, mask, dotWeight, b);
    }
    errors[0] = static_cast<int16_t>(run.behind);
  }
  r.randomState = run.random;
}

// Whether a row is worth testing byte by byte for the noise path alone: a
// wrong guess costs a branch per byte, not a wrong result.
bool MostlyNoisy(const int16_t* values, int w) {
  int plain = 0;
  for (int x = 0; x < w; ++x) plain += static_cast<int>(values[x] == 0) | (values[x] == kFullTone);
  return plain * 32 < w;
}

}  // namespace

int DiffuseRow(RasterState& r, PrinterChannel& channel, const int16_t* values, int16_t* errors,
               BYTE* dots, const BYTE* mask, int dotWeight, BYTE* seed, int plane) {
  const bool forward = (r.rowCounter & 1) == 0;
  if (mask == nullptr && MostlyNoisy(values, r.rowWidth)) {
    forward ? DiffuseLine<1, false, true>(r, values, errors, dots, mask, dotWeight)
            : DiffuseLine<-1, false, true>(r, values, errors, dots, mask, dotWeight);
  } else if (mask == nullptr) {
    forward ? DiffuseLine<1, false>(r, values, errors, dots, mask, dotWeight)
            : DiffuseLine<-1, false>(r, values, errors, dots, mask, dotWeight);
  } else {
    forward ? DiffuseLine<1, true>(r, values, errors, dots, mask, dotWeight)
            : DiffuseLine<-1, true>(r, values, errors, dots, mask, dotWeight);
  }
  return EncodeDotRow(r, channel, dots, seed, plane);
}
