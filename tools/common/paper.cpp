#include "tools/common/paper.h"

#include <charconv>
#include <limits>

namespace kelo::cli {

namespace {

// The two sizes of the driver's paper table; any other size is custom.
constexpr SHORT kPaper48x68 = 13;
constexpr SHORT kPaper80x113 = DMPAPER_A4;  // 9

}  // namespace

// A whole number in decimal digits; one too large for an int reads as the
// largest int, so that it is refused by the limit it exceeds.
bool ParseWholeNumber(std::string_view text, int* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  if (ec == std::errc::result_out_of_range) *value = std::numeric_limits<int>::max();
  return true;
}

std::optional<Paper> ParsePaper(const std::string& text, std::string* error) {
  const size_t cross = text.find_first_of("xX");
  int width = 0;
  int length = 0;
  if (cross == std::string::npos) {
    *error = "unknown paper \"" + text + "\": give WIDTHxLENGTH in millimetres, e.g. 80x113";
    return std::nullopt;
  }
  const std::string_view all(text);
  if (!ParseWholeNumber(all.substr(0, cross), &width) ||
      !ParseWholeNumber(all.substr(cross + 1), &length)) {
    *error = "unknown paper \"" + text + "\": give WIDTHxLENGTH in whole millimetres, e.g. 80x113";
    return std::nullopt;
  }
  if (width < 1 || length < 1) {
    *error = "unknown paper \"" + text + "\": each side is at least 1 mm";
    return std::nullopt;
  }
  if (width > kMaxPaperWidthMm) {
    *error = "unknown paper \"" + text + "\": the printers take paper up to " +
             std::to_string(kMaxPaperWidthMm) + " mm wide";
    return std::nullopt;
  }
  if (length > kMaxPaperLengthMm) {
    *error = "unknown paper \"" + text + "\": pages are at most " +
             std::to_string(kMaxPaperLengthMm) + " mm long";
    return std::nullopt;
  }
  return PaperOfSize(width, length);
}

Paper PaperOfSize(int widthMm, int lengthMm) {
  Paper paper;
  if (widthMm == 48 && lengthMm == 68) {
    paper.code = kPaper48x68;
  } else if (widthMm == 80 && lengthMm == 113) {
    paper.code = kPaper80x113;
  } else {
    paper.code = DMPAPER_USER;
    paper.widthMm = static_cast<SHORT>(widthMm);
    paper.lengthMm = static_cast<SHORT>(lengthMm);
  }
  return paper;
}

DEVMODEW PageDevmode(DEVMODEW devmode, const PageSettings& page) {
  devmode.dmPaperSize = page.paper.code;
  if (page.paper.code == DMPAPER_USER) {
    devmode.dmFields |= DM_PAPERWIDTH | DM_PAPERLENGTH;
    devmode.dmPaperWidth = page.paper.widthMm;
    devmode.dmPaperLength = page.paper.lengthMm;
  }
  devmode.dmOrientation = page.landscape ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT;
  devmode.dmColor = page.colour ? DMCOLOR_COLOR : DMCOLOR_MONOCHROME;
  devmode.dmPrintQuality = page.draft ? DMRES_DRAFT : DMRES_HIGH;
  if (page.copies != 1) {
    devmode.dmFields |= DM_COPIES;
    devmode.dmCopies = static_cast<SHORT>(page.copies);
  }
  return devmode;
}

}  // namespace kelo::cli
