// One call of KLP_IOControl as the commands see it.
#pragma once

#include "platform/win_types.h"

struct ControlCall {
  BYTE index;  // bits 0 to 7 of the code: the port, for the per-port commands
  PBYTE in;
  DWORD inLen;
  PBYTE out;
  DWORD outLen;
  PDWORD actualOut;
};
