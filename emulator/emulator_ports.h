// Host\Ports targets "emulator:OPTIONS" (options in emulator/port_options.h):
// the port name becomes an in-process emulated printer. Tools call
// InstallEmulatorPorts() once at start.
//
// All opens of one port name in a process reach the same printer, so the
// capture and the decoder carry on across the service's closes and reopens.
// A changed OPTIONS text for the name makes a new printer at the next open;
// handles still open keep the old one.
#pragma once

#include <memory>
#include <string_view>

#include "emulator/emulated_printer.h"

namespace kelo::emulator {

// Registers the "emulator" scheme with the platform's port mapping.
// Idempotent.
void InstallEmulatorPorts();

// The planes per raster line of the printers made from now on whose options
// do not say (1 or 4; default 1). The stream does not tell the planes apart,
// so a printing program that knows its job is in colour says so here, and
// the preview comes out in colour without a setting in the registry.
void SetJobPlanes(int planes);

// The printer serving `portName` (any case), or null when none was opened
// through the mapping yet.
std::shared_ptr<EmulatedPrinter> EmulatedPrinterFor(std::u16string_view portName);

}  // namespace kelo::emulator
