// kelo-print: prints PNG and JPEG images through the driver, the graphics
// engine stand-in and the device service, one image a page.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "emulator/emulator_ports.h"
#include "platform/host/host_api.h"
#include "tools/kelo-print/options.h"
#include "tools/kelo-print/print_job.h"

namespace {

int Report(int code, const std::string& message) {
  std::fprintf(stderr, "kelo-print: %s\n", message.c_str());
  return code;
}

// The library reads some settings while it loads, before main runs, from
// the file KELO_REGISTRY names. A registry file given on the command line
// therefore has to be in the environment when the program starts: the
// program starts itself again with it. False when that cannot be done.
bool RestartWithRegistry(const std::string& file, char** argv) {
  const char* current = std::getenv("KELO_REGISTRY");
  if (current != nullptr && file == current) return true;  // already in force
  if (setenv("KELO_REGISTRY", file.c_str(), 1) != 0) return false;
  execv("/proc/self/exe", argv);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kelo::print;
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const ParseResult parsed = ParseCommandLine(arguments);
  if (parsed.code == kExitUsage) {
    return Report(kExitUsage, parsed.error + " (kelo-print --help lists the options)");
  }
  if (parsed.options.help) {
    std::fputs(HelpText().c_str(), stdout);
    return kExitOk;
  }
  if (parsed.code != kExitOk) return Report(parsed.code, parsed.error);
  const Options& options = parsed.options;

  if (options.registry) {
    const std::string& file = *options.registry;
    if (!std::ifstream(file)) {
      return Report(kExitUsage, "cannot read the registry file " + file + ": " +
                                    std::strerror(errno));
    }
    // A directory opens as a stream too; the registry would refuse it
    // while the library loads and leave the job without its settings.
    struct stat info = {};
    if (stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      return Report(kExitUsage, "cannot read the registry file " + file + ": " +
                                    (S_ISDIR(info.st_mode) ? "it is a directory"
                                                           : "it is not a regular file"));
    }
    if (!RestartWithRegistry(file, argv)) {
      // Only the settings read at load time are missed; the rest applies.
      std::fprintf(stderr, "kelo-print: cannot restart with %s (%s); loading it late\n",
                   file.c_str(), std::strerror(errno));
      if (!kelo::host::LoadRegistryFile(file)) {
        return Report(kExitUsage, "cannot read the registry file " + file);
      }
    }
  }

  if (!options.verbose) kelo::host::StartDebugCapture();
  kelo::emulator::InstallEmulatorPorts();
  kelo::emulator::SetJobPlanes(options.colour ? 4 : 1);
  Outcome outcome;
  try {
    outcome = PrintImages(options);
  } catch (const std::bad_alloc&) {
    // The job's own steps report running out of memory; this catches what
    // is left (the images' list, the service's set-up) as an error, not an
    // abort.
    outcome = {kExitInternal, "out of memory"};
  }
  if (!options.verbose) kelo::host::StopDebugCapture();
  if (outcome.code != kExitOk) return Report(outcome.code, outcome.message);
  return kExitOk;
}
