// Everything the subsystems may call of the platform.
#pragma once

#include "platform/comm.h"
#include "platform/device_manager.h"
#include "platform/gdi.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/threads.h"
#include "platform/win_types.h"
