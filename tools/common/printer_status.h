// The printer's status and reset as an application asks for them through
// the device service "KLP1:" (kelo/service_control.h), and the answer in
// words and exit codes. Shared by kelo-status and kelo-print's check before
// a job.
#pragma once

#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "kelo/service_control.h"
#include "platform/platform.h"
#include "tools/common/exit_codes.h"

namespace kelo::cli {

enum class PrinterState {
  kReady,
  kNotReady,           // status bit 3
  kOutOfPaper,         // status bit 1
  kFault,              // status bit 2
  kOutOfPaperAndFault, // bits 1 and 2
  kNoAnswer,           // no status byte within the time-out
};

// A PortRequest carries the name's size in one byte, terminator included.
inline constexpr size_t kMaxPortNameChars = 255 / sizeof(WCHAR) - 1;
// The monitor reads only the low 16 bits of the answer time-out.
inline constexpr DWORD kMaxStatusTimeoutMs = 0xFFFF;

struct StatusQuestion {
  std::u16string port;    // at most kMaxPortNameChars
  bool byRts = false;     // ask by an RTS pulse instead of ESC k 255
  DWORD timeoutMs = 1000; // the monitor's wait for an answer, up to kMaxStatusTimeoutMs
};

struct PrinterStatus {
  PrinterState state = PrinterState::kNoAnswer;
  // The service's status code for the records: 0, or KLP_STATUS_NOT_READY,
  // _OUT_OF_PAPER, _CONDITION_BIT2, _OUT_OF_PAPER_AND_BIT2.
  DWORD code = 0;
  std::vector<StatusRecord> records;  // what the printer sent, oldest first
};

// Issues KLP_UPDATE_PRINTERSTATUS, waits for the service's data or time-out
// event, and takes the queued records with KLP_GET_PRINTERSTATUS. The
// service has to be active (ServiceSession). The state is that of the
// newest status bytes, evaluated as the service's own status check does; a
// printer that sent no status byte has not answered. A non-zero *stop (set by
// a signal handler) abandons the wait. False with the last error set when
// the service refused the question (KLP_UPDATE_PRINTERSTATUS fails when the
// port cannot be opened) or the records could not be fetched; `refused`
// then tells which.
bool AskPrinterStatus(const StatusQuestion& question, PrinterStatus* status, bool* refused,
                      const volatile std::sig_atomic_t* stop = nullptr);

// The question the printer tools ask before a job (ESC k 255, 500 ms for the
// answer): the printer's state, or nullopt when the service refused the
// question (the port cannot be opened). The service has to be active.
std::optional<PrinterState> AskBeforeJob(const std::u16string& port);

// 0 (ready), 21, 28, 16000 or 16001 as a state.
PrinterState StateOfCode(DWORD code);
// "ready", "not ready", "out of paper", ...
const char* StateWords(PrinterState state);
// The same as one word for scripts: "ready", "not-ready", "out-of-paper", ...
const char* StateKey(PrinterState state);
// kExitOk, kExitNotReady for every printer condition, kExitNoAnswer.
ExitCode ExitCodeOf(PrinterState state);
// The state one status byte on its own stands for; kNoAnswer for a byte that
// carries no status.
PrinterState StateOfByte(BYTE status);

enum class ResetOutcome {
  kDone,    // RTS pulse given, or ESC @ handed to the status monitor
  kBusy,    // refused: a document is being printed on the port
  kFailed,  // the port could not be opened or its line not driven; last error set
};

// KLP_RESET_PRINTER: ESC @ through the status monitor, or with byRts the
// RTS line held down for 1500 ms. The service has to be active.
ResetOutcome ResetPrinter(const std::u16string& port, bool byRts);

}  // namespace kelo::cli
