#include "port/printer_model.h"

#include <atomic>

namespace {
// Written by the service's thread that opens a port, read by the driver.
std::atomic<BYTE> g_lastOpenedModel{kModelUnknown};
}  // namespace

BYTE GetCurrentPrinterModel() { return g_lastOpenedModel.load(); }

void SetCurrentPrinterModel(BYTE model) { g_lastOpenedModel.store(model); }
