// A stand-in for the device service "KLP1:" that records every control call
// the driver makes and answers them as scripted. Tests register it in the
// platform's device namespace; the driver reaches it exactly as it would
// reach the real service.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/host/host_api.h"

namespace kelo::test {

struct ControlCall {
  DWORD code = 0;
  std::vector<BYTE> input;  // empty when the caller gave no input
  bool hadInput = false;  // the input pointer was non-null
  DWORD outLen = 0;
  DWORD tick = 0;  // GetTickCount when the call arrived
};

class RecordingServiceDevice : public kelo::host::Device {
 public:
  // Answers KLP_OPEN with this index.
  BYTE portIndex = 1;

  // The next `times` calls of `command` (code with the index byte masked
  // off) fail with `error`; times < 0: every call from now on.
  void FailCommand(DWORD command, DWORD error, int times = -1);
  // Scripts a sequence of results for `command`: 0 = succeed, otherwise fail
  // with that error. Used up in order before FailCommand rules apply.
  void ScriptCommand(DWORD command, std::vector<DWORD> results);
  // The next write commands take only these many bytes each and, when that
  // is less than they carry, fail with ERROR_TIMEOUT reporting the count
  // taken, as a port that stopped taking data does. Writes() records what
  // was taken.
  void TakeOnly(std::vector<DWORD> counts);

  std::vector<ControlCall> Calls() const;
  std::vector<ControlCall> CallsOf(DWORD command) const;
  // The inputs of the accepted KLP_WRITE calls, in order, and concatenated.
  std::vector<std::vector<BYTE>> Writes() const;
  std::vector<BYTE> WrittenBytes() const;
  int opens() const;
  int closes() const;

  uintptr_t Open(DWORD access, DWORD share) override;
  BOOL Close(uintptr_t open) override;
  BOOL IoControl(uintptr_t open, DWORD code, BYTE* in, DWORD inLen, BYTE* out, DWORD outLen,
                 DWORD* returned) override;

 private:
  struct Rule {
    DWORD command;
    DWORD error;
    int times;
  };
  mutable std::mutex mutex_;
  std::vector<ControlCall> calls_;
  std::vector<std::vector<BYTE>> writes_;
  std::vector<Rule> rules_;
  std::vector<std::pair<DWORD, std::deque<DWORD>>> scripts_;
  std::deque<DWORD> takeOnly_;
  int opens_ = 0;
  int closes_ = 0;
};

// Registers a new recording device as "KLP1:" (replacing any registered
// one) and returns it.
std::shared_ptr<RecordingServiceDevice> InstallRecordingService();

// Hex dump for failure messages: "1B 67 00 ...".
std::string HexDump(const std::vector<BYTE>& bytes, size_t limit = 256);

}  // namespace kelo::test
