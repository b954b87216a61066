// kelo-emulate's command line: which mode, the printer it plays, its files.
#pragma once

#include <string>

#include "emulator/emulated_printer.h"

namespace kelo::tools {

// Exit codes, distinct per cause so that scripts can tell them apart.
inline constexpr int kExitOk = 0;
inline constexpr int kExitDecodeError = 1;  // the stream holds a malformed command
inline constexpr int kExitUsage = 2;
inline constexpr int kExitIo = 3;  // a file or the pseudo-terminal failed

struct CommandLine {
  bool help = false;
  bool pty = false;
  kelo::emulator::PrinterConfig printer;
  std::string capturePath;  // decode mode: the input; pty mode: optional output
  std::string previewPath;  // empty: no preview
};

// False with a one-line reason for a usage error.
bool ParseCommandLine(int argc, const char* const* argv, CommandLine* out, std::string* error);

const char* UsageText();

}  // namespace kelo::tools
