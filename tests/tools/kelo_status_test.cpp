// kelo-status end to end: the program runs as its own process against
// emulated printers (in its process, through the registry) and against a
// printer on a pseudo-terminal in a second process.

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/tool_process.h"
#include "tools/common/exit_codes.h"

using kelo::test::ToolRun;
using namespace kelo::cli;

namespace {

// Each printer answers as its options say; the answer delay of LPT7: sets
// the race between the printer and the time-out, not the test's clock.
const char* const kPorts = R"([HKEY_LOCAL_MACHINE\Host\Ports]
"LPT1:"="emulator:capture=ready.bin"
"LPT2:"="emulator:status=0x88"
"LPT3:"="emulator:status=0x82"
"LPT4:"="emulator:status=0x84"
"LPT5:"="emulator:status=0x86"
"LPT6:"="emulator:silent"
"LPT7:"="emulator:status=0x82,delay=1500"
"LPT8:"="emulator:status=0x03"
"COM2:"="emulator:kind=serial,status=0x8A"
"LPT9:"="no-such-directory/x.bin"
)";

class KeloStatus : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = kelo::test::FreshTestDirectory(
        "kelo-status-", std::string(info->test_suite_name()) + "-" + info->name());
    WriteRegistry(kPorts);
  }
  void TearDown() override {
    if (!HasFailure()) std::filesystem::remove_all(dir_);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void WriteRegistry(const std::string& text) const { std::ofstream(dir_ / "test.reg") << text; }

  ToolRun Status(const std::vector<std::string>& args) const {
    kelo::test::ToolLaunch launch;
    launch.binary = KELO_STATUS_BINARY;
    launch.arguments = {"--registry", "test.reg"};
    launch.arguments.insert(launch.arguments.end(), args.begin(), args.end());
    launch.directory = dir_.string();
    return kelo::test::RunTool(launch);
  }

  std::filesystem::path dir_;
};

struct Case {
  const char* name;
  std::vector<std::string> args;
  int code;
  const char* out;  // the line on stdout; none when the run fails
  const char* err;  // a part of the one line on stderr; empty when none
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class StatusCase : public KeloStatus, public ::testing::WithParamInterface<Case> {};

TEST_P(StatusCase, SaysTheStateAndEndsWithItsCode) {
  const Case& c = GetParam();
  const ToolRun run = Status(c.args);
  EXPECT_EQ(run.exitCode, c.code) << run.out << run.err;
  EXPECT_EQ(run.out, c.out[0] != 0 ? std::string(c.out) + "\n" : std::string());
  if (c.err[0] == 0) {
    EXPECT_EQ(run.err, "");
  } else {
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Printers, StatusCase,
    ::testing::Values(
        Case{"Ready", {"--port", "LPT1:"}, kExitOk, "LPT1: ready", ""},
        Case{"NotReady", {"--port", "LPT2:"}, kExitNotReady, "LPT2: not ready", ""},
        Case{"OutOfPaper", {"--port", "LPT3:"}, kExitNotReady, "LPT3: out of paper", ""},
        Case{"Fault", {"--port", "LPT4:"}, kExitNotReady,
             "LPT4: reporting a fault (status bit 2)", ""},
        Case{"OutOfPaperAndFault", {"--port", "LPT5:"}, kExitNotReady,
             "LPT5: out of paper and reporting a fault", ""},
        // Bits 3 and 1 together: the service's walk lets bit 1 decide.
        Case{"NotReadyAndOutOfPaperOnASerialLine", {"--port", "COM2:"}, kExitNotReady,
             "COM2: out of paper", ""},
        Case{"Silent", {"--port", "LPT6:", "--timeout", "200"}, kExitNoAnswer,
             "LPT6: not answering within 200 ms", ""},
        Case{"AnswerAfterTheTimeOut", {"--port", "LPT7:", "--timeout", "100"}, kExitNoAnswer,
             "LPT7: not answering within 100 ms", ""},
        Case{"AnswerWithinTheTimeOut", {"--port", "LPT7:", "--timeout", "5000"}, kExitNotReady,
             "LPT7: out of paper", ""},
        Case{"AByteWithoutStatus", {"--port", "LPT8:", "--timeout", "300"}, kExitNoAnswer,
             "LPT8: not answering within 300 ms", ""},
        Case{"UnmappedPort", {"--port", "COM9:"}, kExitPort, "",
             "cannot open the printer port \"COM9:\""},
        Case{"PortTargetMissing", {"--port", "LPT9:"}, kExitPort, "", "\"LPT9:\""},
        Case{"TimeoutBeyond16Bits", {"--timeout", "65536"}, kExitUsage, "", "0 to 65535"},
        Case{"TimeoutNotANumber", {"--timeout", "1s"}, kExitUsage, "", "--timeout"},
        Case{"UnknownOption", {"--paper", "80x113"}, kExitUsage, "", "unknown option --paper"},
        Case{"ResetAndWatch", {"--reset", "--watch"}, kExitUsage, "", "do not go together"},
        Case{"MissingRegistry", {"--registry", "missing.reg"}, kExitUsage, "", "missing.reg"},
        Case{"ResetByCommand", {"--port", "LPT1:", "--reset"}, kExitOk, "LPT1: reset sent", ""},
        Case{"ResetByRtsOnASerialLine", {"--port", "COM2:", "--reset", "--rts"}, kExitOk,
             "COM2: reset by RTS pulse", ""},
        Case{"ResetByRtsWithoutALine", {"--port", "LPT1:", "--reset", "--rts"}, kExitInternal, "",
             "cannot reset the printer on \"LPT1:\" by RTS"},
        Case{"ResetOfAPortThatCannotOpen", {"--port", "COM9:", "--reset"}, kExitPort, "",
             "cannot open the printer port \"COM9:\""}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

TEST_F(KeloStatus, AResetByCommandSendsEscAtToThePrinter) {
  const ToolRun run = Status({"--port", "LPT1:", "--reset"});
  ASSERT_EQ(run.exitCode, kExitOk) << run.err;
  std::ifstream capture(dir_ / "ready.bin", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(capture)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, std::string("\x1B\x40", 2));
}

// "2026-12-09 03:20:01": digits where the pattern has 'd'.
bool IsTimeStamp(const std::string& text) {
  const std::string pattern = "dddd-dd-dd dd:dd:dd";
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (pattern[i] == 'd' ? !digit : text[i] != pattern[i]) return false;
  }
  return true;
}

TEST_F(KeloStatus, VerboseListsEveryStatusByteWithItsTime) {
  const ToolRun run = Status({"--port", "LPT3:", "--verbose"});
  ASSERT_EQ(run.exitCode, kExitNotReady) << run.err;
  const std::string record = "  0x82  out of paper\n";
  ASSERT_GT(run.out.size(), 19u) << run.out;
  EXPECT_TRUE(IsTimeStamp(run.out.substr(0, 19))) << run.out;
  EXPECT_EQ(run.out.substr(19), record + "LPT3: out of paper\n");
}

TEST_F(KeloStatus, JsonIsOneObjectForScripts) {
  const ToolRun paper = Status({"--port", "LPT3:", "--json"});
  EXPECT_EQ(paper.exitCode, kExitNotReady);
  const std::string head =
      R"({"port":"LPT3:","state":"out-of-paper","words":"out of paper","code":28,"exit":6,)"
      R"("records":[{"time":")";
  const std::string tail = R"(","status":130}]})" "\n";
  ASSERT_EQ(paper.out.size(), head.size() + 19 + tail.size()) << paper.out;
  EXPECT_EQ(paper.out.substr(0, head.size()), head);
  EXPECT_TRUE(IsTimeStamp(paper.out.substr(head.size(), 19))) << paper.out;
  EXPECT_EQ(paper.out.substr(head.size() + 19), tail);

  const ToolRun missing = Status({"--port", "LPT\"9", "--json"});
  EXPECT_EQ(missing.exitCode, kExitPort);
  EXPECT_EQ(missing.out.rfind(R"({"port":"LPT\"9","state":"error","error":"cannot open)", 0), 0u)
      << missing.out;
  EXPECT_NE(missing.out.find(R"("exit":5})"), std::string::npos) << missing.out;
}

// Across processes: the printer on a pseudo-terminal, kelo-status watching
// it as a serial port. The watch prints a line at a change only, survives the
// printer going away, and ends cleanly on SIGINT, leaving nothing behind:
// its output pipes close (no process of its own outlives it) and the line
// can be opened again.
TEST_F(KeloStatus, WatchPrintsChangesAndEndsCleanlyOnSigint) {
  auto printer = std::make_unique<kelo::test::RunningTool>(
      KELO_EMULATE_BINARY, std::vector<std::string>{"--pty", "--status", "0x82"});
  ASSERT_TRUE(printer->started());
  const std::string pty = printer->ReadLine(10000);
  ASSERT_FALSE(pty.empty()) << "no pseudo-terminal path";
  WriteRegistry(std::string("[HKEY_LOCAL_MACHINE\\Host\\Ports]\n\"COM1:\"=\"") + pty + "\"\n");

  const std::string registry = Path("test.reg");
  kelo::test::RunningTool watch(KELO_STATUS_BINARY,
                                {"--registry", registry, "--port", "COM1:", "--watch",
                                 "--verbose", "--timeout", "200"});
  ASSERT_TRUE(watch.started());
  // Every round lists the byte it got; the state line comes at the first
  // round only.
  std::vector<std::string> lines;
  int rounds = 0;
  while (rounds < 3) {
    const std::string line = watch.ReadLine(10000);
    ASSERT_FALSE(line.empty()) << "watch went quiet after " << rounds << " rounds";
    if (line.find("0x82  out of paper") != std::string::npos) {
      ++rounds;
    } else {
      lines.push_back(line);
    }
  }
  EXPECT_EQ(lines, std::vector<std::string>{"COM1: out of paper"});

  printer->Signal(SIGTERM);
  EXPECT_EQ(printer->Finish().exitCode, 0);
  printer.reset();
  std::string changed;
  while (changed.empty() || changed.find("0x82") != std::string::npos) {
    changed = watch.ReadLine(10000);
    ASSERT_FALSE(changed.empty()) << "no line after the printer went away";
  }
  EXPECT_NE(changed, "COM1: out of paper");

  watch.Signal(SIGINT);
  const ToolRun ended = watch.Finish();
  EXPECT_EQ(ended.exitCode, 0) << ended.err;

  // The same line, served again, opens for the next client.
  kelo::test::RunningTool again(KELO_EMULATE_BINARY, {"--pty"});
  const std::string second = again.ReadLine(10000);
  ASSERT_FALSE(second.empty());
  WriteRegistry(std::string("[HKEY_LOCAL_MACHINE\\Host\\Ports]\n\"COM1:\"=\"") + second + "\"\n");
  const ToolRun once = Status({"--port", "COM1:"});
  EXPECT_EQ(once.exitCode, kExitOk) << once.err;
  EXPECT_EQ(once.out, "COM1: ready\n");
  again.CloseStdin();
  EXPECT_EQ(again.Finish().exitCode, 0);
}

// True once the process catches `signal` (its handler is installed), as
// /proc shows it.
bool Catches(pid_t pid, int signal) {
  for (int attempt = 0; attempt < 2000; ++attempt) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("SigCgt:", 0) != 0) continue;
      const unsigned long long caught = std::stoull(line.substr(7), nullptr, 16);
      if ((caught >> (signal - 1) & 1) != 0) return true;
    }
    usleep(5000);
  }
  return false;
}

TEST_F(KeloStatus, SigtermEndsAWatchOnASilentPrinterMidWait) {
  kelo::test::RunningTool watch(KELO_STATUS_BINARY, {"--registry", Path("test.reg"), "--port",
                                                     "LPT6:", "--watch", "--timeout", "60000"});
  ASSERT_TRUE(watch.started());
  ASSERT_TRUE(Catches(watch.pid(), SIGTERM));
  // Nothing is printed while the first minute-long wait runs; the signal
  // ends it without a line.
  watch.Signal(SIGTERM);
  const ToolRun ended = watch.Finish();
  EXPECT_EQ(ended.exitCode, 0) << ended.err;
  EXPECT_EQ(ended.out, "");
}

TEST_F(KeloStatus, HelpListsTheExitCodes) {
  const ToolRun run = Status({"--help"});
  EXPECT_EQ(run.exitCode, 0);
  for (const char* line : {"usage: kelo-status", "--watch", "--reset", "--rts", "0  ready",
                           "5  the printer port cannot be opened", "6  the printer is not ready",
                           "8  no answer within the time-out", "9  reset refused"}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line;
  }
}

}  // namespace
