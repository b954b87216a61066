#include "tools/kelo-print/progress.h"

#include <unistd.h>

#include <cstdio>

namespace kelo::print {

Progress::Progress(int pages) : shown_(isatty(STDERR_FILENO) == 1), pages_(pages) {}

Progress::~Progress() { Done(); }

void Progress::Rows(int page, int rowsDone, int rows) {
  if (!shown_) return;
  std::fprintf(stderr, "\rkelo-print: page %d of %d, row %d of %d ", page + 1, pages_, rowsDone,
               rows);
  std::fflush(stderr);
  open_ = true;
}

void Progress::Done() {
  if (!open_) return;
  std::fputc('\n', stderr);
  open_ = false;
}

}  // namespace kelo::print
