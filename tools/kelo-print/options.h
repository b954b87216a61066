// The command line of kelo-print and its exit codes.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/page_layout.h"
#include "platform/platform.h"
#include "tools/common/exit_codes.h"
#include "tools/common/paper.h"

namespace kelo::print {

// The exit codes are shared with kelo-status.
using ExitCode = kelo::cli::ExitCode;
using enum kelo::cli::ExitCode;

using kelo::cli::kMaxPaperLengthMm;
using kelo::cli::kMaxPaperWidthMm;
using kelo::cli::Paper;
using kelo::cli::ParsePaper;

// The engine prints the whole document again for each copy.
inline constexpr int kMaxCopies = 999;

struct Options {
  std::vector<std::string> images;
  std::optional<std::string> port;  // none: the registry's default print port
  Paper paper;
  bool landscape = false;
  bool colour = false;
  bool draft = false;
  kelo::engine::FitMode fit = kelo::engine::FitMode::kWidth;
  int copies = 1;  // 1..kMaxCopies
  std::optional<std::string> registry;
  bool verbose = false;  // the library's diagnostics go to stderr as they come
  bool statusCheck = true;  // ask the printer for its status before the job
  bool help = false;
};

struct ParseResult {
  Options options;
  ExitCode code = kExitOk;  // kExitUsage or kExitPaper on failure
  std::string error;        // set on failure
};

ParseResult ParseCommandLine(const std::vector<std::string>& arguments);

std::string HelpText();

// The device mode of the job: the driver's default device mode with the
// options' paper, orientation, colour, quality and copies.
DEVMODEW JobDevmode(DEVMODEW defaults, const Options& options);

}  // namespace kelo::print
