// Feeding the rendered page to raster imaging one printed line at a time.
#pragma once

#include "platform/platform.h"

// Sizes the feed's work row for lines of `rowDots` pixels (once per device
// enable). False when it cannot be allocated.
bool PrepareLineFeed(ULONG rowDots);
void ReleaseLineFeed();
