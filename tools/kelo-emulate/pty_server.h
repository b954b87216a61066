// kelo-emulate --pty: the emulated printer on a pseudo-terminal, for
// programs that open a serial line.
#pragma once

#include "command_line.h"

namespace kelo::tools {

// Prints the terminal's path (one line, flushed), serves until SIGINT,
// SIGTERM or the end of standard input, then writes the preview and prints
// the report. Returns an exit code of command_line.h.
int ServePty(const CommandLine& line);

}  // namespace kelo::tools
