// kelo-emulate CAPTURE: decode a captured stream, report, write the preview.
#pragma once

#include "command_line.h"

namespace kelo::tools {

// Returns an exit code of command_line.h.
int DecodeCapture(const CommandLine& line);

}  // namespace kelo::tools
