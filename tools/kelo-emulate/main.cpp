// kelo-emulate: the printer model on the command line. Decodes captured
// printer streams into a report and a PNG preview, or plays the printer on
// a pseudo-terminal.

#include <cstdio>
#include <string>

#include "command_line.h"
#include "decode_capture.h"
#include "pty_server.h"

int main(int argc, char** argv) {
  kelo::tools::CommandLine line;
  std::string error;
  if (!kelo::tools::ParseCommandLine(argc, argv, &line, &error)) {
    std::fprintf(stderr, "kelo-emulate: %s (see --help)\n", error.c_str());
    return kelo::tools::kExitUsage;
  }
  if (line.help) {
    std::fputs(kelo::tools::UsageText(), stdout);
    return kelo::tools::kExitOk;
  }
  return line.pty ? kelo::tools::ServePty(line) : kelo::tools::DecodeCapture(line);
}
