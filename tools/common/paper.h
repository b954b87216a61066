// Paper and page settings as the printer tools give them to the driver
// (kelo-print's options, kelo-server's IPP job attributes): one mapping from
// millimetres to the driver's paper codes, one device mode for a job.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kelo::cli {

// Paper as the device mode gives it to the driver: a size code of the
// driver's paper table, or the custom code with whole millimetres.
struct Paper {
  SHORT code = 0;
  SHORT widthMm = 0;   // custom paper only
  SHORT lengthMm = 0;  // custom paper only
};

// The print head is 80 mm wide; custom paper is from 1 mm up to that wide
// and from 1 mm up to this long (a page is held whole in memory).
inline constexpr int kMaxPaperWidthMm = 80;
inline constexpr int kMaxPaperLengthMm = 2000;

// A whole number in decimal digits; one too large for an int reads as the
// largest int, so that it is refused by the limit it exceeds.
bool ParseWholeNumber(std::string_view text, int* value);

// "48x68", "80x113" or WIDTHxLENGTH in millimetres; nullopt with a reason
// when there is no such paper.
std::optional<Paper> ParsePaper(const std::string& text, std::string* error);

// The paper of that size: a code of the driver's table, else custom. The
// sides are within 1..kMaxPaperWidthMm and 1..kMaxPaperLengthMm.
Paper PaperOfSize(int widthMm, int lengthMm);

struct PageSettings {
  Paper paper;
  bool landscape = false;
  bool colour = false;
  bool draft = false;
  int copies = 1;  // the whole document this many times
};

// `defaults` (the driver's default device mode) with the page's paper,
// orientation, colour, quality and copies.
DEVMODEW PageDevmode(DEVMODEW defaults, const PageSettings& page);

}  // namespace kelo::cli
