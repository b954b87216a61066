// A job that prints images, one a page, each laid out on the paper's page.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/image.h"
#include "engine/page_layout.h"

namespace kelo::engine {

// The renderer for RunJob. It hooks `options.enabled` to learn the paper's
// page (the surface may be taller, see JobOptions::enabled) and draws image
// `page` of `images` on it; the surface below the paper stays white.
// `images` must outlive the job.
PageRenderer ImagePages(const std::vector<RgbImage>& images, FitMode fit, JobOptions& options);

// Reads the image of page `page` (from 0). On failure it returns false and
// `error` says why, in words for a user. Called on the drawing thread.
using ImageSource = std::function<bool(int page, RgbImage* image, std::string* error)>;

// Pages drawn one ahead on a second thread: while the driver prints page N,
// the image of the next page is read and drawn (scaled to the paper) into a
// page of its own, which the renderer copies into the engine's bitmap when
// that page is asked for. The next page is read only once the one before has
// been taken: at most one drawn page waits, so memory does not grow with the
// page count. The renderer draws as
// ImagePages does, bit for bit.
//
// The job asks for `sheets` pages (JobSheets) in the order RunJob does:
// pages 0 to pageCount - 1, again for every copy. A page that cannot be read
// is not drawn: the renderer throws PageUnavailable with the source's error
// when the job reaches it, so the pages before it print and none after it.
// A page the thread ran out of memory for throws std::bad_alloc there. A
// request out of that order (or for another surface size) stops the thread
// and the renderer reads and draws every page from then on itself.
//
// The thread starts at the first page asked for and is stopped and joined
// by the destructor, on every way out of the job.
class PagesAhead {
 public:
  PagesAhead(ImageSource source, int pageCount, int sheets, FitMode fit, JobOptions& options);
  ~PagesAhead();
  PagesAhead(const PagesAhead&) = delete;
  PagesAhead& operator=(const PagesAhead&) = delete;

  // The renderer for RunJob; valid while this object lives.
  PageRenderer Renderer();

 private:
  struct State;
  void Render(int page, int width, int height, uint8_t* bgr, size_t stride);
  void Stop();

  std::unique_ptr<State> state_;
  std::thread worker_;
};

}  // namespace kelo::engine
