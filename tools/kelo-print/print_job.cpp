#include "tools/kelo-print/print_job.h"

#include <atomic>
#include <exception>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "driver/hooks.h"
#include "engine/engine.h"
#include "engine/image_file.h"
#include "tools/common/default_port.h"
#include "tools/common/image_job.h"
#include "tools/kelo-print/progress.h"

namespace kelo::print {

namespace {

// Why `path` cannot be printed, as the user is told.
std::string Unreadable(const std::string& path, const std::string& error) {
  return "cannot read " + path + ": " + error;
}

// Every image is proven readable before the printer hears of the job, so
// that a bad file never leaves half a document on paper. The check decodes
// without keeping the pixels; the job reads each image again as it prints,
// one page ahead, so memory does not grow with the page count. Two threads
// share the checking; the answer is the first unreadable file in the command
// line's order, as if one had checked them all in turn. The first image,
// which the job needs at once, is decoded in full and kept in `first`, so
// that a one-page job reads its file once.
std::optional<Outcome> UnreadableImage(const std::vector<std::string>& files,
                                       kelo::engine::RgbImage* first) {
  std::atomic<size_t> next{0};
  std::atomic<size_t> firstBad{files.size()};
  std::vector<std::string> errors(files.size());  // each written by the thread that checked it
  std::exception_ptr thrown;                       // the second thread's
  auto check = [&] {
    for (size_t i = next++; i < files.size() && i < firstBad.load(); i = next++) {
      const bool read = i == 0 ? kelo::engine::LoadImageFile(files[i], first, &errors[i])
                               : kelo::engine::CheckImageFile(files[i], &errors[i]);
      if (read) continue;
      size_t bad = firstBad.load();
      while (i < bad && !firstBad.compare_exchange_weak(bad, i)) {
      }
    }
  };
  std::thread second;
  if (files.size() > 1) {
    try {
      second = std::thread([&] {
        try {
          check();
        } catch (...) {
          thrown = std::current_exception();
          firstBad = 0;  // the first thread stops too
        }
      });
    } catch (const std::system_error&) {
      // No second thread to be had: one checks them all.
    }
  }
  try {
    check();
  } catch (...) {
    firstBad = 0;
    if (second.joinable()) second.join();
    throw;
  }
  if (second.joinable()) second.join();
  if (thrown) std::rethrow_exception(thrown);
  const size_t bad = firstBad.load();
  if (bad == files.size()) return std::nullopt;
  return Outcome{kExitImage, Unreadable(files[bad], errors[bad])};
}

}  // namespace

std::u16string JobPort(const Options& options) { return kelo::cli::PortOrDefault(options.port); }

Outcome PrintImages(const Options& options) {
  kelo::engine::RgbImage first;
  if (std::optional<Outcome> unreadable = UnreadableImage(options.images, &first)) {
    return *unreadable;
  }
  const int pageCount = static_cast<int>(options.images.size());

  kelo::cli::ImageJob job;
  job.devmode = JobDevmode(kelo::engine::DefaultDevmode(&DrvEnableDriver), options);
  job.port = JobPort(options);
  job.fit = options.fit;
  job.statusCheck = options.statusCheck;
  Progress progress(pageCount);
  job.progress = [&](int page, int rowsDone, int rows) { progress.Rows(page, rowsDone, rows); };
  const std::vector<std::string>& files = options.images;
  const Outcome outcome = kelo::cli::PrintImageSource(
      pageCount,
      [&files, &first](int page, kelo::engine::RgbImage* image, std::string* error) {
        if (page == 0 && !first.rgb.empty()) {  // the first read of the first page
          *image = std::move(first);
          first = kelo::engine::RgbImage();
          return true;
        }
        const std::string& path = files[static_cast<size_t>(page)];
        std::string why;
        if (kelo::engine::LoadImageFile(path, image, &why)) return true;
        *error = Unreadable(path, why);
        return false;
      },
      job);
  progress.Done();
  return outcome;
}

}  // namespace kelo::print
