// One run of kelo-print: the images read, the job run through the driver
// and the engine stand-in, and its outcome put in words.
#pragma once

#include <string>

#include "tools/common/image_job.h"
#include "tools/kelo-print/options.h"

namespace kelo::print {

using Outcome = kelo::cli::JobOutcome;

// The port to print to: the option, else the registry's default print
// port, else "LPT1:" (kelo::cli::PortOrDefault).
std::u16string JobPort(const Options& options);

Outcome PrintImages(const Options& options);

}  // namespace kelo::print
