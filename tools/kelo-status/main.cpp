// kelo-status: asks the printer for its status through the device service,
// as an application does, and says it in words; or resets the printer.

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "emulator/emulator_ports.h"
#include "platform/host/host_api.h"
#include "tools/common/default_port.h"
#include "tools/common/error_text.h"
#include "tools/common/exit_codes.h"
#include "tools/common/printer_status.h"
#include "tools/common/registry_option.h"
#include "tools/common/service_session.h"
#include "tools/kelo-status/options.h"
#include "tools/kelo-status/report.h"

namespace {

using namespace kelo::cli;
using kelo::status::Options;

// Set by SIGINT and SIGTERM while watching; the loops look at it between
// their short waits.
volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int Report(int code, const std::string& message) {
  std::fprintf(stderr, "kelo-status: %s\n", message.c_str());
  return code;
}

void PrintLine(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// A question the service turned down, or whose answer it could not hand
// over, in words and its exit code.
struct Failure {
  int code;
  std::string message;
};

Failure FailureOf(bool refused, const std::string& port, DWORD error) {
  if (refused) return {kExitPort, "cannot open the printer port \"" + port + "\": " + ErrorText(error)};
  return {kExitInternal, "cannot fetch the status of \"" + port + "\": " + ErrorText(error)};
}

StatusQuestion QuestionFor(const Options& options, const std::u16string& port) {
  StatusQuestion question;
  question.port = port;
  question.byRts = options.rts;
  question.timeoutMs = options.timeoutMs;
  return question;
}

int AskOnce(const Options& options, const std::u16string& port) {
  const std::string name = kelo::host::ToUtf8(port);
  PrinterStatus status;
  bool refused = false;
  if (!AskPrinterStatus(QuestionFor(options, port), &status, &refused)) {
    const Failure failure = FailureOf(refused, name, GetLastError());
    if (options.json) PrintLine(kelo::status::ErrorJson(name, failure.message, failure.code));
    return Report(failure.code, failure.message);
  }
  if (options.json) {
    PrintLine(kelo::status::StatusJson(name, status));
  } else {
    if (options.verbose) {
      for (const StatusRecord& record : status.records) PrintLine(kelo::status::RecordLine(record));
    }
    PrintLine(kelo::status::StatusLine(name, status, options.timeoutMs));
  }
  return ExitCodeOf(status.state);
}

// Asks again and again, a line at every change of what is learnt (a state,
// or a port that cannot be opened), until a stop signal.
int Watch(const Options& options, const std::u16string& port) {
  // The pause between questions; at least this, so that a time-out of 0
  // does not spin.
  constexpr DWORD kMinPauseMs = 100;
  constexpr DWORD kPauseSliceMs = 10;
  const std::string name = kelo::host::ToUtf8(port);
  const DWORD pauseMs = options.timeoutMs > kMinPauseMs ? options.timeoutMs : kMinPauseMs;
  std::string last;
  while (g_stop == 0) {
    PrinterStatus status;
    bool refused = false;
    const bool answered = AskPrinterStatus(QuestionFor(options, port), &status, &refused, &g_stop);
    if (g_stop != 0) break;  // an interrupted wait says nothing of the printer
    std::string now;
    std::string line;
    if (answered) {
      now = StateKey(status.state);
      line = options.json ? kelo::status::StatusJson(name, status)
                          : kelo::status::StatusLine(name, status, options.timeoutMs);
      if (options.verbose && !options.json) {
        for (const StatusRecord& record : status.records) {
          PrintLine(kelo::status::RecordLine(record));
        }
      }
    } else {
      const Failure failure = FailureOf(refused, name, GetLastError());
      now = failure.message;
      line = options.json ? kelo::status::ErrorJson(name, failure.message, failure.code)
                          : kelo::status::PortLabel(name) + failure.message;
    }
    if (now != last) PrintLine(line);
    last = now;
    for (DWORD waited = 0; waited < pauseMs && g_stop == 0; waited += kPauseSliceMs) {
      Sleep(kPauseSliceMs);
    }
  }
  return kExitOk;
}

int Reset(const Options& options, const std::u16string& port) {
  const std::string name = kelo::host::ToUtf8(port);
  switch (ResetPrinter(port, options.rts)) {
    case ResetOutcome::kDone:
      PrintLine(options.json ? kelo::status::ResetJson(name, options.rts)
                             : kelo::status::PortLabel(name) +
                                   (options.rts ? "reset by RTS pulse" : "reset sent"));
      return kExitOk;
    case ResetOutcome::kBusy:
      return Report(kExitBusy, "a document is being printed on \"" + name +
                                   "\"; the printer was not reset");
    case ResetOutcome::kFailed:
      break;
  }
  const DWORD error = GetLastError();
  // A port that opened but has no serial line to pulse.
  if (options.rts && error == ERROR_NOT_SUPPORTED) {
    return Report(kExitInternal, "cannot reset the printer on \"" + name +
                                     "\" by RTS: " + ErrorText(error));
  }
  return Report(kExitPort, "cannot open the printer port \"" + name + "\": " + ErrorText(error));
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const kelo::status::ParseResult parsed = kelo::status::ParseCommandLine(arguments);
  if (!parsed.error.empty()) {
    return Report(kExitUsage, parsed.error + " (kelo-status --help lists the options)");
  }
  const Options& options = parsed.options;
  if (options.help) {
    std::fputs(kelo::status::HelpText().c_str(), stdout);
    return kExitOk;
  }
  if (options.registry) {
    const std::string error = UseRegistryFile("kelo-status", *options.registry, argv);
    if (!error.empty()) return Report(kExitUsage, error);
  }
  if (options.watch) InstallStopSignals();

  if (!options.verbose) kelo::host::StartDebugCapture();
  kelo::emulator::InstallEmulatorPorts();
  int code = kExitOk;
  {
    ServiceSession service;
    if (!service.Start()) {
      code = Report(kExitInternal, "cannot load the device service: " + ErrorText(GetLastError()));
    } else {
      const std::u16string port = PortOrDefault(options.port);
      if (options.reset) {
        code = Reset(options, port);
      } else if (options.watch) {
        code = Watch(options, port);
      } else {
        code = AskOnce(options, port);
      }
      // Releases the port and ends the status monitor before the program
      // does.
      service.Stop();
    }
  }
  if (!options.verbose) kelo::host::StopDebugCapture();
  return code;
}
