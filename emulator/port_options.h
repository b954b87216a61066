// The OPTIONS of a Host\Ports target "emulator:OPTIONS": a comma-separated
// list of key=value items (and the bare words "silent" and "announce") that configures the
// emulated printer behind a port name.
//
//   model=NAME        device-ID description (default kDefaultModel)
//   planes=1|4        planes per raster line (4: a colour preview); when not
//                     given, what the program printing set (SetJobPlanes)
//   width=DOTS        head width, 1 to kMaxWidthDots (default 640)
//   rowbytes=N        the same in bytes (N x 8 dots); not with width
//   status=N          status byte answered, 0x00 to 0xFF (default 0x80)
//   delay=MS          reply delay, 0 to kMaxDelayMs
//   silent            no status answers
//   announce          the status byte is also sent unasked at every open
//   kind=serial|parallel   default by the port name: COM... serial
//   capture=FILE      every accepted byte, appended as received
//   preview=FILE      PNG written whenever the last handle closes
//
// Numbers are decimal or 0x-prefixed hexadecimal. Spaces around keys and
// values are ignored; empty items are skipped. A key given twice is an error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "emulator/emulated_printer.h"

namespace kelo::emulator {

inline constexpr int kMaxWidthDots = 8 * 2048;
inline constexpr uint32_t kMaxDelayMs = 60000;
inline constexpr size_t kMaxModelChars = 200;

struct PortOptions {
  PrinterConfig printer;
  std::string capturePath;  // empty: no capture
  std::string previewPath;  // empty: no preview
  bool planesGiven = false;  // "planes" was among the options
};

// Parses `options` for the port `portName` (which decides the default kind).
// On failure returns false and a message naming the offending option.
bool ParsePortOptions(std::u16string_view portName, std::string_view options, PortOptions* out,
                      std::string* error);

// A decimal or 0x-prefixed hexadecimal number up to `max`; empty when the
// text is no such number.
std::optional<uint32_t> ParseNumber(std::string_view text, uint32_t max);

// Serial when the name begins with "COM" in any case, as the port opener
// classifies it; parallel-class otherwise.
PortType DefaultPortType(std::u16string_view portName);

}  // namespace kelo::emulator
