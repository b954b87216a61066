// The OPTIONS of a Host\Ports target "emulator:OPTIONS": a comma-separated
// list of key=value items and bare words that configures the emulated printer
// behind a port name.
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
// Faults, to rehearse a misbehaving printer from a mapping:
//   chunks=N[/N...]   successive write calls accept at most these many bytes
//                     each (0: nothing, as a refused write); afterwards writes
//                     are accepted whole. Up to kMaxWriteChunks sizes.
//   takenothing       every write is refused (after the list of chunks)
//   followupfail      the parallel-class follow-up (port status) request fails
//   vanish=N          unplugged as the N-th write call with bytes returns
//                     (1 to kMaxVanishWrites): later calls fail with 1226
//                     (parallel-class) or 1118 (serial), new opens with 2
// A refused write waits the port's write time-out and completes with 0 bytes.
//
// Numbers are decimal or 0x-prefixed hexadecimal. Spaces around keys and
// values are ignored; empty items are skipped. A key given twice is an error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/emulated_printer.h"

namespace kelo::emulator {

inline constexpr int kMaxWidthDots = 8 * 2048;
inline constexpr uint32_t kMaxDelayMs = 60000;
inline constexpr size_t kMaxModelChars = 200;
inline constexpr size_t kMaxWriteChunks = 1024;
inline constexpr uint32_t kMaxVanishWrites = 0x7FFFFFFF;

// What the printer is told to get wrong from its first open on.
struct PrinterFaults {
  std::vector<DWORD> writeChunks;  // empty: writes accepted whole
  bool takeNothing = false;
  bool followUpFails = false;
  int vanishAfterWrites = 0;  // 0: never vanishes
};

struct PortOptions {
  PrinterConfig printer;
  PrinterFaults faults;
  std::string capturePath;  // empty: no capture
  std::string previewPath;  // empty: no preview
  bool planesGiven = false;  // "planes" was among the options
};

// Parses `options` for the port `portName` (which decides the default kind).
// On failure returns false and a message naming the offending option.
bool ParsePortOptions(std::u16string_view portName, std::string_view options, PortOptions* out,
                      std::string* error);

// Sets the faults on a newly made printer.
void ApplyFaults(const PrinterFaults& faults, EmulatedPrinter& printer);

// A decimal or 0x-prefixed hexadecimal number up to `max`; empty when the
// text is no such number.
std::optional<uint32_t> ParseNumber(std::string_view text, uint32_t max);

// Serial when the name begins with "COM" in any case, as the port opener
// classifies it; parallel-class otherwise.
PortType DefaultPortType(std::u16string_view portName);

}  // namespace kelo::emulator
