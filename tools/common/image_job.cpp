#include "tools/common/image_job.h"

#include <optional>
#include <string>

#include "driver/hooks.h"
#include "engine/engine.h"
#include "engine/image_pages.h"
#include "platform/host/host_api.h"
#include "tools/common/error_text.h"
#include "tools/common/printer_status.h"
#include "tools/common/service_session.h"

namespace kelo::cli {

namespace {

std::string Utf8(const std::u16string& text) { return kelo::host::ToUtf8(text); }

// The words for a job that stopped, from what the job runner and the tap saw.
JobOutcome Classify(const kelo::engine::JobResult& result, const kelo::engine::ServiceCalls& calls,
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
        return {kExitPort,
                "cannot open the printer port " + portName + ": " + ErrorText(calls.openError)};
      }
      if (result.lastError == ERROR_INVALID_PARAMETER) {
        return {kExitPaper, "the driver cannot print on this paper"};
      }
      return {kExitInternal,
              "the driver could not set up the page: " + ErrorText(result.lastError)};
    case JobStep::kDocumentStart:
    case JobStep::kPageStart:
      if (calls.lastStatusCheckFailed) {
        return {kExitNotReady,
                "the printer on " + portName + " is not ready: " + ErrorText(calls.statusError)};
      }
      break;  // the previous page's flush failed: a write failure, below
    case JobStep::kRender:
      return {kExitInternal, "the job stopped at " + result.failure};
    case JobStep::kPage:  // an image that read well before the job no longer does
      return {kExitImage, result.failure};
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

// A printer that answers the status question with a condition gets no page.
// One that does not answer (a file, a printer without a way back) is printed
// to as before, and a port that cannot be opened is left to the job, which
// says why.
std::optional<JobOutcome> RefusedByStatus(const std::u16string& port) {
  const std::optional<PrinterState> state = AskBeforeJob(port);
  if (!state || ExitCodeOf(*state) != kExitNotReady) return std::nullopt;
  std::string message = "the printer on \"";
  message += Utf8(port);
  message += "\" is ";
  message += StateWords(*state);
  message += "; no page was sent";
  return JobOutcome{kExitNotReady, message};
}

// The job around a renderer: `run` is handed the job's options, to hook as
// the renderer needs, and runs the job.
template <typename Run>
JobOutcome PrintJob(const ImageJob& settings, const Run& run) {
  ServiceSession service;
  if (!service.Start()) {
    return {kExitInternal, "cannot load the device service: " + ErrorText(GetLastError())};
  }
  kelo::engine::JobOptions job;
  job.devmode = settings.devmode;
  job.port = settings.port;
  if (settings.statusCheck) {
    if (std::optional<JobOutcome> refused = RefusedByStatus(job.port)) return *refused;
  }
  job.progress = settings.progress;
  const kelo::engine::JobResult result = run(job);
  const kelo::engine::ServiceCalls calls = service.Calls();
  service.Stop();
  return Classify(result, calls, job.port);
}

}  // namespace

JobOutcome PrintImagePages(const std::vector<kelo::engine::RgbImage>& images,
                           const ImageJob& settings) {
  return PrintJob(settings, [&](kelo::engine::JobOptions& job) {
    const kelo::engine::PageRenderer render = kelo::engine::ImagePages(images, settings.fit, job);
    return kelo::engine::RunJob(&DrvEnableDriver, job, static_cast<int>(images.size()), render);
  });
}

JobOutcome PrintImageSource(int pageCount, const kelo::engine::ImageSource& source,
                            const ImageJob& settings) {
  return PrintJob(settings, [&](kelo::engine::JobOptions& job) {
    kelo::engine::PagesAhead pages(source, pageCount,
                                   kelo::engine::JobSheets(job.devmode, pageCount), settings.fit,
                                   job);
    return kelo::engine::RunJob(&DrvEnableDriver, job, pageCount, pages.Renderer());
  });  // the drawing thread is joined before the outcome is put in words
}

}  // namespace kelo::cli
