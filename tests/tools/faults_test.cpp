// kelo-print against printers that fail the way real ones do, each a real
// object where one exists: a pseudo-terminal read slowly, or closed mid-job,
// a FIFO nobody reads, a port another process holds. Every scenario ends
// with its exit code and one line, within a bound, with nothing left
// running; where the printer took all the data, the bytes equal what the
// same job leaves in a capture file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/image.h"
#include "tests/engine/test_images.h"
#include "tests/support/tool_process.h"
#include "tools/kelo-print/options.h"
#include "tools/make-sample/sample_receipt.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using kelo::test::ToolRun;

// A failed flush gives up after two attempts of the 500 ms print time-out.
const char* const kDriverSettings = R"([HKEY_LOCAL_MACHINE\Drivers\BuiltIn\KLP]
"NumFlushRetries"=dword:00000002
)";

long long SecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
}

Bytes ReadBytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The printer's side of a pseudo-terminal: reads what the port sends at a
// set rate, up to a set count, then stops reading or hangs up.
class PtyPrinter {
 public:
  PtyPrinter() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128] = {};
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0 &&
        ptsname_r(master_, name, sizeof name) == 0) {
      path_ = name;
    }
  }
  ~PtyPrinter() {
    if (reader_.joinable()) reader_.join();
    if (master_ >= 0) ::close(master_);
  }
  PtyPrinter(const PtyPrinter&) = delete;
  PtyPrinter& operator=(const PtyPrinter&) = delete;

  const std::string& path() const { return path_; }

  // Reads `bytesPerSecond` (0: as fast as it comes) until `limit` bytes or
  // until the line has been quiet for `quietMs`; with `hangUp` the printer
  // then closes its side.
  void Start(size_t bytesPerSecond, size_t limit, int quietMs, bool hangUp) {
    reader_ = std::thread([=, this] {
      const auto start = Clock::now();
      BYTE chunk[96];
      while (received_.size() < limit) {
        pollfd in = {master_, POLLIN, 0};
        if (::poll(&in, 1, quietMs) <= 0) break;
        const size_t want = std::min(sizeof chunk, limit - received_.size());
        const ssize_t n = ::read(master_, chunk, want);
        if (n <= 0) break;  // EIO: the port side closed and all was read
        received_.insert(received_.end(), chunk, chunk + n);
        count_.store(received_.size());
        if (bytesPerSecond == 0) continue;
        // Paced: the n-th byte is read no sooner than n / rate seconds in.
        const auto due = start + std::chrono::milliseconds(received_.size() * 1000 / bytesPerSecond);
        std::this_thread::sleep_until(due);
      }
      if (hangUp) {
        ::close(master_);
        master_ = -1;
      }
    });
  }
  size_t Count() const { return count_.load(); }
  // Waits for the reader to stop and returns what it read.
  Bytes Received() {
    if (reader_.joinable()) reader_.join();
    return received_;
  }

 private:
  int master_ = -1;
  std::string path_;
  std::thread reader_;
  Bytes received_;  // the reader's until it is joined
  std::atomic<size_t> count_{0};
};

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           ("kelo-faults-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    // The sample receipt makes about 10 KB; a page of noise tens of
    // kilobytes, more than a pipe or a terminal buffers.
    ASSERT_TRUE(kelo::test::WriteFile(
        Path("small.png"),
        kelo::test::EncodeRgbPng(kelo::sample::ToRgb(kelo::sample::DrawSampleReceipt()))));
    ASSERT_TRUE(kelo::test::WriteFile(
        Path("large.png"), kelo::test::EncodeRgbPng(kelo::test::NoiseImage(640, 904, 3))));
  }
  void TearDown() override {
    if (!HasFailure()) std::filesystem::remove_all(dir_);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // Maps "COM1:" (or `name`) onto `target` and prints `image` there.
  ToolRun PrintTo(const std::string& target, const std::string& image,
                  const std::string& name = "COM1:",
                  const std::string& driverSettings = kDriverSettings,
                  const std::vector<std::string>& options = {}) const {
    const std::string registry = "ports-" + std::to_string(++runs_) + ".reg";
    std::ofstream(dir_ / registry) << "[HKEY_LOCAL_MACHINE\\Host\\Ports]\n\"" << name << "\"=\""
                                   << target << "\"\n"
                                   << driverSettings;
    kelo::test::ToolLaunch launch;
    launch.binary = KELO_PRINT_BINARY;
    launch.arguments = {"--registry", registry, "--port", name};
    launch.arguments.insert(launch.arguments.end(), options.begin(), options.end());
    launch.arguments.push_back(image);
    launch.directory = dir_.string();
    return kelo::test::RunTool(launch);
  }

  // What the same job leaves in a capture file.
  Bytes Reference(const std::string& image, const std::vector<std::string>& options = {}) const {
    const std::string capture = "reference-" + image + ".bin";
    const ToolRun run = PrintTo(capture, image, "LPT3:", kDriverSettings, options);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return ReadBytes(dir_ / capture);
  }

  std::filesystem::path dir_;
  mutable std::atomic<int> runs_{0};  // PrintTo may run on two threads at once
};

void ExpectOneLine(const ToolRun& run, const std::string& part) {
  EXPECT_NE(run.err.find(part), std::string::npos) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
}

// Printers of the emulator's fault options, in this process's child: one
// that takes nothing, one that takes a write in pieces with time-outs in
// between, one unplugged mid-job.
TEST_F(Faults, EmulatedFaultsEndWithTheirCodeOrPrintEveryByteOnce) {
  struct Case {
    const char* name;
    const char* options;
    int exitCode;
    const char* says;  // part of the one line; empty: the job prints
  };
  const Case cases[] = {
      {"takes nothing", "takenothing", kelo::print::kExitWrite,
       "nothing was taken within the print time-out (1460)"},
      // One byte, nothing, five bytes, nothing, then everything: each retry
      // resumes where the printer stopped, so no byte arrives twice.
      {"short writes", "chunks=1/0/5/0", 0, ""},
      // The start-up block, then part of the page, then the printer is gone.
      {"unplugged mid-job", "chunks=1000000/4000,vanish=2", kelo::print::kExitWrite,
       "the printer was disconnected (1226)"},
  };
  // The job's bytes only: the status question before a job is written once,
  // without retries, and a printer taking writes in pieces would keep only
  // part of it.
  const std::vector<std::string> jobOnly = {"--no-status-check"};
  const Bytes reference = Reference("small.png", jobOnly);
  const std::string retries = "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\KLP]\n"
                              "\"NumFlushRetries\"=dword:0000000b\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string capture = std::string("fault-") + std::to_string(&c - cases) + ".bin";
    const auto start = Clock::now();
    const ToolRun run = PrintTo(std::string("emulator:capture=") + capture + "," + c.options,
                                "small.png", "LPT1:", retries, jobOnly);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_LT(SecondsSince(start), 20);
    if (c.exitCode == 0) {
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(ReadBytes(dir_ / capture), reference);
    } else {
      ExpectOneLine(run, c.says);
    }
  }
}

// A slow printer (2400 bytes a second, a 24000-baud line) still reads the
// last bytes after the program ended, and every byte is there.
TEST_F(Faults, ASlowSerialPrinterGetsEveryByteAfterTheProgramEnded) {
  PtyPrinter printer;
  ASSERT_FALSE(printer.path().empty());
  const Bytes reference = Reference("small.png");
  ASSERT_GT(reference.size(), 5000u);
  printer.Start(2400, reference.size(), 5000, false);
  const auto start = Clock::now();
  const ToolRun run = PrintTo(printer.path(), "small.png");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(printer.Received(), reference);
  EXPECT_LT(SecondsSince(start), 30);
}

// The printer reads 2 KB and is switched off: the job ends with the write
// code and how much went out, in bounded time.
TEST_F(Faults, ASerialPrinterSwitchedOffMidJobEndsTheJob) {
  PtyPrinter printer;
  ASSERT_FALSE(printer.path().empty());
  printer.Start(0, 2048, 5000, true);
  const auto start = Clock::now();
  const ToolRun run = PrintTo(printer.path(), "large.png");
  EXPECT_EQ(run.exitCode, kelo::print::kExitWrite) << run.err;
  ExpectOneLine(run, "did not take the data");
  EXPECT_LT(SecondsSince(start), 20);
  EXPECT_EQ(printer.Received().size(), 2048u);
}

// A FIFO without a reader is a printer that is not there; one whose reader
// stopped reading takes what the pipe holds, then nothing: the write
// time-out ends the job.
TEST_F(Faults, AFifoWithoutAReaderOrWhoseReaderStoppedEndsTheJob) {
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  const ToolRun absent = PrintTo(Path("fifo"), "small.png", "LPT4:");
  EXPECT_EQ(absent.exitCode, kelo::print::kExitPort) << absent.err;
  ExpectOneLine(absent, "nobody reads the other end of the port (232)");

  const int reader = ::open(Path("fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const auto start = Clock::now();
  const ToolRun stuck = PrintTo(Path("fifo"), "large.png", "LPT4:");
  EXPECT_EQ(stuck.exitCode, kelo::print::kExitWrite) << stuck.err;
  ExpectOneLine(stuck, "nothing was taken within the print time-out (1460)");
  EXPECT_LT(SecondsSince(start), 20);
  ::close(reader);
}

// Two programs on one port: the second is refused while the first prints,
// and the first one's job arrives whole.
TEST_F(Faults, ASecondProgramOnABusyPortIsRefused) {
  PtyPrinter printer;
  ASSERT_FALSE(printer.path().empty());
  const Bytes reference = Reference("large.png");
  ASSERT_GT(reference.size(), 40000u);
  // At 20 KB a second the first job holds the line for a few seconds.
  printer.Start(20000, reference.size(), 5000, false);
  ToolRun first;
  std::thread firstJob([&] { first = PrintTo(printer.path(), "large.png"); });
  const auto start = Clock::now();
  while (printer.Count() == 0 && SecondsSince(start) < 20) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const ToolRun second = PrintTo(printer.path(), "small.png");
  firstJob.join();
  EXPECT_EQ(first.exitCode, 0) << first.err;
  EXPECT_EQ(second.exitCode, kelo::print::kExitPort) << second.err;
  ExpectOneLine(second, "the port is in use");
  EXPECT_EQ(printer.Received(), reference);
}

}  // namespace

// A file that read well when the job was checked and is damaged while the
// job prints (a real file, overwritten while the first page is still going
// out; the job reads it when the second page goes to the driver): the pages
// before it are printed and the document closed, nothing of it or after it,
// and the line names it as an unreadable file does.
TEST_F(Faults, AnImageDamagedDuringTheJobEndsItAtItsPage) {
  std::filesystem::copy_file(dir_ / "large.png", dir_ / "late.png");
  const std::vector<std::string> before = {"large.png", "large.png"};
  const Bytes reference = Reference("large.png", before);  // the three pages before it
  ASSERT_GT(reference.size(), 40000u);
  PtyPrinter printer;
  ASSERT_FALSE(printer.path().empty());
  printer.Start(100000, 4 * reference.size(), 5000, false);
  ToolRun run;
  std::thread job([&] {
    run = PrintTo(printer.path(), "large.png", "COM1:", kDriverSettings,
                  {"large.png", "large.png", "large.png", "late.png"});
  });
  const auto start = Clock::now();
  while (printer.Count() == 0 && SecondsSince(start) < 20) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::ofstream(dir_ / "late.png", std::ios::trunc) << "no longer an image";
  job.join();
  EXPECT_EQ(run.exitCode, kelo::print::kExitImage) << run.err;
  ExpectOneLine(run, "cannot read late.png: not a PNG or JPEG image");
  EXPECT_EQ(printer.Received(), reference);
}
