// The band hook. Pixels are 3 bytes, blue, green, red. Portrait pages go
// line by line; a landscape surface (wider than high) is turned a quarter
// turn clockwise: each column becomes a printed line, read bottom to top.
// The hook never reads outside the source surface: rows and columns beyond
// it are clipped, and a line shorter than the printed row is padded white.

#include <algorithm>
#include <cstring>
#include <vector>

#include "driver/driver_state.h"
#include "driver/hooks.h"
#include "driver/page_feed.h"
#include "driver/print_context.h"
#include "raster/colour_separation.h"

namespace {

constexpr size_t kPixelBytes = 3;
constexpr BYTE kWhite = 0xFF;

// One printed line assembled from the source when it cannot be handed over
// in place; sized at device enable, never per line.
std::vector<BYTE> g_lineRow;

const BYTE* ScanLine(const SURFOBJ& source, LONG y) {
  return static_cast<const BYTE*>(source.pvScan0) + static_cast<ptrdiff_t>(y) * source.lDelta;
}

// Hands one line to raster imaging and keeps count. False to stop the call
// (a failed write); `done` when the page's row limit is reached.
bool FeedLine(const BYTE* line, BOOL& result) {
  if (!SeparateRow(g_printContext.raster, g_printContext.channel, line)) {
    result = FALSE;
    return false;
  }
  ++g_rowsSent;
  return !(g_limitRows && g_rowsSent >= g_pageRows);
}

}  // namespace

bool PrepareLineFeed(ULONG rowDots) {
  try {
    g_lineRow.assign(static_cast<size_t>(rowDots) * kPixelBytes, kWhite);
  } catch (...) {
    g_lineRow.clear();
    return false;
  }
  return true;
}

void ReleaseLineFeed() {
  g_lineRow.clear();
  g_lineRow.shrink_to_fit();
}

BOOL APIENTRY DrvCopyBits(SURFOBJ*, SURFOBJ* source, CLIPOBJ*, XLATEOBJ*, RECTL* rect, POINTL*) {
  if (g_limitRows && g_rowsSent >= g_pageRows) return TRUE;
  const LONG width = source->sizlBitmap.cx;
  const LONG height = source->sizlBitmap.cy;
  const size_t rowPixels = g_lineRow.size() / kPixelBytes;
  BOOL result = TRUE;

  if (width > height) {
    // Columns are addressed from rect->left; only those inside the source.
    const size_t used = std::min<size_t>(rowPixels, static_cast<size_t>(height));
    for (LONG x = rect->left; x < rect->right; ++x) {
      const LONG column = x - rect->left;
      if (column < 0 || column >= width) break;
      BYTE* out = g_lineRow.data();
      for (size_t k = 0; k < used; ++k) {
        // k-th row counted upward from the bottom row of the source.
        const BYTE* pixel = ScanLine(*source, height - 1 - static_cast<LONG>(k)) +
                            static_cast<size_t>(column) * kPixelBytes;
        std::memcpy(out + k * kPixelBytes, pixel, kPixelBytes);
      }
      std::memset(out + used * kPixelBytes, kWhite, (rowPixels - used) * kPixelBytes);
      if (!FeedLine(out, result)) break;
    }
    return result;
  }

  const bool narrow = static_cast<size_t>(width) < rowPixels;
  for (LONG y = rect->top; y < rect->bottom; ++y) {
    if (y < 0) continue;
    if (y >= height) break;
    const BYTE* line = ScanLine(*source, y);
    if (narrow) {
      // A source narrower than the printed row: copy and pad with white.
      const size_t bytes = static_cast<size_t>(width) * kPixelBytes;
      std::memcpy(g_lineRow.data(), line, bytes);
      std::memset(g_lineRow.data() + bytes, kWhite, g_lineRow.size() - bytes);
      line = g_lineRow.data();
    }
    if (!FeedLine(line, result)) break;
  }
  return result;
}
