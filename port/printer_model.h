// Printer models as the parallel-class port's device ID reports them.
#pragma once

#include "platform/win_types.h"

enum PrinterModel : BYTE {
  kModelUnknown = 0,  // no device ID, no description, or no match
  kModelUsbT4 = 1,
  kModelUsbR27 = 2,
  kModelUsbV45 = 3,
  kModelUsbT4_300Dpi = 4,
  kModelUsbR27_300Dpi = 5,
  kModelUsbV45_300Dpi = 6,
  kModelUsbGeneric = 7,
};

// The two V45 models get wake-up bytes at start-up and no first
// end-of-document command.
inline bool IsV45Model(BYTE model) { return model == kModelUsbV45 || model == kModelUsbV45_300Dpi; }

// Asks a parallel-class port for its IEEE 1284 device ID and matches the
// "DESCRIPTION:" field against the model table; 0 for any other kind.
BYTE DetectPrinterModel(HANDLE handle, BYTE kind);

// The model of the port the device service most recently opened anew
// (ServiceState.lastOpenedModel); 0 until a port has been opened.
BYTE GetCurrentPrinterModel();
// Recorded by the device service when it opens a port anew.
void SetCurrentPrinterModel(BYTE model);
