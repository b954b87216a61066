#include "tools/kelo-print/print_job.h"

#include <string>
#include <vector>

#include "driver/hooks.h"
#include "engine/engine.h"
#include "engine/image_file.h"
#include "engine/image_pages.h"
#include "platform/host/host_api.h"
#include "tools/kelo-print/progress.h"
#include "tools/kelo-print/service_session.h"

namespace kelo::print {

namespace {

constexpr DWORD kStatusBit2 = 16000;  // the service's code for status bit 2
constexpr DWORD kOutOfPaperAndBit2 = 16001;
// Codes of the host's files that the platform header does not name.
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorTooManyOpenFiles = 4;
constexpr DWORD kErrorDiskFull = 112;  // what a full file or device reports
constexpr DWORD kErrorFilenameTooLong = 206;

std::string ErrorText(DWORD error) {
  std::string text;
  switch (error) {
    case ERROR_FILE_NOT_FOUND: text = "no such port or device"; break;
    case ERROR_ACCESS_DENIED: text = "access denied"; break;
    case ERROR_INVALID_HANDLE: text = "invalid handle"; break;
    case ERROR_NOT_READY: text = "the printer is not ready"; break;
    case ERROR_OUT_OF_PAPER: text = "the printer is out of paper"; break;
    case ERROR_SHARING_VIOLATION: text = "the port is in use"; break;
    case ERROR_INVALID_PARAMETER: text = "invalid parameter"; break;
    case ERROR_SERIAL_NO_DEVICE: text = "the serial device is gone"; break;
    case ERROR_GRACEFUL_DISCONNECT: text = "the printer was disconnected"; break;
    case ERROR_TIMEOUT: text = "nothing was taken within the print time-out"; break;
    case ERROR_NOT_SUPPORTED: text = "the port does not support the request"; break;
    case ERROR_OUTOFMEMORY:
    case ERROR_NOT_ENOUGH_MEMORY: text = "out of memory"; break;
    case ERROR_NO_DATA: text = "nobody reads the other end of the port"; break;
    case kErrorPathNotFound: text = "a directory on the port's path does not exist"; break;
    case kErrorTooManyOpenFiles: text = "too many open files"; break;
    case kErrorFilenameTooLong: text = "the port's path is too long"; break;
    case ERROR_WRITE_FAULT: text = "write fault"; break;
    case ERROR_GEN_FAILURE: text = "the device does not work"; break;
    case ERROR_DEV_NOT_EXIST: text = "the device is gone"; break;
    case ERROR_DEVICE_IN_USE: text = "the device is in use"; break;
    case ERROR_MOD_NOT_FOUND: text = "library not found"; break;
    case ERROR_PROC_NOT_FOUND: text = "entry point not found"; break;
    case ERROR_UNKNOWN_PORT: text = "unknown port"; break;
    case kStatusBit2: text = "the printer reports a fault"; break;
    case kOutOfPaperAndBit2: text = "the printer is out of paper and reports a fault"; break;
    case kErrorDiskFull: text = "no space left on the device"; break;
    default: text = "system error"; break;
  }
  return text + " (" + std::to_string(error) + ")";
}

std::string Utf8(const std::u16string& text) { return kelo::host::ToUtf8(text); }

// The words for a job that stopped, from what the job runner and the tap saw.
Outcome Classify(const kelo::engine::JobResult& result, const kelo::engine::ServiceCalls& calls,
                 const std::u16string& port) {
  using kelo::engine::JobStep;
  // Built by appending: GCC 12 at -O3 reports a false overlap (-Wrestrict)
  // for a chain of operator+ on a temporary here.
  std::string portName = "\"";
  portName += Utf8(port);
  portName += '"';
  switch (result.failedStep) {
    case JobStep::kNone:
      break;
    case JobStep::kDriverEnable:
      return {kExitInternal, "the driver could not be enabled"};
    case JobStep::kDeviceEnable:
      if (calls.openFailures > 0) {
        return {kExitPort, "cannot open the printer port " + portName + ": " +
                               ErrorText(calls.openError)};
      }
      if (result.lastError == ERROR_INVALID_PARAMETER) {
        return {kExitPaper, "the driver cannot print on this paper"};
      }
      return {kExitInternal, "the driver could not set up the page: " + ErrorText(result.lastError)};
    case JobStep::kDocumentStart:
    case JobStep::kPageStart:
      if (calls.lastStatusCheckFailed) {
        return {kExitNotReady, "the printer on " + portName + " is not ready: " +
                                   ErrorText(calls.statusError)};
      }
      break;  // the previous page's flush failed: a write failure, below
    case JobStep::kRender:
      return {kExitInternal, "the job stopped at " + result.failure};
    case JobStep::kWrite:
      break;
    case JobStep::kDocumentEnd:
      if (!calls.lastWriteFailed && !calls.endJobFailed && !calls.closeFailed) {
        return {kExitNotReady, "the printer on " + portName +
                                   " reported a condition at the end of the document: " +
                                   ErrorText(calls.statusError)};
      }
      break;
  }
  // A write that failed and was then made good by a retry (the port took the
  // rest) lost nothing; the last one failing did.
  if (calls.lastWriteFailed) {
    return {kExitWrite, "the printer on " + portName + " did not take the data: it took " +
                            std::to_string(calls.bytesAccepted) + " bytes, then " +
                            ErrorText(calls.writeError)};
  }
  if (calls.endJobFailed) {
    std::string lost = "the printer on " + portName + " did not take the data: ";
    if (calls.bytesUnsent > 0) lost += std::to_string(calls.bytesUnsent) + " bytes ";
    lost += "stayed in the port, ";
    return {kExitWrite, lost + ErrorText(calls.endJobError)};
  }
  if (calls.closeFailed) {
    return {kExitWrite, "the printer on " + portName +
                            " did not take the data: closing the port discarded bytes, " +
                            ErrorText(calls.closeError)};
  }
  if (!result.ok) return {kExitInternal, "the job stopped at " + result.failure};
  return {};
}

}  // namespace

std::u16string JobPort(const Options& options) {
  if (options.port) return kelo::host::FromUtf8(*options.port);
  std::u16string port = u"LPT1:";
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Printers\\Ports", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return port;
  }
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, u"DefaultPrintPort", nullptr, &type, nullptr, &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ && size >= 2 * sizeof(WCHAR)) {
    std::u16string value(size / sizeof(WCHAR), u'\0');
    if (RegQueryValueExW(key, u"DefaultPrintPort", nullptr, &type,
                         reinterpret_cast<BYTE*>(value.data()), &size) == ERROR_SUCCESS) {
      value.resize(std::char_traits<char16_t>::length(value.c_str()));
      if (!value.empty()) port = value;
    }
  }
  RegCloseKey(key);
  return port;
}

Outcome PrintImages(const Options& options) {
  // Every image is read before the printer hears of the job, so that a bad
  // file never leaves half a document on paper.
  std::vector<kelo::engine::RgbImage> images(options.images.size());
  for (size_t i = 0; i < options.images.size(); ++i) {
    std::string error;
    if (!kelo::engine::LoadImageFile(options.images[i], &images[i], &error)) {
      return {kExitImage, "cannot read " + options.images[i] + ": " + error};
    }
  }

  ServiceSession service;
  if (!service.Start()) {
    return {kExitInternal, "cannot load the device service: " + ErrorText(GetLastError())};
  }

  kelo::engine::JobOptions job;
  job.devmode = JobDevmode(kelo::engine::DefaultDevmode(&DrvEnableDriver), options);
  job.port = JobPort(options);
  Progress progress(static_cast<int>(images.size()));
  job.progress = [&](int page, int rowsDone, int rows) { progress.Rows(page, rowsDone, rows); };
  const kelo::engine::PageRenderer render = kelo::engine::ImagePages(images, options.fit, job);
  const kelo::engine::JobResult result =
      kelo::engine::RunJob(&DrvEnableDriver, job, static_cast<int>(images.size()), render);
  progress.Done();
  const kelo::engine::ServiceCalls calls = service.Calls();
  service.Stop();
  return Classify(result, calls, job.port);
}

}  // namespace kelo::print
