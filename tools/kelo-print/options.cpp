#include "tools/kelo-print/options.h"

#include <charconv>
#include <cstring>
#include <limits>

namespace kelo::print {

namespace {

// The two sizes of the driver's paper table; any other size is custom.
constexpr SHORT kPaper48x68 = 13;
constexpr SHORT kPaper80x113 = DMPAPER_A4;  // 9

// A whole number in decimal digits; one too large for an int reads as the
// largest int, so that it is refused by the limit it exceeds.
bool ParseWhole(std::string_view text, int* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  if (ec == std::errc::result_out_of_range) *value = std::numeric_limits<int>::max();
  return true;
}

ParseResult Usage(std::string error) {
  ParseResult result;
  result.code = kExitUsage;
  result.error = std::move(error);
  return result;
}

}  // namespace

std::optional<Paper> ParsePaper(const std::string& text, std::string* error) {
  const size_t cross = text.find_first_of("xX");
  int width = 0;
  int length = 0;
  if (cross == std::string::npos) {
    *error = "unknown paper \"" + text + "\": give WIDTHxLENGTH in millimetres, e.g. 80x113";
    return std::nullopt;
  }
  const std::string_view all(text);
  if (!ParseWhole(all.substr(0, cross), &width) || !ParseWhole(all.substr(cross + 1), &length)) {
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
  Paper paper;
  if (width == 48 && length == 68) {
    paper.code = kPaper48x68;
  } else if (width == 80 && length == 113) {
    paper.code = kPaper80x113;
  } else {
    paper.code = DMPAPER_USER;
    paper.widthMm = static_cast<SHORT>(width);
    paper.lengthMm = static_cast<SHORT>(length);
  }
  return paper;
}

ParseResult ParseCommandLine(const std::vector<std::string>& arguments) {
  ParseResult result;
  Options& o = result.options;
  std::string paperText = "80x113";
  bool optionsEnded = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    std::string argument = arguments[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      o.images.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    std::optional<std::string> attached;  // --name=value
    if (const size_t equals = argument.find('='); argument.rfind("--", 0) == 0 &&
                                                   equals != std::string::npos) {
      attached = argument.substr(equals + 1);
      argument.resize(equals);
    }
    auto value = [&](std::string* out) -> bool {
      if (attached) {
        *out = *attached;
        return true;
      }
      if (i + 1 >= arguments.size()) return false;
      *out = arguments[++i];
      return true;
    };
    const bool takesValue = argument == "--port" || argument == "--paper" ||
                            argument == "--fit" || argument == "--registry" ||
                            argument == "--copies";
    if (!takesValue && attached) return Usage("option " + argument + " takes no value");
    std::string text;
    if (takesValue && !value(&text)) return Usage("option " + argument + " needs a value");

    if (argument == "--help" || argument == "-h") {
      o.help = true;
    } else if (argument == "--port") {
      if (text.empty()) return Usage("option --port needs a port name, e.g. LPT1:");
      o.port = text;
    } else if (argument == "--paper") {
      paperText = text;
    } else if (argument == "--fit") {
      if (!kelo::engine::ParseFitMode(text, &o.fit)) {
        return Usage("unknown fit \"" + text + "\": give width, page or none");
      }
    } else if (argument == "--registry") {
      if (text.empty()) return Usage("option --registry needs a file name");
      o.registry = text;
    } else if (argument == "--copies") {
      if (!ParseWhole(text, &o.copies) || o.copies < 1 || o.copies > kMaxCopies) {
        return Usage("option --copies needs a number from 1 to " + std::to_string(kMaxCopies) +
                     ", not \"" + text + "\"");
      }
    } else if (argument == "--landscape") {
      o.landscape = true;
    } else if (argument == "--colour" || argument == "--color") {
      o.colour = true;
    } else if (argument == "--draft") {
      o.draft = true;
    } else if (argument == "--verbose") {
      o.verbose = true;
    } else if (argument == "--no-status-check") {
      o.statusCheck = false;
    } else {
      return Usage("unknown option " + argument);
    }
  }
  if (o.help) return result;
  if (o.images.empty()) return Usage("no image given");
  std::string error;
  const std::optional<Paper> paper = ParsePaper(paperText, &error);
  if (!paper) {
    result.code = kExitPaper;
    result.error = error;
    return result;
  }
  o.paper = *paper;
  return result;
}

std::string HelpText() {
  return R"(usage: kelo-print [options] IMAGE...

Prints PNG and JPEG images, one image a page; several images make one
document of several pages.

options:
  --port NAME       printer port (default: "DefaultPrintPort" of the registry
                    key Printers\Ports, else LPT1:)
  --paper WxL       paper in millimetres: 48x68, 80x113 (default), or any
                    custom size up to 80 mm wide and 2000 mm long
  --copies N        print the document N times (1 to 999, default 1); the
                    copies come out collated
  --landscape       lay the page out wider than long
  --colour          print K, C, M and Y planes (default: grey)
  --draft           draft quality (101 dots per inch reported; same dots)
  --fit MODE        width: scale to the page width, cut off below the page
                    (default); page: scale to fit inside the page, centred;
                    none: one pixel a dot at the top left
  --registry FILE   registry file to use (also: environment KELO_REGISTRY)
  --no-status-check do not ask the printer for its status before the job
  --verbose         show the library's diagnostics as they come
  --help            this text

An image of the page's size in dots (640 x 904 for 80x113, 384 x 544 for
48x68) is printed pixel for pixel. Shrinking averages areas; enlarging
interpolates bilinearly.

Before the job the printer is asked for its status (ESC k 255, 500 ms): one
that answers not ready, out of paper or with a fault gets no page (exit 6);
one that does not answer is printed to.

exit codes:
  0  printed
  1  the driver or the device service failed otherwise
  2  bad command line or registry file
  3  an image cannot be read
  4  unknown paper
  5  the printer port cannot be opened
  6  the printer is not ready (or out of paper, or reports a fault)
  7  the printer did not take the data (write failed)
)";
}

DEVMODEW JobDevmode(DEVMODEW devmode, const Options& options) {
  devmode.dmPaperSize = options.paper.code;
  if (options.paper.code == DMPAPER_USER) {
    devmode.dmFields |= DM_PAPERWIDTH | DM_PAPERLENGTH;
    devmode.dmPaperWidth = options.paper.widthMm;
    devmode.dmPaperLength = options.paper.lengthMm;
  }
  devmode.dmOrientation = options.landscape ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT;
  devmode.dmColor = options.colour ? DMCOLOR_COLOR : DMCOLOR_MONOCHROME;
  devmode.dmPrintQuality = options.draft ? DMRES_DRAFT : DMRES_HIGH;
  if (options.copies != 1) {
    devmode.dmFields |= DM_COPIES;
    devmode.dmCopies = static_cast<SHORT>(options.copies);
  }
  return devmode;
}

}  // namespace kelo::print
