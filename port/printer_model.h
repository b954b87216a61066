// Printer models as the device ID reports them.
#pragma once

#include "platform/win_types.h"

enum PrinterModel : BYTE {
  kModelUnknown = 0,
  kModelUsbV45 = 3,  // "USB Printer V45"
  kModelUsbV45_300Dpi = 6,  // "USB Printer V45 300DPI"
};

// The two V45 models get wake-up bytes at start-up and no first
// end-of-document command.
inline bool IsV45Model(BYTE model) { return model == kModelUsbV45 || model == kModelUsbV45_300Dpi; }

// The model of the port the device service most recently opened anew.
BYTE GetCurrentPrinterModel();
// Recorded by the device service when it opens a port anew.
void SetCurrentPrinterModel(BYTE model);
