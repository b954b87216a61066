// kelo-print: prints PNG and JPEG images through the driver, the graphics
// engine stand-in and the device service, one image a page.

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "emulator/emulator_ports.h"
#include "platform/host/host_api.h"
#include "tools/common/registry_option.h"
#include "tools/kelo-print/options.h"
#include "tools/kelo-print/print_job.h"

namespace {

int Report(int code, const std::string& message) {
  std::fprintf(stderr, "kelo-print: %s\n", message.c_str());
  return code;
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
    const std::string error = kelo::cli::UseRegistryFile("kelo-print", *options.registry, argv);
    if (!error.empty()) return Report(kExitUsage, error);
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
