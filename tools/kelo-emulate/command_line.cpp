#include "command_line.h"

#include <optional>
#include <string_view>
#include <vector>

#include "emulator/port_options.h"

namespace kelo::tools {

namespace {

using kelo::emulator::ParseNumber;

// Paper widths at 8 dots per millimetre.
constexpr int kDotsPerMm = 8;

struct Option {
  std::string_view name;
  std::string_view value;  // empty for flags
};

bool Bad(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

}  // namespace

const char* UsageText() {
  return "usage: kelo-emulate [--width DOTS | --paper 48|80] [--planes 1|4] [--preview OUT.png]"
         " CAPTURE\n"
         "       kelo-emulate --pty [--width DOTS | --paper 48|80] [--planes 1|4]"
         " [--preview OUT.png]\n"
         "                    [--capture FILE] [--model NAME] [--status 0xNN] [--delay MS]"
         " [--silent]\n"
         "       kelo-emulate --help\n"
         "\n"
         "The first form decodes a captured printer stream, prints a report and writes the\n"
         "printed rows as a PNG. The second plays the printer on a pseudo-terminal: it prints\n"
         "the terminal's path, answers status requests there until SIGINT, SIGTERM or the end\n"
         "of its standard input, then writes the capture and the preview and prints a report.\n"
         "\n"
         "  --width DOTS   head width in dots (default 640); --paper 48 is 384, 80 is 640\n"
         "  --planes 1|4   planes per raster line; 4 gives a colour preview\n"
         "  --model NAME   device-ID description (default \"USB Printer T4\")\n"
         "  --status N     status byte answered (default 0x80, ready)\n"
         "  --delay MS     delay of each status answer\n"
         "  --silent       never answer\n"
         "\n"
         "Exit codes: 0 done, 1 malformed stream, 2 usage error, 3 file or terminal error.\n";
}

bool ParseCommandLine(int argc, const char* const* argv, CommandLine* out, std::string* error) {
  CommandLine result;
  std::vector<std::string_view> positional;
  bool widthGiven = false;
  bool ptyOnly = false;
  std::string ptyOnlyName;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.size() < 2 || arg.substr(0, 2) != "--") {
      if (arg == "-h") {
        result.help = true;
        continue;
      }
      if (!arg.empty() && arg[0] == '-' && arg != "-") return Bad(error, "unknown option " + std::string(arg));
      positional.push_back(arg);
      continue;
    }
    std::string_view name = arg;
    std::optional<std::string_view> value;
    if (const size_t equals = arg.find('='); equals != std::string_view::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    }
    const bool flag = name == "--help" || name == "--pty" || name == "--silent";
    const bool valued = name == "--width" || name == "--paper" || name == "--planes" ||
                        name == "--preview" || name == "--capture" || name == "--model" ||
                        name == "--status" || name == "--delay";
    if (!flag && !valued) return Bad(error, "unknown option " + std::string(name));
    if (flag && value) return Bad(error, std::string(name) + " takes no value");
    if (valued && !value) {
      if (i + 1 >= argc) return Bad(error, std::string(name) + " needs a value");
      value = argv[++i];
    }
    if (name == "--help") {
      result.help = true;
    } else if (name == "--pty") {
      result.pty = true;
    } else if (name == "--silent") {
      result.printer.silent = true;
      ptyOnly = true;
      ptyOnlyName = name;
    } else if (name == "--width" || name == "--paper") {
      if (widthGiven) return Bad(error, "give one of --width and --paper, once");
      widthGiven = true;
      if (name == "--paper") {
        if (*value != "48" && *value != "80") return Bad(error, "--paper takes 48 or 80");
        result.printer.widthDots = (*value == "48" ? 48 : 80) * kDotsPerMm;
      } else {
        const auto dots = ParseNumber(*value, kelo::emulator::kMaxWidthDots);
        if (!dots || *dots == 0) {
          return Bad(error, "--width takes 1 to " + std::to_string(kelo::emulator::kMaxWidthDots) +
                                " dots, not " + std::string(*value));
        }
        result.printer.widthDots = static_cast<int>(*dots);
      }
    } else if (name == "--planes") {
      if (*value != "1" && *value != "4") return Bad(error, "--planes takes 1 or 4");
      result.printer.planes = *value == "1" ? 1 : 4;
    } else if (name == "--preview") {
      if (value->empty()) return Bad(error, "--preview needs a file name");
      result.previewPath = std::string(*value);
    } else if (name == "--capture") {
      if (value->empty()) return Bad(error, "--capture needs a file name");
      result.capturePath = std::string(*value);
      ptyOnly = true;
      ptyOnlyName = name;
    } else if (name == "--model") {
      if (value->empty() || value->size() > kelo::emulator::kMaxModelChars ||
          value->find(';') != std::string_view::npos) {
        return Bad(error, "--model takes 1 to 200 characters without ';'");
      }
      result.printer.model = std::string(*value);
      ptyOnly = true;
      ptyOnlyName = name;
    } else if (name == "--status") {
      const auto status = ParseNumber(*value, 0xFF);
      if (!status) return Bad(error, "--status takes 0x00 to 0xFF, not " + std::string(*value));
      result.printer.status = static_cast<BYTE>(*status);
      ptyOnly = true;
      ptyOnlyName = name;
    } else if (name == "--delay") {
      const auto delay = ParseNumber(*value, kelo::emulator::kMaxDelayMs);
      if (!delay) {
        return Bad(error, "--delay takes 0 to " + std::to_string(kelo::emulator::kMaxDelayMs) +
                              " ms, not " + std::string(*value));
      }
      result.printer.replyDelayMs = *delay;
      ptyOnly = true;
      ptyOnlyName = name;
    }
  }
  if (result.help) {
    *out = std::move(result);
    return true;
  }
  if (result.pty) {
    if (!positional.empty()) return Bad(error, "--pty takes no capture argument; use --capture FILE");
    result.printer.type = kelo::emulator::PortType::kSerial;
  } else {
    if (ptyOnly) return Bad(error, ptyOnlyName + " is for --pty only");
    if (positional.size() != 1) return Bad(error, "give exactly one CAPTURE file");
    result.capturePath = std::string(positional[0]);
  }
  *out = std::move(result);
  return true;
}

}  // namespace kelo::tools
