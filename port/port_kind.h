// The kind of a physical printer port, as the port operations need it.
#pragma once

#include "platform/win_types.h"

// One byte in the port record. The port operations accept 8, 9 and 10 and
// refuse any other value.
enum PortKind : BYTE {
  kPortSerial = 8,
  // The parallel-class port (the USB printer class port, "LPTn:"); also
  // recorded for an open port of any other name.
  kPortParallel = 9,
  // Only while a name is being classified; never stored in a port record.
  kPortOther = 10,
};

inline bool IsKnownPortKind(BYTE kind) {
  return kind == kPortSerial || kind == kPortParallel || kind == kPortOther;
}
