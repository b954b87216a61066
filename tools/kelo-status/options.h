// The command line of kelo-status.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kelo::status {

inline constexpr DWORD kDefaultTimeoutMs = 1000;

struct Options {
  std::optional<std::string> port;  // none: the registry's default print port
  std::optional<std::string> registry;
  bool rts = false;                      // ask (or reset) by an RTS pulse
  DWORD timeoutMs = kDefaultTimeoutMs;   // the printer's time to answer, 0 to 65535
  bool verbose = false;                  // every status byte with its time
  bool json = false;                     // one JSON object for scripts
  bool watch = false;                    // keep asking, a line at every change
  bool reset = false;                    // reset the printer instead of asking
  bool help = false;
};

struct ParseResult {
  Options options;
  std::string error;  // set when the command line is wrong
};

ParseResult ParseCommandLine(const std::vector<std::string>& arguments);

std::string HelpText();

}  // namespace kelo::status
