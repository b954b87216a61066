#include "tools/common/printer_status.h"

#include <deque>

#include "service/status_check.h"

namespace kelo::cli {

namespace {

constexpr const WCHAR* kServiceName = u"KLP1:";
// The monitor arms its answer deadline 100 ms past the time-out and looks at
// it once a pass (at most 100 ms apart on a quiet parallel-class port); past
// this much more, an event that never came is not coming.
constexpr DWORD kMonitorDeadlineMs = 100;
constexpr DWORD kEventSlackMs = 500;
// The events are waited on in turn, this long each, so that a stop request
// is seen promptly.
constexpr DWORD kWaitSliceMs = 10;
// A printer may answer with several bytes; they arrive within this after the
// first has been announced.
constexpr DWORD kSettleMs = 50;
// A byte that arrives between the size query and the fetch makes the fetch
// too small; the size is asked again this often.
constexpr int kFetchAttempts = 3;

class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  ~OwnedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

HANDLE OpenService() {
  return CreateFileW(kServiceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

DWORD NameBytes(const std::u16string& port) {
  return static_cast<DWORD>((port.size() + 1) * sizeof(WCHAR));
}

PortRequest RequestFor(const std::u16string& port, DWORD flag, DWORD timeoutMs) {
  PortRequest request{};
  request.name = port.c_str();
  request.nameSize = static_cast<uint8_t>(NameBytes(port));
  request.flag = flag;
  request.timeout = timeoutMs;
  return request;
}

// True when the data event came, false on the time-out event, the deadline
// or a stop.
bool WaitForAnswer(HANDLE data, HANDLE timeout, DWORD waitMs,
                   const volatile std::sig_atomic_t* stop) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (WaitForSingleObject(data, kWaitSliceMs) == WAIT_OBJECT_0) return true;
    if (WaitForSingleObject(timeout, 0) == WAIT_OBJECT_0) return false;
    if (stop != nullptr && *stop != 0) return false;
    if (GetTickCount() - start >= waitMs) return false;
  }
}

bool FetchRecords(HANDLE service, const std::u16string& port, std::vector<StatusRecord>* records) {
  auto* name = const_cast<char16_t*>(port.c_str());
  for (int attempt = 0; attempt < kFetchAttempts; ++attempt) {
    DWORD size = 0;
    if (!DeviceIoControl(service, KLP_GET_PRINTERSTATUS, name, NameBytes(port), nullptr, 0, &size,
                         nullptr)) {
      return false;
    }
    records->assign(size / sizeof(StatusRecord), StatusRecord{});
    if (records->empty()) return true;
    DWORD got = 0;
    if (DeviceIoControl(service, KLP_GET_PRINTERSTATUS, name, NameBytes(port), records->data(),
                        static_cast<DWORD>(records->size() * sizeof(StatusRecord)), &got,
                        nullptr)) {
      records->resize(got / sizeof(StatusRecord));
      return true;
    }
  }
  return false;
}

bool CarriesStatus(BYTE status) { return (status & KLP_STATUS_CLASS_MASK) == KLP_STATUS_CLASS; }

}  // namespace

bool AskPrinterStatus(const StatusQuestion& question, PrinterStatus* status, bool* refused,
                      const volatile std::sig_atomic_t* stop) {
  *status = PrinterStatus{};
  *refused = false;
  if (question.port.size() > kMaxPortNameChars || question.timeoutMs > kMaxStatusTimeoutMs) {
    SetLastError(ERROR_INVALID_PARAMETER);
    *refused = true;
    return false;
  }
  OwnedHandle service(OpenService());
  if (!service.valid()) return false;
  // Auto-reset events of the service, opened by name as any process would.
  OwnedHandle data(CreateEventW(nullptr, FALSE, FALSE, KELO_STATUS_DATA_EVENT));
  OwnedHandle timeout(CreateEventW(nullptr, FALSE, FALSE, KELO_STATUS_TIMEOUT_EVENT));
  if (!data.valid() || !timeout.valid()) return false;
  // What they say of earlier questions is no answer to this one.
  WaitForSingleObject(data.get(), 0);
  WaitForSingleObject(timeout.get(), 0);

  PortRequest request = RequestFor(question.port, question.byRts ? 1 : 0, question.timeoutMs);
  SetLastError(ERROR_SUCCESS);
  if (!DeviceIoControl(service.get(), KLP_UPDATE_PRINTERSTATUS, &request, sizeof request, nullptr,
                       0, nullptr, nullptr)) {
    if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_GEN_FAILURE);
    *refused = true;
    return false;
  }
  if (WaitForAnswer(data.get(), timeout.get(),
                    question.timeoutMs + kMonitorDeadlineMs + kEventSlackMs, stop)) {
    Sleep(kSettleMs);
  }
  // Taken also after a time-out: an answer that came late is still news.
  if (!FetchRecords(service.get(), question.port, &status->records)) return false;

  std::deque<StatusRecord> walk;
  for (const StatusRecord& record : status->records) {
    if (CarriesStatus(record.status)) walk.push_back(record);
  }
  if (walk.empty()) return true;  // no answer
  status->code = EvaluateStatusHistory(walk, false);
  status->state = StateOfCode(status->code);
  return true;
}

PrinterState StateOfCode(DWORD code) {
  switch (code) {
    case 0: return PrinterState::kReady;
    case KLP_STATUS_NOT_READY: return PrinterState::kNotReady;
    case KLP_STATUS_OUT_OF_PAPER: return PrinterState::kOutOfPaper;
    case KLP_STATUS_CONDITION_BIT2: return PrinterState::kFault;
    case KLP_STATUS_OUT_OF_PAPER_AND_BIT2: return PrinterState::kOutOfPaperAndFault;
    default: return PrinterState::kNoAnswer;
  }
}

PrinterState StateOfByte(BYTE status) {
  if (!CarriesStatus(status)) return PrinterState::kNoAnswer;
  StatusRecord record{};
  record.status = status;
  return StateOfCode(EvaluateStatusHistory({record}, false));
}

const char* StateWords(PrinterState state) {
  switch (state) {
    case PrinterState::kReady: return "ready";
    case PrinterState::kNotReady: return "not ready";
    case PrinterState::kOutOfPaper: return "out of paper";
    case PrinterState::kFault: return "reporting a fault (status bit 2)";
    case PrinterState::kOutOfPaperAndFault: return "out of paper and reporting a fault";
    case PrinterState::kNoAnswer: return "not answering";
  }
  return "unknown";
}

const char* StateKey(PrinterState state) {
  switch (state) {
    case PrinterState::kReady: return "ready";
    case PrinterState::kNotReady: return "not-ready";
    case PrinterState::kOutOfPaper: return "out-of-paper";
    case PrinterState::kFault: return "fault";
    case PrinterState::kOutOfPaperAndFault: return "out-of-paper-and-fault";
    case PrinterState::kNoAnswer: return "no-answer";
  }
  return "unknown";
}

ExitCode ExitCodeOf(PrinterState state) {
  switch (state) {
    case PrinterState::kReady: return kExitOk;
    case PrinterState::kNoAnswer: return kExitNoAnswer;
    default: return kExitNotReady;
  }
}

ResetOutcome ResetPrinter(const std::u16string& port, bool byRts) {
  if (port.size() > kMaxPortNameChars) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return ResetOutcome::kFailed;
  }
  OwnedHandle service(OpenService());
  if (!service.valid()) return ResetOutcome::kFailed;
  PortRequest request = RequestFor(port, byRts ? 1 : 0, 0);
  // The service refuses a reset during a document without a code; every
  // other refusal sets one.
  SetLastError(ERROR_SUCCESS);
  if (DeviceIoControl(service.get(), KLP_RESET_PRINTER, &request, sizeof request, nullptr, 0,
                      nullptr, nullptr)) {
    return ResetOutcome::kDone;
  }
  return GetLastError() == ERROR_SUCCESS ? ResetOutcome::kBusy : ResetOutcome::kFailed;
}

std::optional<PrinterState> AskBeforeJob(const std::u16string& port) {
  // Long enough for a printer on a serial line to answer; short enough not
  // to hold up a job to one that never does.
  constexpr DWORD kBeforeJobTimeoutMs = 500;
  StatusQuestion question;
  question.port = port;
  question.timeoutMs = kBeforeJobTimeoutMs;
  PrinterStatus status;
  bool refused = false;
  if (!AskPrinterStatus(question, &status, &refused)) return std::nullopt;
  return status.state;
}

}  // namespace kelo::cli
