// Progress on stderr, only when stderr is a terminal: one line, rewritten.
#pragma once

namespace kelo::print {

class Progress {
 public:
  explicit Progress(int pages);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Rows(int page, int rowsDone, int rows);
  // Ends the line, so that what follows starts on a fresh one.
  void Done();

 private:
  const bool shown_;
  const int pages_;
  bool open_ = false;  // a progress line is on the screen
};

}  // namespace kelo::print
