#include "tools/kelo-print/options.h"

#include <cstring>

namespace kelo::print {

namespace {

ParseResult Usage(std::string error) {
  ParseResult result;
  result.code = kExitUsage;
  result.error = std::move(error);
  return result;
}

}  // namespace

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
      if (!kelo::cli::ParseWholeNumber(text, &o.copies) || o.copies < 1 || o.copies > kMaxCopies) {
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

DEVMODEW JobDevmode(DEVMODEW defaults, const Options& options) {
  return kelo::cli::PageDevmode(defaults, {options.paper, options.landscape, options.colour,
                                           options.draft, options.copies});
}

}  // namespace kelo::print
