// A document of images printed as kelo-print prints it: the device service
// loaded for the job, the printer asked for its status first, the pages run
// through the driver by the engine stand-in, and the outcome put in words.
// kelo-print and kelo-server both print through here, so that the same
// images on the same settings give the same bytes at the port.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/image.h"
#include "engine/image_pages.h"
#include "engine/page_layout.h"
#include "platform/platform.h"
#include "tools/common/exit_codes.h"

namespace kelo::cli {

struct JobOutcome {
  ExitCode code = kExitOk;
  std::string message;  // one line for the user; empty on success
};

struct ImageJob {
  DEVMODEW devmode = {};  // see PageDevmode
  std::u16string port = u"LPT1:";
  kelo::engine::FitMode fit = kelo::engine::FitMode::kWidth;
  // Ask the printer for its status before the job: a printer that answers
  // with a condition gets no page; one that does not answer is printed to.
  bool statusCheck = true;
  // Called after every band handed to the driver: page (from 0), rows done, rows.
  std::function<void(int page, int rowsDone, int rows)> progress;
};

// Prints one image a page. The images must not be empty.
JobOutcome PrintImagePages(const std::vector<kelo::engine::RgbImage>& images, const ImageJob& job);

// Prints `pageCount` pages, page i's image read by `source` as the job goes,
// one page ahead of the driver on a second thread (see PagesAhead), so that
// at most one read image and one drawn page are held. An image that cannot
// be read ends the job at its page with kExitImage and the source's words:
// the pages before it are printed, nothing after it is read. The source
// should have been proven readable before (CheckImageFile), so that this is
// a rare case and not half a document of a bad file.
JobOutcome PrintImageSource(int pageCount, const kelo::engine::ImageSource& source,
                            const ImageJob& job);

}  // namespace kelo::cli
