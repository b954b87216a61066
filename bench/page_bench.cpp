// Whole pages from a decoded image to bytes at the port: the driver loaded
// through DrvEnableDriver, the engine stand-in's job runner laying the image
// out on the page (ImagePages), the device service "KLP1:" and a port mapped
// in Host\Ports to /dev/null, so the port itself costs a write(2) and nothing
// else (no emulated printer decoding the stream).
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKELO_BUILD_TESTS=OFF
//   cmake --build build-bench -j2 --target page_bench
//   build-bench/bin/page_bench --benchmark_repetitions=5
//
// Opening and closing the port holds fixed waits (about 150 ms each) that a
// page does not pay, so every iteration prints a job of kPages pages and a
// job of one page of the same image; the time of an iteration is the
// marginal wall time of a page, (t(kPages) - t(1)) / (kPages - 1).
//   Time         that marginal wall time per page (ms)
//   page_ms      the same, as a counter (a check on the manual time)
//   job1_ms      wall time of the one-page job (ms)
//   jobN_ms      wall time of the kPages-page job (ms); page_ms equals
//                (jobN_ms - job1_ms) / (kPages - 1)
//   cpu_page_ms  marginal CPU time per page of the whole process (ms), all
//                threads: the service's monitor and the port writes count
//   page_bytes   marginal bytes per page the service accepted for the port
// The CPU column of the table is the benchmark thread's CPU time of both
// jobs of an iteration; it is not a per-page figure.
// The registry is reset to its built-in content; KELO_REGISTRY is ignored
// apart from the settings the library reads while it loads.

#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/photo_image.h"
#include "driver/hooks.h"
#include "engine/engine.h"
#include "engine/image_pages.h"
#include "platform/host/host_api.h"
#include "tools/common/service_session.h"
#include "tools/kelo-print/options.h"
#include "tools/make-sample/sample_receipt.h"

namespace {

using kelo::engine::RgbImage;

constexpr int kPages = 31;  // pages of the long job of an iteration
constexpr int kIterations = 3;

const RgbImage& Receipt() {
  static const RgbImage image = kelo::sample::ToRgb(kelo::sample::DrawSampleReceipt());
  return image;
}

const RgbImage& Photo() {
  static const RgbImage image = kelo::bench::MakePhotoImage();
  return image;
}

double ProcessCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

struct JobTimes {
  double wallMs = 0;
  double cpuMs = 0;
  uint64_t bytes = 0;
  std::string failure;  // empty when every page reached the port
};

// Prints `pages` copies of images[0] as one document.
JobTimes PrintCopies(const std::vector<RgbImage>& images, const DEVMODEW& devmode, int pages,
                     const kelo::cli::ServiceSession& service) {
  kelo::engine::JobOptions job;
  job.devmode = devmode;
  job.port = u"LPT1:";
  const kelo::engine::PageRenderer first =
      kelo::engine::ImagePages(images, kelo::engine::FitMode::kWidth, job);
  const kelo::engine::PageRenderer render = [&first](int, int width, int height, uint8_t* bgr,
                                                     size_t stride) {
    first(0, width, height, bgr, stride);
  };
  const kelo::engine::ServiceCalls before = service.Calls();
  const double cpuStart = ProcessCpuMs();
  const auto start = std::chrono::steady_clock::now();
  const kelo::engine::JobResult result = kelo::engine::RunJob(&DrvEnableDriver, job, pages, render);
  const auto end = std::chrono::steady_clock::now();
  JobTimes times;
  times.cpuMs = ProcessCpuMs() - cpuStart;
  times.wallMs = std::chrono::duration<double, std::milli>(end - start).count();
  const kelo::engine::ServiceCalls after = service.Calls();
  times.bytes = after.bytesAccepted - before.bytesAccepted;
  // The driver's end of document does not report a refused write; the tap does.
  if (!result.ok) {
    times.failure = "job failed at " + result.failure + " (error " +
                    std::to_string(result.lastError) + ")";
  } else if (after.failedWrites != before.failedWrites) {
    times.failure = "the port refused " + std::to_string(after.failedWrites - before.failedWrites) +
                    " writes";
  } else if (result.pagesSent != pages || times.bytes == 0) {
    times.failure = std::to_string(result.pagesSent) + " of " + std::to_string(pages) +
                    " pages sent, " + std::to_string(times.bytes) + " bytes";
  }
  kelo::host::TakeDebugLines();  // the library's diagnostics are not printed while timing
  return times;
}

void BM_Page(benchmark::State& state, const RgbImage& (*image)(), const char* paper,
             bool colour) {
  kelo::host::StartDebugCapture();
  kelo::host::ResetRegistry();
  kelo::host::SetRegistryString(u"Host\\Ports", u"LPT1:", u"/dev/null");

  kelo::print::Options options;
  std::string error;
  const std::optional<kelo::print::Paper> parsed = kelo::print::ParsePaper(paper, &error);
  if (!parsed) {
    state.SkipWithError(error.c_str());
    return;
  }
  options.paper = *parsed;
  options.colour = colour;
  const DEVMODEW devmode =
      kelo::print::JobDevmode(kelo::engine::DefaultDevmode(&DrvEnableDriver), options);
  const std::vector<RgbImage> images = {image()};

  kelo::cli::ServiceSession service;
  if (!service.Start()) {
    state.SkipWithError("cannot load the device service");
    return;
  }
  double pageMs = 0, job1Ms = 0, jobNMs = 0, cpuPageMs = 0, pageBytes = 0;
  for (auto _ : state) {
    const JobTimes one = PrintCopies(images, devmode, 1, service);
    const JobTimes many = one.failure.empty() ? PrintCopies(images, devmode, kPages, service)
                                              : JobTimes{};
    const std::string& failure = one.failure.empty() ? many.failure : one.failure;
    if (!failure.empty()) {
      state.SkipWithError(failure.c_str());
      break;
    }
    const double marginalMs = (many.wallMs - one.wallMs) / (kPages - 1);
    state.SetIterationTime(marginalMs / 1e3);
    pageMs += marginalMs;
    job1Ms += one.wallMs;
    jobNMs += many.wallMs;
    cpuPageMs += (many.cpuMs - one.cpuMs) / (kPages - 1);
    pageBytes += static_cast<double>(many.bytes - one.bytes) / (kPages - 1);
  }
  service.Stop();
  kelo::host::StopDebugCapture();
  const auto average = benchmark::Counter::kAvgIterations;
  state.counters["page_ms"] = benchmark::Counter(pageMs, average);
  state.counters["job1_ms"] = benchmark::Counter(job1Ms, average);
  state.counters["jobN_ms"] = benchmark::Counter(jobNMs, average);
  state.counters["cpu_page_ms"] = benchmark::Counter(cpuPageMs, average);
  state.counters["page_bytes"] = benchmark::Counter(pageBytes, average);
}

}  // namespace

#define KELO_PAGE_BENCH(name, image, paper, colour)                        \
  BENCHMARK_CAPTURE(BM_Page, name, image, paper, colour)                  \
      ->UseManualTime()                                                   \
      ->Iterations(kIterations)                                           \
      ->Unit(benchmark::kMillisecond)

KELO_PAGE_BENCH(receipt_48x68_grey, Receipt, "48x68", false);
KELO_PAGE_BENCH(receipt_48x68_colour, Receipt, "48x68", true);
KELO_PAGE_BENCH(receipt_80x113_grey, Receipt, "80x113", false);
KELO_PAGE_BENCH(receipt_80x113_colour, Receipt, "80x113", true);
KELO_PAGE_BENCH(photo_48x68_grey, Photo, "48x68", false);
KELO_PAGE_BENCH(photo_48x68_colour, Photo, "48x68", true);
KELO_PAGE_BENCH(photo_80x113_grey, Photo, "80x113", false);
KELO_PAGE_BENCH(photo_80x113_colour, Photo, "80x113", true);
BENCHMARK_MAIN();
