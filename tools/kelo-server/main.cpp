// kelo-server: an IPP Everywhere printer application on PAPPL. Every job's
// pages are collected as images and printed through the library exactly as
// kelo-print prints images (tools/common/image_job): the device service
// "KLP1:" owns the port, PAPPL's device for the printer only names it.

#include <pappl/pappl.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "driver/hooks.h"
#include "emulator/emulator_ports.h"
#include "engine/engine.h"
#include "platform/host/host_api.h"
#include "platform/platform.h"
#include "tools/common/image_job.h"
#include "tools/common/paper.h"
#include "tools/common/printer_status.h"
#include "tools/common/service_session.h"
#include "tools/kelo-server/printer_model.h"
#include "tools/kelo-server/raster_page.h"

namespace {

using kelo::server::HeadModel;

// The library keeps one global state (the device service, the emulated
// ports); jobs and status questions take turns.
std::mutex g_library;

// The reasons this server sets and clears from the printer's answers.
constexpr pappl_preason_t kStatusReasons =
    PAPPL_PREASON_MEDIA_EMPTY | PAPPL_PREASON_OFFLINE | PAPPL_PREASON_OTHER;

struct DeviceData {
  std::u16string port;
};

struct JobData {
  kelo::server::RasterPages pages;
};

// The pages of each printer's current job. A printer prints one job at a
// time; the next job's start frees what a job that stopped early left.
std::mutex g_jobsLock;
std::map<pappl_printer_t*, std::unique_ptr<JobData>> g_jobs;

JobData* NewJobData(pappl_printer_t* printer) {
  std::lock_guard<std::mutex> lock(g_jobsLock);
  std::unique_ptr<JobData>& slot = g_jobs[printer];
  slot = std::make_unique<JobData>();
  return slot.get();
}

void FreeJobData(pappl_printer_t* printer) {
  std::lock_guard<std::mutex> lock(g_jobsLock);
  g_jobs.erase(printer);
}

// --- the device scheme: a printer port of the registry --------------------

// The registry's values cannot be enumerated on the platform; the usual port
// names are asked for one by one.
bool ListPorts(pappl_device_cb_t cb, void* data, pappl_deverror_cb_t, void*) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Host\\Ports", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  bool stop = false;
  for (const char16_t* prefix : {u"LPT", u"COM"}) {
    for (char16_t digit = u'1'; digit <= u'9' && !stop; ++digit) {
      std::u16string port = prefix;
      port += digit;
      port += u':';
      DWORD type = 0;
      DWORD size = 0;
      if (RegQueryValueExW(key, port.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        continue;
      }
      const std::string info = "kelo printer on " + kelo::host::ToUtf8(port);
      stop = cb(info.c_str(), kelo::server::PortUri(port).c_str(), "MFG:kelo;MDL:thermal printer;",
                data);
    }
  }
  RegCloseKey(key);
  return stop;
}

bool OpenPort(pappl_device_t* device, const char* uri, const char*) {
  const std::optional<std::u16string> port = kelo::server::PortOfUri(uri);
  if (!port) {
    papplDeviceError(device, "\"%s\" names no printer port", uri);
    return false;
  }
  papplDeviceSetData(device, new DeviceData{*port});
  return true;
}

void ClosePort(pappl_device_t* device) {
  delete static_cast<DeviceData*>(papplDeviceGetData(device));
}

ssize_t ReadPort(pappl_device_t*, void*, size_t) { return 0; }

// Data reaches the port only through the device service; bytes handed here
// would be lost, so they are refused.
ssize_t WritePort(pappl_device_t* device, const void*, size_t) {
  papplDeviceError(device, "the port is written only by the device service");
  return -1;
}

pappl_preason_t PortStatus(pappl_device_t*) { return PAPPL_PREASON_NONE; }

// A document of a format PAPPL has no filter for: only pages go through the
// driver, so it is refused (the job is aborted with this message).
bool RefuseRawFile(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) {
  papplJobSetMessage(job, "documents of type %s cannot be printed", papplJobGetFormat(job));
  return false;
}

// --- printer state from the printer's status answers ----------------------

pappl_preason_t ReasonsOf(kelo::cli::PrinterState state) {
  using kelo::cli::PrinterState;
  switch (state) {
    case PrinterState::kReady:
    case PrinterState::kNoAnswer:  // many printers never answer
      return PAPPL_PREASON_NONE;
    case PrinterState::kNotReady:
      return PAPPL_PREASON_OFFLINE;
    case PrinterState::kOutOfPaper:
      return PAPPL_PREASON_MEDIA_EMPTY;
    case PrinterState::kFault:
      return PAPPL_PREASON_OTHER;
    case PrinterState::kOutOfPaperAndFault:
      return PAPPL_PREASON_MEDIA_EMPTY | PAPPL_PREASON_OTHER;
  }
  return PAPPL_PREASON_OTHER;
}

// Asks the printer on `port` and sets the printer's reasons from the answer.
// Returns them. A port that cannot be opened is offline. Without `wait`, a
// printer that is printing keeps its reasons (nullopt): an IPP client's
// question does not wait for a job to end.
std::optional<pappl_preason_t> UpdateReasons(pappl_printer_t* printer, const std::u16string& port,
                                             bool wait = true) {
  std::unique_lock<std::mutex> lock(g_library, std::defer_lock);
  if (wait) {
    lock.lock();
  } else if (!lock.try_lock()) {
    return std::nullopt;
  }
  pappl_preason_t reasons = PAPPL_PREASON_NONE;
  kelo::cli::ServiceSession service;
  if (!service.Start()) {
    reasons = PAPPL_PREASON_OTHER;
  } else {
    const std::optional<kelo::cli::PrinterState> state = kelo::cli::AskBeforeJob(port);
    reasons = state ? ReasonsOf(*state) : static_cast<pappl_preason_t>(PAPPL_PREASON_OFFLINE);
  }
  service.Stop();
  lock.unlock();
  papplPrinterSetReasons(printer, reasons, kStatusReasons & ~reasons);
  return reasons;
}

std::optional<std::u16string> PrinterPort(pappl_printer_t* printer) {
  const char* uri = papplPrinterGetDeviceURI(printer);
  if (uri == nullptr) return std::nullopt;
  return kelo::server::PortOfUri(uri);
}

bool PrinterStatus(pappl_printer_t* printer) {
  if (const std::optional<std::u16string> port = PrinterPort(printer)) {
    UpdateReasons(printer, *port, false);
  }
  return true;
}

// --- the raster job ---------------------------------------------------------

std::optional<kelo::server::LineFormat> FormatOf(const cups_page_header2_t& header) {
  using kelo::server::LineFormat;
  switch (header.cupsColorSpace) {
    case CUPS_CSPACE_W:
    case CUPS_CSPACE_SW:
      if (header.cupsBitsPerPixel == 8) return LineFormat::kWhite8;
      break;
    case CUPS_CSPACE_K:
      if (header.cupsBitsPerPixel == 8) return LineFormat::kBlack8;
      if (header.cupsBitsPerPixel == 1) return LineFormat::kBlack1;
      break;
    case CUPS_CSPACE_RGB:
    case CUPS_CSPACE_SRGB:
      if (header.cupsBitsPerPixel == 24) return LineFormat::kRgb8;
      break;
    default:
      break;
  }
  return std::nullopt;
}

const HeadModel* HeadOf(pappl_job_t* job) {
  return kelo::server::FindHead(papplPrinterGetDriverName(papplJobGetPrinter(job)));
}

bool StartJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
  const auto* port = static_cast<DeviceData*>(papplDeviceGetData(device));
  // kelo-print's question before a job: a printer that reports a condition
  // gets no page; the reason stays on the printer, the job stops with it.
  const pappl_preason_t reasons = *UpdateReasons(papplJobGetPrinter(job), port->port);
  if (reasons & PAPPL_PREASON_MEDIA_EMPTY) {
    papplJobSetMessage(job, "the printer is out of paper");
    return false;
  }
  if (reasons != PAPPL_PREASON_NONE) {
    papplJobSetMessage(job, "the printer is not ready");
    return false;
  }
  papplJobSetData(job, NewJobData(papplJobGetPrinter(job)));
  return true;
}

bool StartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned) {
  auto* data = static_cast<JobData*>(papplJobGetData(job));
  if (data == nullptr) return false;
  const std::optional<kelo::server::LineFormat> format = FormatOf(options->header);
  if (!format) {
    papplJobSetMessage(job, "raster lines of %u bits a pixel in colour space %u are not supported",
                       options->header.cupsBitsPerPixel,
                       static_cast<unsigned>(options->header.cupsColorSpace));
    return false;
  }
  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "page of %u x %u pixels, %u bits a pixel",
              options->header.cupsWidth, options->header.cupsHeight,
              options->header.cupsBitsPerPixel);
  std::string error;
  if (!data->pages.StartPage(options->header.cupsWidth, options->header.cupsHeight, *format,
                             &error)) {
    papplJobSetMessage(job, "%s", error.c_str());
    return false;
  }
  return true;
}

bool WriteLine(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned y,
               const unsigned char* line) {
  auto* data = static_cast<JobData*>(papplJobGetData(job));
  if (data == nullptr) return false;
  data->pages.Line(y, line);
  return true;
}

bool EndPage(pappl_job_t*, pappl_pr_options_t*, pappl_device_t*, unsigned) { return true; }

bool EndJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  auto* data = static_cast<JobData*>(papplJobGetData(job));
  papplJobSetData(job, nullptr);
  if (data == nullptr) return false;
  const auto* port = static_cast<DeviceData*>(papplDeviceGetData(device));
  const HeadModel* head = HeadOf(job);
  std::string error;
  const std::optional<kelo::cli::Paper> paper =
      head == nullptr
          ? std::nullopt
          : kelo::server::PaperOfMedia(options->media.size_width, options->media.size_length,
                                       head->widthMm, &error);
  bool ok = false;
  if (papplJobIsCanceled(job)) {
    // A canceled job's pages so far are not printed.
  } else if (!paper) {
    papplJobSetMessage(job, "%s", head == nullptr ? "unknown driver" : error.c_str());
  } else if (data->pages.Pages().empty()) {
    papplJobSetMessage(job, "the job has no pages");
  } else {
    // The raster comes laid out on the media already (PAPPL or the client
    // turned a landscape document), so the driver prints it as it stands.
    kelo::cli::PageSettings page;
    page.paper = *paper;
    page.colour = head->colour && options->print_color_mode == PAPPL_COLOR_MODE_COLOR;
    page.draft = options->print_quality == IPP_QUALITY_DRAFT;
    kelo::cli::ImageJob imageJob;
    imageJob.devmode = kelo::cli::PageDevmode(kelo::engine::DefaultDevmode(&DrvEnableDriver), page);
    imageJob.port = port->port;
    // The raster is at the printer's resolution already: a pixel a dot.
    imageJob.fit = kelo::engine::FitMode::kNone;
    // StartJob asked the printer already, as kelo-print does before a job.
    imageJob.statusCheck = false;
    kelo::cli::JobOutcome outcome;
    {
      std::lock_guard<std::mutex> lock(g_library);
      kelo::emulator::SetJobPlanes(page.colour ? 4 : 1);  // what an emulated port decodes
      outcome = kelo::cli::PrintImagePages(data->pages.Pages(), imageJob);
    }
    ok = outcome.code == kelo::cli::kExitOk;
    if (!ok) {
      papplJobSetMessage(job, "%s", outcome.message.c_str());
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", outcome.message.c_str());
      if (outcome.code == kelo::cli::kExitNotReady) {
        UpdateReasons(papplJobGetPrinter(job), port->port);
      }
    }
  }
  FreeJobData(papplJobGetPrinter(job));
  return ok;
}

// --- drivers and the system -------------------------------------------------

void SetMedia(const char* name, pappl_media_col_t* media) {
  std::memset(media, 0, sizeof(*media));
  if (const pwg_media_t* size = pwgMediaForPWG(name)) {
    media->size_width = size->width;
    media->size_length = size->length;
  }
  std::strncpy(media->size_name, name, sizeof(media->size_name) - 1);
  std::strncpy(media->source, "main-roll", sizeof(media->source) - 1);
  std::strncpy(media->type, "continuous", sizeof(media->type) - 1);
  media->tracking = PAPPL_MEDIA_TRACKING_CONTINUOUS;
}

bool DriverSetup(pappl_system_t*, const char* driverName, const char*, const char*,
                 pappl_pr_driver_data_t* data, ipp_t**, void*) {
  const HeadModel* head = kelo::server::FindHead(driverName ? driverName : "");
  if (head == nullptr) return false;
  data->rstartjob_cb = StartJob;
  data->rstartpage_cb = StartPage;
  data->rwriteline_cb = WriteLine;
  data->rendpage_cb = EndPage;
  data->rendjob_cb = EndJob;
  data->status_cb = PrinterStatus;
  // No document is sent to the printer as it stands; PAPPL needs a format
  // of the printer's own all the same (it compares a job's format with it),
  // and does not offer this one to clients.
  data->format = "application/octet-stream";
  data->printfile_cb = RefuseRawFile;
  std::strncpy(data->make_and_model, head->description, sizeof(data->make_and_model) - 1);
  data->ppm = 10;
  data->kind = PAPPL_KIND_RECEIPT | PAPPL_KIND_ROLL;
  // 8-bit grey, and 8-bit sRGB on a colour head: what the driver's page
  // takes without PAPPL's own dither. Only these are offered, since a line's
  // format is known from PAPPL's page header, not the client's.
  data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME;
  data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
  if (head->colour) {
    data->raster_types |= PAPPL_PWG_RASTER_TYPE_SRGB_8;
    data->color_supported |= PAPPL_COLOR_MODE_COLOR;
    data->color_default = PAPPL_COLOR_MODE_AUTO;
  }
  data->content_default = PAPPL_CONTENT_AUTO;
  data->quality_default = IPP_QUALITY_NORMAL;
  data->scaling_default = PAPPL_SCALING_AUTO;
  data->orient_default = IPP_ORIENT_PORTRAIT;  // a receipt runs down the roll
  data->sides_supported = PAPPL_SIDES_ONE_SIDED;
  data->sides_default = PAPPL_SIDES_ONE_SIDED;
  data->num_resolution = 1;
  data->x_resolution[0] = data->y_resolution[0] = kelo::server::kResolutionDpi;
  data->x_default = data->y_default = kelo::server::kResolutionDpi;
  data->left_right = 0;
  data->bottom_top = 0;
  data->num_media = static_cast<int>(head->media.size());
  for (size_t i = 0; i < head->media.size(); ++i) data->media[i] = head->media[i].c_str();
  data->num_source = 1;
  data->source[0] = "main-roll";
  data->num_type = 1;
  data->type[0] = "continuous";
  data->tracking_supported = PAPPL_MEDIA_TRACKING_CONTINUOUS;
  SetMedia(head->media.front().c_str(), &data->media_default);
  data->media_ready[0] = data->media_default;
  return true;
}

std::string g_stateFile;

pappl_loglevel_t LogLevel(const char* text) {
  if (text == nullptr) return PAPPL_LOGLEVEL_WARN;
  const std::string level = text;
  if (level == "debug") return PAPPL_LOGLEVEL_DEBUG;
  if (level == "info") return PAPPL_LOGLEVEL_INFO;
  if (level == "error") return PAPPL_LOGLEVEL_ERROR;
  if (level == "fatal") return PAPPL_LOGLEVEL_FATAL;
  return PAPPL_LOGLEVEL_WARN;
}

bool SaveState(pappl_system_t* system, void*) {
  return papplSystemSaveState(system, g_stateFile.c_str());
}

// SIGTERM and SIGINT ask for the shutdown that the shutdown sub-command
// asks for: jobs end, the state is saved, the listeners are closed.
volatile std::sig_atomic_t g_stopRequested = 0;

void RequestStop(int) { g_stopRequested = 1; }

// PAPPL's main loop notices a shutdown only when it wakes, which without a
// timer may be half a minute later; a timer each second bounds its sleep and
// passes a signal's request on.
bool Tick(pappl_system_t* system, void*) {
  if (g_stopRequested) {
    g_stopRequested = 0;
    papplSystemShutdown(system);
  }
  return true;
}

std::vector<pappl_pr_driver_t>& Drivers() {
  static std::vector<pappl_pr_driver_t> drivers = [] {
    std::vector<pappl_pr_driver_t> list;
    for (const HeadModel& head : kelo::server::HeadModels()) {
      list.push_back({head.driverName, head.description, "MFG:kelo;MDL:thermal printer;", nullptr});
    }
    return list;
  }();
  return drivers;
}

// The server listens on the loopback address (or "listen-hostname"), on
// "server-port" (default 8631); its printers are kept in "state-file",
// by default kelo-server.state in the spool directory.
pappl_system_t* CreateSystem(int numOptions, cups_option_t* options, void*) {
  const char* portText = cupsGetOption("server-port", numOptions, options);
  const int port = portText != nullptr ? std::atoi(portText) : 8631;
  if (port < 1 || port > 65535) {
    std::fprintf(stderr, "kelo-server: server-port must be 1 to 65535\n");
    return nullptr;
  }
  const char* listen = cupsGetOption("listen-hostname", numOptions, options);
  const char* spool = cupsGetOption("spool-directory", numOptions, options);
  const char* logFile = cupsGetOption("log-file", numOptions, options);
  const char* stateFile = cupsGetOption("state-file", numOptions, options);
  if (stateFile != nullptr) {
    g_stateFile = stateFile;
  } else if (spool != nullptr) {
    g_stateFile = std::string(spool) + "/kelo-server.state";
  } else if (const char* home = std::getenv("HOME")) {
    g_stateFile = std::string(home) + "/.kelo-server.state";
  } else {
    g_stateFile = "kelo-server.state";
  }

  // Installed before the listeners exist: a SIGTERM from a client that saw
  // the port open asks for the shutdown even before PAPPL's own handler is
  // in place (Tick passes it on).
  std::signal(SIGTERM, RequestStop);
  std::signal(SIGINT, RequestStop);
  pappl_system_t* system =
      papplSystemCreate(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE, "kelo-server",
                        port, "_print,_universal", spool, logFile != nullptr ? logFile : "-",
                        LogLevel(cupsGetOption("log-level", numOptions, options)), nullptr, false);
  if (system == nullptr) return nullptr;
  if (!papplSystemAddListeners(system, listen != nullptr ? listen : "localhost")) {
    std::fprintf(stderr, "kelo-server: cannot listen on %s port %d\n",
                 listen != nullptr ? listen : "localhost", port);
    papplSystemDelete(system);
    return nullptr;
  }
  papplSystemSetPrinterDrivers(system, static_cast<int>(Drivers().size()), Drivers().data(),
                               nullptr, nullptr, DriverSetup, nullptr);
  papplSystemLoadState(system, g_stateFile.c_str());
  papplSystemSetSaveCallback(system, SaveState, nullptr);
  papplSystemAddTimerCallback(system, 0, 1, Tick, nullptr);
  return system;
}

}  // namespace

int main(int argc, char** argv) {
  // The library's diagnostics are kept from the log; the job's outcome says
  // what went wrong.
  kelo::host::StartDebugCapture();
  kelo::emulator::InstallEmulatorPorts();
  kelo::emulator::SetJobPlanes(1);
  papplDeviceAddScheme(kelo::server::kUriScheme, PAPPL_DEVTYPE_CUSTOM_LOCAL, ListPorts, OpenPort,
                       ClosePort, ReadPort, WritePort, PortStatus, nullptr);
  return papplMainloop(argc, argv, "0.1", nullptr, static_cast<int>(Drivers().size()),
                       Drivers().data(), nullptr, DriverSetup, nullptr, nullptr, CreateSystem,
                       nullptr, nullptr);
}
