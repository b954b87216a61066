// Raster state of the print context: row geometry, work buffers, per-plane
// error and seed rows, tone tables and constants.
//
// Tone values are signed 16-bit: 0 = no ink, 8192 = a full dot, 4096 the dot
// threshold. A dot row is rowBytes bytes, most significant bit first, 1 =
// print.
#pragma once

#include <cstdint>

#include "platform/win_types.h"

inline constexpr int kPlanes = 4;  // K, C, M, Y, in the order the printer takes them
inline constexpr int kPlaneK = 0;
// The encoding the printer is in is not known (after setup and page start).
inline constexpr int kModeUnknown = -1;

struct RasterState {
  int colourMode = 0;  // 1: K, C, M, Y planes; 0: grey (K only)
  int rowWidth = 0;  // dots per printed row
  int rowBytes = 0;  // (rowWidth + 7) / 8
  int currentMode = 0;  // row encoding last sent, or kModeUnknown
  int rowCounter = 0;  // raster lines sent on this page; parity = scan direction

  BYTE* kDots = nullptr;  // K dot row; mask for C, M, Y
  BYTE* cmyDots = nullptr;  // dot row shared by C, M, Y in turn
  BYTE* packedRow = nullptr;  // one delta-encoded row
  int16_t* nextErrors = nullptr;  // rowWidth + 2: guard, pixels, guard
  int16_t* kValues = nullptr;
  int16_t* kErrors = nullptr;
  BYTE* kSeed = nullptr;
  int16_t* greyTone = nullptr;  // 256 entries, exponent 1.4
  int16_t* cValues = nullptr;
  int16_t* mValues = nullptr;
  int16_t* yValues = nullptr;
  int16_t* cErrors = nullptr;
  int16_t* mErrors = nullptr;
  int16_t* yErrors = nullptr;
  BYTE* cSeed = nullptr;
  BYTE* mSeed = nullptr;
  BYTE* ySeed = nullptr;
  int16_t* colourTone = nullptr;  // 256 entries, exponent 1.3
  BYTE* valueCurve = nullptr;  // 256 entries, exponent 2.1
  BYTE* rotationRow = nullptr;  // landscape: 3 x rowWidth bytes, blue, green, red
  // The tone tables again, each entry widened to 32 bits, so that the vector
  // code looks up a whole word (one gather); filled with the tables above
  // and read-only after. greyToneWide in both modes, the other two in
  // colour mode only.
  int32_t* greyToneWide = nullptr;
  int32_t* colourToneWide = nullptr;
  int32_t* valueCurveWide = nullptr;

  int dotWeightK = 0;
  int dotWeightC = 0;
  int dotWeightM = 0;
  int dotWeightY = 0;
  int blueHueWarp = 0;
  int greenHueWarp = 0;

  // The printer has no page boundary: until a plane's first row on a page
  // is sent whole in encoding 0, the driver does not know that plane's seed
  // on the printer side. Indexed by plane, reset at every page start.
  bool seedSent[kPlanes] = {};

  // Sees every plane row as it goes to the row writer (plane 0..3 = K, C,
  // M, Y), for tools and tests that check the stream against the dots.
  // Unset while printing; then it costs one test per plane row.
  using DotRowObserver = void (*)(void* context, int plane, const BYTE* dots, int rowBytes);
  DotRowObserver dotRowObserver = nullptr;
  void* observerContext = nullptr;

  // The diffusion noise's generator, private to this context so that the
  // host's own random state is left alone; restarted at every page.
  uint32_t randomState = 119;

  int Rand() {
    randomState = randomState * 214013u + 2531011u;
    return static_cast<int>((randomState >> 16) & 0x7FFF);
  }
};
