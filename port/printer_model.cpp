#include "port/printer_model.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel.h"
#include "port/port_io.h"
#include "port/port_kind.h"
#include "service/service_state.h"

namespace {

constexpr DWORD kDeviceIdBytes = 256;

struct ModelRow {
  const char* description;
  BYTE model;
};
// Compared in this order; the first match wins. A description that is a
// leading part of a name matches it, so "USB Printer" alone reads as the T4
// and "USB Printer T4 300DPI" only reaches its own row. An empty description
// names no printer and matches none.
constexpr ModelRow kModelTable[] = {
    {"USB Printer T4", kModelUsbT4},
    {"USB Printer V45", kModelUsbV45},
    {"USB Printer R27", kModelUsbR27},
    {"USB Printer T4 300DPI", kModelUsbT4_300Dpi},
    {"USB Printer V45 300DPI", kModelUsbV45_300Dpi},
    {"USB Printer R27 300DPI", kModelUsbR27_300Dpi},
    {"USB Printer Generic", kModelUsbGeneric},
};

constexpr char kDescriptionKey[] = "DESCRIPTION:";

// The reply opens with a two-byte big-endian length that counts itself. A
// high byte of 0 (a reply under 256 bytes) or a control character (256 bytes
// or more) is that prefix: the text starts after both bytes. Otherwise the
// port gave the text bare.
size_t TextStart(const BYTE* reply, size_t received) {
  if (received >= 2 && reply[0] < 0x20) return 2;
  return 0;
}

}  // namespace

BYTE DetectPrinterModel(HANDLE handle, BYTE kind) {
  if (kind != kPortParallel) return kModelUnknown;
  BYTE reply[kDeviceIdBytes] = {};
  DWORD returned = 0;
  if (!DeviceIoControl(handle, kIoctlGetDeviceId, nullptr, 0, reply, sizeof(reply), &returned,
                       nullptr)) {
    return kModelUnknown;
  }
  const size_t received = std::min<size_t>(returned, kDeviceIdBytes);
  const size_t start = TextStart(reply, received);
  // The text ends at its first NUL or at the last byte received.
  char text[kDeviceIdBytes + 1] = {};
  std::memcpy(text, reply + start, received - start);

  const char* key = std::strstr(text, kDescriptionKey);
  if (key == nullptr) return kModelUnknown;
  const char* value = key + (sizeof(kDescriptionKey) - 1);
  const char* end = std::strchr(value, ';');
  const size_t length = end != nullptr ? static_cast<size_t>(end - value) : std::strlen(value);
  if (length == 0) return kModelUnknown;
  for (const ModelRow& row : kModelTable) {
    // Over the value's length only, the name's terminator included: the
    // value matches a name it equals or begins.
    if (std::strncmp(value, row.description, length) == 0) return row.model;
  }
  return kModelUnknown;
}

BYTE GetCurrentPrinterModel() { return ServiceState.lastOpenedModel.load(); }

void SetCurrentPrinterModel(BYTE model) { ServiceState.lastOpenedModel.store(model); }
