// The short report kelo-emulate prints about a decoded stream.
#pragma once

#include <string>

#include "emulator/stream_decoder.h"

namespace kelo::tools {

// Lines, each ending in '\n':
//   bytes: N
//   geometry: W dots (B bytes a row), P plane(s)
//   rows: N  (grey)  |  rows: K n, C n, M n, Y n  (colour)
//   lines: N
//   commands: NAME xN, ...   (or "commands: none")
//   error at byte N: MESSAGE   (only when decoding failed)
std::string FormatReport(const kelo::emulator::StreamDecoder& decoder, int widthDots);

}  // namespace kelo::tools
