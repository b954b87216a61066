#include "tools/kelo-print/print_job.h"

#include <string>
#include <vector>

#include "driver/hooks.h"
#include "engine/engine.h"
#include "engine/image_file.h"
#include "tools/common/default_port.h"
#include "tools/common/image_job.h"
#include "tools/kelo-print/progress.h"

namespace kelo::print {

std::u16string JobPort(const Options& options) { return kelo::cli::PortOrDefault(options.port); }

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

  kelo::cli::ImageJob job;
  job.devmode = JobDevmode(kelo::engine::DefaultDevmode(&DrvEnableDriver), options);
  job.port = JobPort(options);
  job.fit = options.fit;
  job.statusCheck = options.statusCheck;
  Progress progress(static_cast<int>(images.size()));
  job.progress = [&](int page, int rowsDone, int rows) { progress.Rows(page, rowsDone, rows); };
  const Outcome outcome = kelo::cli::PrintImagePages(images, job);
  progress.Done();
  return outcome;
}

}  // namespace kelo::print
