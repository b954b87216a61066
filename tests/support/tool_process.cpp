#include "tests/support/tool_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace kelo::test {

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

ToolRun RunTool(const ToolLaunch& launch) {
  ToolRun run;
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "KELO_REGISTRY=", 14) != 0) env.emplace_back(*e);
  }
  env.insert(env.end(), launch.environment.begin(), launch.environment.end());
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = {launch.binary};
  args.insert(args.end(), launch.arguments.begin(), launch.arguments.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const std::string outPath = launch.directory + "/tool-stdout.txt";
  const std::string errPath = launch.directory + "/tool-stderr.txt";
  int master = -1;
  std::string slaveName;
  if (launch.stderrIsTerminal) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128] = {};
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
      return run;
    }
    slaveName = name;
  }

  const pid_t child = fork();
  if (child < 0) return run;
  if (child == 0) {
    if (chdir(launch.directory.c_str()) != 0) _exit(126);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = launch.stderrIsTerminal ? open(slaveName.c_str(), O_RDWR | O_NOCTTY)
                                            : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }

  std::string terminal;
  int status = 0;
  for (;;) {
    if (master >= 0) {
      // Drained while the child runs, so that it never blocks on a full
      // terminal buffer.
      pollfd fd = {master, POLLIN, 0};
      if (poll(&fd, 1, 20) > 0 && (fd.revents & POLLIN) != 0) {
        char buffer[4096];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) terminal.append(buffer, static_cast<size_t>(n));
      }
    }
    const pid_t done = waitpid(child, &status, master >= 0 ? WNOHANG : 0);
    if (done == child) break;
    if (done < 0) return run;
  }
  if (master >= 0) {
    for (;;) {
      pollfd fd = {master, POLLIN, 0};
      if (poll(&fd, 1, 0) <= 0 || (fd.revents & POLLIN) == 0) break;
      char buffer[4096];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      terminal.append(buffer, static_cast<size_t>(n));
    }
    close(master);
  }
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadAll(outPath);
  run.err = launch.stderrIsTerminal ? terminal : ReadAll(errPath);
  return run;
}

namespace {

long long NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

RunningTool::RunningTool(const std::string& binary, const std::vector<std::string>& arguments) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) return;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::vector<std::string> all{binary};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  stdin_ = in[1];
  stdout_ = out[0];
  stderr_ = err[0];
}

RunningTool::~RunningTool() {
  CloseStdin();
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (stdout_ >= 0) close(stdout_);
  if (stderr_ >= 0) close(stderr_);
}

void RunningTool::CloseStdin() {
  if (stdin_ >= 0) close(stdin_);
  stdin_ = -1;
}

void RunningTool::Signal(int signal) const {
  if (pid_ > 0) kill(pid_, signal);
}

std::string RunningTool::ReadLine(int waitMs) {
  const long long deadline = NowMs() + waitMs;
  for (;;) {
    const size_t end = out_.find('\n');
    if (end != std::string::npos) {
      std::string line = out_.substr(0, end);
      out_.erase(0, end + 1);
      return line;
    }
    const long long left = deadline - NowMs();
    if (left <= 0 || !Pump(static_cast<int>(left))) return {};
  }
}

ToolRun RunningTool::Finish() {
  while (stdout_ >= 0 || stderr_ >= 0) Pump(5000);
  ToolRun run;
  int status = 0;
  if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) {
    reaped_ = true;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  run.out = out_;
  run.err = err_;
  return run;
}

bool RunningTool::Pump(int waitMs) {
  pollfd fds[2] = {{stdout_, POLLIN, 0}, {stderr_, POLLIN, 0}};
  if (poll(fds, 2, waitMs) <= 0) return false;
  bool any = false;
  for (int i = 0; i < 2; ++i) {
    if (fds[i].revents == 0) continue;
    int& fd = i == 0 ? stdout_ : stderr_;
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
      (i == 0 ? out_ : err_).append(chunk, static_cast<size_t>(n));
      any = true;
    } else {
      close(fd);
      fd = -1;
    }
  }
  return any || stdout_ >= 0 || stderr_ >= 0;
}

std::filesystem::path FreshTestDirectory(const std::string& prefix, std::string testName) {
  for (char& c : testName) {
    if (c == '/') c = '-';
  }
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    (prefix + testName + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace kelo::test
