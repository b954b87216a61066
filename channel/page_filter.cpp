#include "channel/page_filter.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr BYTE kEsc = 0x1B;
constexpr BYTE kRasterRow = 0x67;  // ESC g n d1..dn
constexpr BYTE kSelectEncoding = 0x6D;  // ESC m n
constexpr BYTE kStatusRequest = 0x6B;  // ESC k n
constexpr BYTE kSetting = 0x76;  // ESC v n
constexpr BYTE kEndDocument = 0x65;  // ESC e a b
constexpr BYTE kRtsMode = 0x51;  // ESC Q 15 n
constexpr BYTE kStart = 0x41;  // ESC A: seeds cleared, new raster line
constexpr BYTE kReset = 0x40;  // ESC @: printer reset

// Length of the command whose first bytes are in `header`, or 0 while the
// bytes so far do not tell it yet. Bytes that start no known command pass as
// single bytes (the wake-up byte 00 among them); ESC with an unknown letter
// passes as two.
int CommandLength(const BYTE* header, int length) {
  if (header[0] != kEsc) return 1;
  if (length < 2) return 0;
  switch (header[1]) {
    case kRasterRow:
    case kSelectEncoding:
    case kStatusRequest:
    case kSetting:
      return 3;
    case kEndDocument:
    case kRtsMode:
      return 4;
    default:
      return 2;
  }
}

class Filter {
 public:
  Filter(PageFilterState& state, const PageFilterOptions& options, BYTE* out)
      : s_(state),
        planes_(std::clamp(options.planesPerLine, 1, kMaxPlanesPerLine)),
        keep_(std::max<uint32_t>(options.keepCount, 1)),
        passThrough_(options.passThrough),
        start_(out),
        out_(out) {}

  int32_t Run(const BYTE* source, int32_t length) {
    if (passThrough_) {
      // Nothing may wait while the filter is off: what an earlier flush held
      // goes out first, in order.
      ReleaseLine();
      EmitHeader();
    }
    int32_t i = 0;
    while (i < length) {
      if (s_.payloadLeft > 0) {
        const uint32_t n = std::min<uint32_t>(s_.payloadLeft, static_cast<uint32_t>(length - i));
        std::memcpy(out_, source + i, n);
        out_ += n;
        i += static_cast<int32_t>(n);
        s_.payloadLeft -= n;
        continue;
      }
      const BYTE b = source[i++];
      s_.header[s_.headerLength++] = b;
      if (passThrough_) {
        *out_++ = b;
        ++s_.headerSent;
      }
      const int need = CommandLength(s_.header, s_.headerLength);
      if (need == 0 || s_.headerLength < need) continue;
      Command();
      s_.headerLength = 0;
      s_.headerSent = 0;
    }
    return static_cast<int32_t>(out_ - start_);
  }

 private:

  void EmitHeader() {
    const int n = s_.headerLength - s_.headerSent;
    std::memcpy(out_, s_.header + s_.headerSent, static_cast<size_t>(n));
    out_ += n;
    s_.headerSent = s_.headerLength;
  }

  // The held rows go out: the line they belong to is not removed after all.
  void ReleaseLine() {
    std::memcpy(out_, s_.held, static_cast<size_t>(s_.heldLength));
    out_ += s_.heldLength;
    s_.heldLength = 0;
    s_.lineHeld = false;
  }

  void Command() {
    if (s_.header[0] == kEsc && s_.header[1] == kRasterRow) {
      Row(s_.header[2]);
      return;
    }
    // Any other command ends a run of white lines, and a line it falls into
    // is not a removable one.
    ReleaseLine();
    EmitHeader();
    s_.whiteRun = 0;
    s_.lineWhite = false;
    if (s_.header[0] != kEsc) return;
    switch (s_.header[1]) {
      case kSelectEncoding:
        s_.encoding = s_.header[2];
        break;
      case kStart:
        s_.planeIndex = 0;
        break;
      case kReset:
        s_.planeIndex = 0;
        s_.encoding = -1;
        break;
      default:
        break;
    }
  }

  void Row(BYTE n) {
    const bool white = n == 0 && s_.encoding == 0;
    if (s_.planeIndex == 0) {
      s_.lineWhite = white;
      s_.lineHeld = false;
    } else {
      s_.lineWhite = s_.lineWhite && white;
    }

    if (s_.lineWhite) {
      // A white row of a line that would be removed if it stays white is
      // held until the line is complete. The whole line must be held: a row
      // already sent (or partly sent while the filter was off) pins it.
      const bool removable = !passThrough_ && s_.whiteRun >= keep_ && s_.headerSent == 0 &&
                             (s_.planeIndex == 0 || s_.lineHeld);
      if (removable) {
        std::memcpy(s_.held + s_.heldLength, s_.header, kEmptyRowLength);
        s_.heldLength += kEmptyRowLength;
        s_.lineHeld = true;
        s_.headerSent = s_.headerLength;
      } else {
        ReleaseLine();
        EmitHeader();
      }
    } else {
      ReleaseLine();
      EmitHeader();
      s_.whiteRun = 0;
      s_.payloadLeft = n;
    }

    if (++s_.planeIndex < planes_) return;
    // The raster line is complete.
    s_.planeIndex = 0;
    if (s_.lineWhite) {
      ++s_.whiteRun;
      if (s_.lineHeld) {
        // The (N+1)-th or later white line of a run: removed whole.
        s_.heldLength = 0;
        s_.lineHeld = false;
      }
    } else {
      s_.whiteRun = 0;
    }
    s_.lineWhite = false;
  }

  PageFilterState& s_;
  const int planes_;
  const uint32_t keep_;
  const bool passThrough_;
  BYTE* const start_;
  BYTE* out_;
};

}  // namespace

int32_t PageFilter(PageFilterState& state, const BYTE* source, int32_t length,
                   const PageFilterOptions& options, BYTE* destination) {
  if (length <= 0 || source == nullptr || destination == nullptr) return -1;
  return Filter(state, options, destination).Run(source, length);
}

int32_t ReleaseHeld(PageFilterState& state, BYTE* destination) {
  BYTE* out = destination;
  std::memcpy(out, state.held, static_cast<size_t>(state.heldLength));
  out += state.heldLength;
  const int unsent = state.headerLength - state.headerSent;
  std::memcpy(out, state.header + state.headerSent, static_cast<size_t>(unsent));
  out += unsent;
  state = PageFilterState{};
  return static_cast<int32_t>(out - destination);
}
