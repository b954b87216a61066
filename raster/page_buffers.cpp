#include "raster/page_buffers.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace {

template <typename T>
T* Allocate(size_t count) {
  return new (std::nothrow) T[count]();
}

template <typename T>
void Free(T*& buffer) {
  delete[] buffer;
  buffer = nullptr;
}

// 256 entries of a filled table, widened for the vector code.
template <typename T>
int32_t* WideCopy(const T* table) {
  if (table == nullptr) return nullptr;
  int32_t* wide = Allocate<int32_t>(256);
  if (wide != nullptr) std::copy_n(table, 256, wide);
  return wide;
}

// pow(i, e) / D + 0.5 truncated; D is computed once per table.
int16_t PowerEntry(int i, double exponent, double divisor) {
  return static_cast<int16_t>(std::pow(static_cast<double>(i), exponent) / divisor + 0.5);
}

}  // namespace

void FillGreyTone(int16_t* table) {
  const double divisor = std::pow(255.0, 1.4) * (1.0 / 8192.0);
  // Entry 1 stays 0: white gives grey level 254 (the luminance weights add
  // up to 255), so ink amount 1 must print nothing.
  table[0] = 0;
  table[1] = 0;
  for (int i = 2; i <= 254; ++i) table[i] = PowerEntry(i, 1.4, divisor);
  table[255] = 8192;
}

void FillColourTone(int16_t* table) {
  const double divisor = std::pow(255.0, 1.3) * (1.0 / 8192.0);
  table[0] = 0;
  for (int i = 1; i <= 254; ++i) table[i] = PowerEntry(i, 1.3, divisor);
  table[255] = 8192;
}

void FillValueCurve(BYTE* table) {
  const double divisor = std::pow(255.0, 2.1) / 255.0;
  table[0] = 0;
  for (int i = 1; i <= 254; ++i) table[i] = static_cast<BYTE>(PowerEntry(i, 2.1, divisor));
  table[255] = 255;
}

void ReleaseRasterBuffers(RasterState& r) {
  Free(r.kDots);
  Free(r.cmyDots);
  Free(r.packedRow);
  Free(r.nextErrors);
  Free(r.kValues);
  Free(r.kErrors);
  Free(r.kSeed);
  Free(r.greyTone);
  Free(r.cValues);
  Free(r.mValues);
  Free(r.yValues);
  Free(r.cErrors);
  Free(r.mErrors);
  Free(r.yErrors);
  Free(r.cSeed);
  Free(r.mSeed);
  Free(r.ySeed);
  Free(r.colourTone);
  Free(r.valueCurve);
  Free(r.rotationRow);
  Free(r.greyToneWide);
  Free(r.colourToneWide);
  Free(r.valueCurveWide);
}

int SetupRaster(RasterState& r, const GDIINFO& info, const DEVMODEW& devmode) {
  ReleaseRasterBuffers(r);
  r.colourMode = devmode.dmColor == DMCOLOR_COLOR ? 1 : 0;
  const bool landscape = devmode.dmOrientation == DMORIENT_LANDSCAPE;
  const ULONG width = landscape ? info.ulVertRes : info.ulHorzRes;
  if (width == 0 || width > static_cast<ULONG>(kMaxRowBytes) * 8) {
    // No row, or a row whose length does not fit the raster-row command.
    r.rowWidth = 0;
    r.rowBytes = 0;
    return 0;
  }
  r.rowWidth = static_cast<int>(width);
  r.rowBytes = (r.rowWidth + 7) / 8;
  const auto w = static_cast<size_t>(r.rowWidth);
  const auto b = static_cast<size_t>(r.rowBytes);
  if (landscape) r.rotationRow = Allocate<BYTE>(3 * w);

  r.cmyDots = Allocate<BYTE>(b);
  r.kDots = Allocate<BYTE>(b);
  r.packedRow = Allocate<BYTE>(b);
  r.nextErrors = Allocate<int16_t>(w + 2);
  r.kValues = Allocate<int16_t>(w);
  r.kErrors = Allocate<int16_t>(w);
  r.kSeed = Allocate<BYTE>(b);
  r.greyTone = Allocate<int16_t>(256);
  if (r.greyTone != nullptr) FillGreyTone(r.greyTone);
  r.greyToneWide = WideCopy(r.greyTone);
  bool ok = r.cmyDots && r.kDots && r.packedRow && r.nextErrors && r.kValues && r.kErrors &&
            r.kSeed && r.greyTone && r.greyToneWide && (!landscape || r.rotationRow);
  if (r.colourMode) {
    r.cValues = Allocate<int16_t>(w);
    r.mValues = Allocate<int16_t>(w);
    r.yValues = Allocate<int16_t>(w);
    r.cErrors = Allocate<int16_t>(w);
    r.mErrors = Allocate<int16_t>(w);
    r.yErrors = Allocate<int16_t>(w);
    r.cSeed = Allocate<BYTE>(b);
    r.mSeed = Allocate<BYTE>(b);
    r.ySeed = Allocate<BYTE>(b);
    r.colourTone = Allocate<int16_t>(256);
    if (r.colourTone != nullptr) FillColourTone(r.colourTone);
    r.valueCurve = Allocate<BYTE>(256);
    if (r.valueCurve != nullptr) FillValueCurve(r.valueCurve);
    r.colourToneWide = WideCopy(r.colourTone);
    r.valueCurveWide = WideCopy(r.valueCurve);
    ok = ok && r.cValues && r.mValues && r.yValues && r.cErrors && r.mErrors && r.yErrors &&
         r.cSeed && r.mSeed && r.ySeed && r.colourTone && r.valueCurve && r.colourToneWide &&
         r.valueCurveWide;
  }
  // 8192 x 1.3, 1.1, 1.2, 1.1, rounded down.
  r.dotWeightK = 10649;
  r.dotWeightC = 9011;
  r.dotWeightM = 9830;
  r.dotWeightY = 9011;
  r.blueHueWarp = 163;
  r.greenHueWarp = 229;
  r.currentMode = kModeUnknown;
  for (bool& sent : r.seedSent) sent = false;
  return ok ? 1 : 0;
}

void ResetPageRaster(RasterState& r) {
  // The printer may still be in any encoding with any seeds: the page's
  // first row of every plane sets both afresh.
  r.currentMode = kModeUnknown;
  for (bool& sent : r.seedSent) sent = false;
  const auto w = static_cast<size_t>(r.rowWidth);
  const auto b = static_cast<size_t>(r.rowBytes);
  auto zero = [](void* buffer, size_t bytes) {
    if (buffer != nullptr) std::memset(buffer, 0, bytes);
  };
  zero(r.kSeed, b);
  zero(r.kErrors, w * sizeof(int16_t));
  if (r.colourMode) {
    zero(r.cSeed, b);
    zero(r.mSeed, b);
    zero(r.ySeed, b);
    zero(r.cErrors, w * sizeof(int16_t));
    zero(r.mErrors, w * sizeof(int16_t));
    zero(r.yErrors, w * sizeof(int16_t));
  }
  r.randomState = kPageSeed;
}
