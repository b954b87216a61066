#include "tools/kelo-status/options.h"

#include "tools/common/printer_status.h"

namespace kelo::status {

namespace {

ParseResult Usage(std::string error) {
  ParseResult result;
  result.error = std::move(error);
  return result;
}

// Decimal digits up to kMaxStatusTimeoutMs; the request has 16 bits for it.
bool ParseTimeout(const std::string& text, DWORD* ms) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long value = std::stoul(text);
  if (value > kelo::cli::kMaxStatusTimeoutMs) return false;
  *ms = static_cast<DWORD>(value);
  return true;
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& arguments) {
  ParseResult result;
  Options& o = result.options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    std::string argument = arguments[i];
    std::optional<std::string> attached;  // --name=value
    if (const size_t equals = argument.find('='); argument.rfind("--", 0) == 0 &&
                                                   equals != std::string::npos) {
      attached = argument.substr(equals + 1);
      argument.resize(equals);
    }
    const bool takesValue =
        argument == "--port" || argument == "--registry" || argument == "--timeout";
    if (!takesValue && attached) return Usage("option " + argument + " takes no value");
    std::string text;
    if (takesValue) {
      if (attached) {
        text = *attached;
      } else if (i + 1 < arguments.size()) {
        text = arguments[++i];
      } else {
        return Usage("option " + argument + " needs a value");
      }
    }

    if (argument == "--help" || argument == "-h") {
      o.help = true;
    } else if (argument == "--port") {
      if (text.empty()) return Usage("option --port needs a port name, e.g. LPT1:");
      if (text.size() > kelo::cli::kMaxPortNameChars) {
        return Usage("option --port takes names up to " +
                     std::to_string(kelo::cli::kMaxPortNameChars) + " characters");
      }
      o.port = text;
    } else if (argument == "--registry") {
      if (text.empty()) return Usage("option --registry needs a file name");
      o.registry = text;
    } else if (argument == "--timeout") {
      if (!ParseTimeout(text, &o.timeoutMs)) {
        return Usage("option --timeout needs milliseconds from 0 to " +
                     std::to_string(kelo::cli::kMaxStatusTimeoutMs) + ", not \"" + text + "\"");
      }
    } else if (argument == "--rts") {
      o.rts = true;
    } else if (argument == "--verbose") {
      o.verbose = true;
    } else if (argument == "--json") {
      o.json = true;
    } else if (argument == "--watch") {
      o.watch = true;
    } else if (argument == "--reset") {
      o.reset = true;
    } else if (argument.size() > 1 && argument[0] == '-') {
      return Usage("unknown option " + argument);
    } else {
      return Usage("unexpected argument \"" + argument + "\"");
    }
  }
  if (o.reset && o.watch) return Usage("--reset and --watch do not go together");
  return result;
}

std::string HelpText() {
  return R"(usage: kelo-status [options]

Asks the printer for its status through the device service and says it in
words: ready, not ready, out of paper, reporting a fault (status bit 2),
out of paper and reporting a fault, or not answering.

options:
  --port NAME       printer port (default: "DefaultPrintPort" of the registry
                    key Printers\Ports, else LPT1:)
  --timeout MS      how long the printer has to answer, 0 to 65535 ms
                    (default 1000)
  --rts             ask by a pulse on the serial RTS line instead of ESC k 255;
                    with --reset: reset by holding RTS down for 1500 ms
  --reset           reset the printer (ESC @) instead of asking
  --watch           keep asking and print a line at every change, until
                    interrupted (SIGINT, SIGTERM); exits 0 then
  --verbose         also list every status byte with its time
  --json            print one JSON object (with --watch: one a change)
  --registry FILE   registry file to use (also: environment KELO_REGISTRY)
  --help            this text

exit codes:
  0  ready (with --reset: the reset was given; with --watch: interrupted)
  1  the device service failed otherwise
  2  bad command line or registry file
  5  the printer port cannot be opened
  6  the printer is not ready, out of paper or reports a fault
  8  no answer within the time-out
  9  reset refused: a document is being printed on the port
)";
}

}  // namespace kelo::status
