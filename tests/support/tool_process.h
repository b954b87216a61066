// The project's programs as child processes, for the tests that run them as
// a user would: RunTool runs one to its end in a directory of its own, with
// its output kept in files there; RunningTool keeps one running (a printer
// on a pseudo-terminal) and talks to it through pipes.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace kelo::test {

struct ToolRun {
  int exitCode = -1;  // -1: it did not exit normally
  std::string out;
  std::string err;
};

struct ToolLaunch {
  std::string binary;
  std::vector<std::string> arguments;
  std::string directory;                // working directory
  std::vector<std::string> environment;  // NAME=VALUE added; KELO_REGISTRY is removed first
  bool stderrIsTerminal = false;         // stderr on a pseudo-terminal
};

ToolRun RunTool(const ToolLaunch& launch);

// A new, empty directory under the system's temporary directory for one
// test: `prefix`, the test's name ("Suite-Name", slashes made dashes) and
// this process's id.
std::filesystem::path FreshTestDirectory(const std::string& prefix, std::string testName);

// A running program with pipes on its standard streams, in the current
// directory and environment. Killed and reaped if still running when
// destroyed.
class RunningTool {
 public:
  RunningTool(const std::string& binary, const std::vector<std::string>& arguments);
  ~RunningTool();
  RunningTool(const RunningTool&) = delete;
  RunningTool& operator=(const RunningTool&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void CloseStdin();
  void Signal(int signal) const;
  // The next line of standard output without its newline; empty when none
  // came within `waitMs`.
  std::string ReadLine(int waitMs);
  // Everything else until the program ends, and how it ended.
  ToolRun Finish();

 private:
  // Reads what is there on either stream; false when both are closed or
  // nothing came in `waitMs`.
  bool Pump(int waitMs);

  pid_t pid_ = -1;
  bool reaped_ = false;
  int stdin_ = -1, stdout_ = -1, stderr_ = -1;
  std::string out_, err_;
};

}  // namespace kelo::test
