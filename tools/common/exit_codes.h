// Exit codes of the command-line tools that drive the printer (kelo-print,
// kelo-status): one list, so that a script reads the same number for the
// same outcome from either. Each tool uses the codes that can happen to it;
// their help texts and the README list them.
#pragma once

namespace kelo::cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitInternal = 1,   // the driver or the device service failed otherwise
  kExitUsage = 2,      // bad command line or registry file
  kExitImage = 3,      // an image cannot be read
  kExitPaper = 4,      // no such paper
  kExitPort = 5,       // the printer port cannot be opened
  kExitNotReady = 6,   // the printer reports not ready, out of paper or a fault
  kExitWrite = 7,      // the printer did not take the data
  kExitNoAnswer = 8,   // the printer sent no status byte within the time-out
  kExitBusy = 9,       // a reset refused: a document is being printed on the port
};

}  // namespace kelo::cli
