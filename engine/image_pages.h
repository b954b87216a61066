// A job that prints images, one a page, each laid out on the paper's page.
#pragma once

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

}  // namespace kelo::engine
