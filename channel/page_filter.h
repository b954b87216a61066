// The page filter: shortens runs of white raster lines in the command
// stream before it goes to the printer.
//
// It parses the stream (ESC g with its payload, every other command by its
// length) and removes only whole white raster lines: a line that starts at
// plane index 0 and whose plane rows are all empty rows (1B 67 00) sent in
// row encoding 0. Of a run of such lines it keeps the first N (N at least 1,
// so the printer always sees the white line that zeroes its seed rows) and
// removes the rest. Removing the others changes nothing on the printer: a
// white line in encoding 0 leaves every seed row zero, as the one before it
// did. Repeat rows (1B 67 00 in encoding 3) and payload bytes are never
// touched; any other command or row ends a run.
//
// The state carries across flushes: a command split by a flush is completed
// by the next one, and the rows of a line that may still turn out white and
// be removed wait in `held` until the line is decided. Nothing is lost or
// reordered.
#pragma once

#include <cstdint>

#include "platform/win_types.h"

inline constexpr int kMaxPlanesPerLine = 4;
inline constexpr int kEmptyRowLength = 3;  // 1B 67 00
// Bytes a flush may hold back: the empty rows of an undecided line.
inline constexpr int kMaxHeldBytes = (kMaxPlanesPerLine - 1) * kEmptyRowLength;
// Bytes of a command header before its length is known (ESC e a b).
inline constexpr int kMaxHeaderBytes = 4;

struct PageFilterState {
  int encoding = -1;  // row encoding the printer was told last; -1 unknown
  int planeIndex = 0;  // plane row of the raster line the next row belongs to
  uint32_t whiteRun = 0;  // complete white lines just before this point
  uint32_t payloadLeft = 0;  // ESC g payload bytes still to come
  // The line in progress started at plane 0 and has had only white rows.
  bool lineWhite = false;
  // Every row of the line in progress is in `held` (none was sent yet).
  bool lineHeld = false;
  BYTE header[kMaxHeaderBytes] = {};  // an incomplete command
  int headerLength = 0;
  int headerSent = 0;  // bytes of `header` already passed on unfiltered
  BYTE held[kMaxPlanesPerLine * kEmptyRowLength] = {};
  int heldLength = 0;
};

struct PageFilterOptions {
  int planesPerLine = 1;  // 1 grey, 4 colour
  uint32_t keepCount = 3;  // white lines kept of a run; 0 counts as 1
  // Pass every byte on and only follow the stream (filter switched off).
  bool passThrough = false;
};

// Filters `length` bytes into `destination`, which has room for
// length + kMaxHeldBytes + kMaxHeaderBytes bytes. Returns the number of bytes
// placed there, or -1 when length is 0 or less (nothing is done then).
int32_t PageFilter(PageFilterState& state, const BYTE* source, int32_t length,
                   const PageFilterOptions& options, BYTE* destination);

// Passes on what the state holds (the end of the stream) and resets it.
// Returns the number of bytes placed in `destination`.
int32_t ReleaseHeld(PageFilterState& state, BYTE* destination);
