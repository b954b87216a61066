#include "raster/row_encoding.h"

#include <cstring>

#include "channel/output_buffer.h"

namespace {

constexpr char kSelectMode[] = "\x1B\x6D";  // ESC m, the mode byte follows
constexpr char kRasterRow[] = "\x1B\x67";  // ESC g, n and the payload follow
constexpr int kMaxRun = 8;  // replacement bytes per command
constexpr int kShortOffset = 30;  // larger offsets take extension bytes

bool IsBlank(const BYTE* row, int length) {
  for (int i = 0; i < length; ++i) {
    if (row[i] != 0) return false;
  }
  return true;
}

}  // namespace

int EncodeDeltaRun(int count, int offset, const BYTE* data, BYTE*& cursor, const BYTE* limit) {
  BYTE* const start = cursor;
  const BYTE countBits = static_cast<BYTE>((count - 1) << 5);
  if (cursor >= limit) return -1;
  if (offset <= kShortOffset) {
    *cursor++ = static_cast<BYTE>(countBits | offset);
  } else {
    *cursor++ = static_cast<BYTE>(countBits | 31);
    int rest = offset - 31;
    while (rest >= 255) {
      if (cursor >= limit) return -1;
      *cursor++ = 0xFF;
      rest -= 255;
    }
    if (cursor >= limit) return -1;
    *cursor++ = static_cast<BYTE>(rest);
  }
  // Strictly below the limit: an encoded row holds at most length - 1 bytes.
  if (cursor + count >= limit) return -1;
  std::memcpy(cursor, data, static_cast<size_t>(count));
  cursor += count;
  return static_cast<int>(cursor - start);
}

int CompressDeltaRow(const BYTE* row, int length, BYTE* out, const BYTE* seed) {
  BYTE* cursor = out;
  const BYTE* const limit = out + length;
  int offset = 0;
  int pending = 0;
  int total = 0;
  for (int i = 0; i < length; ++i) {
    if (pending == kMaxRun) {
      const int n = EncodeDeltaRun(pending, offset, row + i - pending, cursor, limit);
      if (n < 0) return kDeltaOverflow;
      total += n;
      offset = 0;
      pending = 0;
    }
    if (row[i] != seed[i]) {
      ++pending;
    } else {
      if (pending != 0) {
        const int n = EncodeDeltaRun(pending, offset, row + i - pending, cursor, limit);
        if (n < 0) return kDeltaOverflow;
        total += n;
        pending = 0;
        offset = 0;
      }
      ++offset;
    }
  }
  if (pending != 0) {
    const int n = EncodeDeltaRun(pending, offset, row + length - pending, cursor, limit);
    if (n < 0) return kDeltaOverflow;
    total += n;
  }
  return total;
}

void SelectCompressionMode(RasterState& raster, PrinterChannel& channel, int mode) {
  if (mode == raster.currentMode) return;
  WriteString(channel, kSelectMode);
  const BYTE value = static_cast<BYTE>(mode);
  Write(channel, &value, 1);
  raster.currentMode = mode;
}

int SendRasterRow(PrinterChannel& channel, const BYTE* payload, int n) {
  WriteString(channel, kRasterRow);
  const BYTE length = static_cast<BYTE>(n);
  Write(channel, &length, 1);
  return Write(channel, payload, static_cast<DWORD>(n));
}

int EncodeDotRow(RasterState& raster, PrinterChannel& channel, const BYTE* dots, BYTE* seed,
                 int plane) {
  const int b = raster.rowBytes;
  if (raster.dotRowObserver != nullptr) {
    raster.dotRowObserver(raster.observerContext, plane, dots, b);
  }
  int result;
  if (IsBlank(dots, b)) {
    // A blank row in encoding 0 is a zero seed on both sides.
    SelectCompressionMode(raster, channel, kModeRaw);
    result = SendRasterRow(channel, dots, 0);
    std::memset(seed, 0, static_cast<size_t>(b));
  } else {
    const int length = raster.seedSent[plane]
                           ? CompressDeltaRow(dots, b, raster.packedRow, seed)
                           : kDeltaOverflow;
    if (length == kDeltaOverflow) {
      // The plane's first row on a page (the printer's seed is unknown) or
      // a row too dense for a delta: the whole row in encoding 0.
      SelectCompressionMode(raster, channel, kModeRaw);
      result = SendRasterRow(channel, dots, b);
    } else {
      SelectCompressionMode(raster, channel, kModeDelta);
      result = SendRasterRow(channel, raster.packedRow, length);
    }
    std::memcpy(seed, dots, static_cast<size_t>(b));
  }
  raster.seedSent[plane] = true;
  return result;
}
