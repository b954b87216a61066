#include "engine/image_pages.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <utility>

namespace kelo::engine {

namespace {

struct Paper {
  int width = 0;  // dots; 0 until the device is enabled
  int height = 0;
};

// Chains onto `options.enabled` to learn the paper's page.
std::shared_ptr<Paper> HookPaper(JobOptions& options) {
  auto paper = std::make_shared<Paper>();
  auto chained = std::move(options.enabled);
  options.enabled = [paper, chained](const GDIINFO& info) {
    paper->width = static_cast<int>(info.szlPhysSize.cx);
    paper->height = static_cast<int>(info.szlPhysSize.cy);
    if (chained) chained(info);
  };
  return paper;
}

// The part of a width x height surface the paper covers, in dots.
int PaperWidth(const Paper& paper, int width) {
  return paper.width > 0 ? std::min(paper.width, width) : width;
}
int PaperHeight(const Paper& paper, int height) {
  return paper.height > 0 ? std::min(paper.height, height) : height;
}

}  // namespace

PageRenderer ImagePages(const std::vector<RgbImage>& images, FitMode fit, JobOptions& options) {
  std::shared_ptr<Paper> paper = HookPaper(options);
  return [&images, fit, paper](int page, int width, int height, uint8_t* bgr, size_t stride) {
    if (page < 0 || static_cast<size_t>(page) >= images.size()) return;
    DrawImagePage(images[static_cast<size_t>(page)], fit, PaperWidth(*paper, width),
                  PaperHeight(*paper, height), bgr, stride);
  };
}

struct PagesAhead::State {
  ImageSource source;
  int pageCount = 0;
  int sheets = 0;
  FitMode fit = FitMode::kWidth;
  std::shared_ptr<Paper> paper;

  // Set by the renderer before the thread starts; the thread only reads them.
  int width = 0;  // the surface, as the renderer is handed it
  int height = 0;
  size_t stride = 0;
  int pageWidth = 0;  // the paper's part of it
  int pageHeight = 0;

  // The renderer's own.
  int nextSheet = 0;   // the sheet the thread has drawn or is drawing next
  bool ahead = true;   // false once the renderer draws every page itself

  std::mutex mutex;
  std::condition_variable changed;
  bool stop = false;  // the renderer asks the thread to end
  bool full = false;  // the slot holds the outcome of the next sheet
  // While `full` is false only the thread touches these, while it is true
  // only the renderer.
  std::vector<uint8_t> slot;  // a drawn page: stride x height bytes, top row first
  bool unreadable = false;    // the source failed; `error` says why
  std::string error;
  std::exception_ptr thrown;  // what reading or drawing threw

  // Each sheet is read and drawn only once the slot is free, that is once
  // the renderer has taken the one before: at most one page ahead.
  void Work() {
    for (int sheet = 0; sheet < sheets; ++sheet) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return stop || !full; });
        if (stop) return;
      }
      std::string why;
      std::exception_ptr failure;
      bool read = false;
      try {
        RgbImage image;  // freed once drawn: only the drawn page waits
        read = source(sheet % pageCount, &image, &why);
        if (read) DrawImagePage(image, fit, pageWidth, pageHeight, slot.data(), stride);
      } catch (...) {
        failure = std::current_exception();
        read = false;
      }
      std::lock_guard<std::mutex> lock(mutex);
      unreadable = !read && !failure;
      error = std::move(why);
      thrown = failure;
      full = true;
      changed.notify_all();
      if (!read) return;  // the job ends at this page
    }
  }
};

PagesAhead::PagesAhead(ImageSource source, int pageCount, int sheets, FitMode fit,
                       JobOptions& options)
    : state_(std::make_unique<State>()) {
  state_->source = std::move(source);
  state_->pageCount = pageCount;
  state_->sheets = pageCount > 0 ? sheets : 0;
  state_->fit = fit;
  state_->paper = HookPaper(options);
}

PagesAhead::~PagesAhead() { Stop(); }

PageRenderer PagesAhead::Renderer() {
  return [this](int page, int width, int height, uint8_t* bgr, size_t stride) {
    Render(page, width, height, bgr, stride);
  };
}

void PagesAhead::Stop() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stop = true;
  }
  state_->changed.notify_all();
  if (worker_.joinable()) worker_.join();
}

void PagesAhead::Render(int page, int width, int height, uint8_t* bgr, size_t stride) {
  State& s = *state_;
  const int pageWidth = PaperWidth(*s.paper, width);
  const int pageHeight = PaperHeight(*s.paper, height);
  if (s.ahead && !worker_.joinable() && s.nextSheet == 0 && s.sheets > 0) {
    s.width = width;
    s.height = height;
    s.stride = stride;
    s.pageWidth = pageWidth;
    s.pageHeight = pageHeight;
    // Pre-filled white: the thread draws only the paper's part.
    s.slot.assign(stride * static_cast<size_t>(height), 0xFF);
    try {
      worker_ = std::thread([&s] { s.Work(); });
    } catch (const std::system_error&) {
      s.ahead = false;  // no second thread to be had: every page is drawn here
    }
  }
  const bool expected = s.ahead && s.nextSheet < s.sheets &&
                        page == s.nextSheet % s.pageCount && width == s.width &&
                        height == s.height && stride == s.stride &&
                        pageWidth == s.pageWidth && pageHeight == s.pageHeight;
  if (!expected) {
    Stop();
    s.ahead = false;
    if (page < 0 || page >= s.pageCount) return;
    RgbImage image;
    std::string error;
    if (!s.source(page, &image, &error)) throw PageUnavailable(error);
    DrawImagePage(image, s.fit, pageWidth, pageHeight, bgr, stride);
    return;
  }
  ++s.nextSheet;
  std::unique_lock<std::mutex> lock(s.mutex);
  s.changed.wait(lock, [&s] { return s.full; });
  lock.unlock();
  // The thread ends after a failed page; the slot stays full.
  if (s.thrown) std::rethrow_exception(s.thrown);
  if (s.unreadable) throw PageUnavailable(s.error);
  std::copy(s.slot.begin(), s.slot.end(), bgr);
  lock.lock();
  s.full = false;
  lock.unlock();
  s.changed.notify_all();
}

}  // namespace kelo::engine
