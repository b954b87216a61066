#include "tests/support/recording_device.h"

#include <algorithm>
#include <cstdio>

namespace kelo::test {

namespace {
constexpr DWORD kCommandMask = 0x00FFFF00;
constexpr DWORD kOpenCommand = 0x100;
constexpr DWORD kWriteCommand = 0x200;
}  // namespace

void RecordingServiceDevice::FailCommand(DWORD command, DWORD error, int times) {
  std::lock_guard lock(mutex_);
  rules_.push_back({command, error, times});
}

void RecordingServiceDevice::ScriptCommand(DWORD command, std::vector<DWORD> results) {
  std::lock_guard lock(mutex_);
  scripts_.emplace_back(command, std::deque<DWORD>(results.begin(), results.end()));
}

std::vector<ControlCall> RecordingServiceDevice::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<ControlCall> RecordingServiceDevice::CallsOf(DWORD command) const {
  std::lock_guard lock(mutex_);
  std::vector<ControlCall> result;
  for (const auto& call : calls_) {
    if ((call.code & kCommandMask) == command) result.push_back(call);
  }
  return result;
}

std::vector<std::vector<BYTE>> RecordingServiceDevice::Writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

std::vector<BYTE> RecordingServiceDevice::WrittenBytes() const {
  std::lock_guard lock(mutex_);
  std::vector<BYTE> all;
  for (const auto& write : writes_) all.insert(all.end(), write.begin(), write.end());
  return all;
}

int RecordingServiceDevice::opens() const {
  std::lock_guard lock(mutex_);
  return opens_;
}

int RecordingServiceDevice::closes() const {
  std::lock_guard lock(mutex_);
  return closes_;
}

uintptr_t RecordingServiceDevice::Open(DWORD, DWORD) {
  std::lock_guard lock(mutex_);
  ++opens_;
  return static_cast<uintptr_t>(opens_);
}

BOOL RecordingServiceDevice::Close(uintptr_t) {
  std::lock_guard lock(mutex_);
  ++closes_;
  return TRUE;
}

BOOL RecordingServiceDevice::IoControl(uintptr_t, DWORD code, BYTE* in, DWORD inLen, BYTE* out,
                                       DWORD outLen, DWORD* returned) {
  DWORD error = 0;
  {
    std::lock_guard lock(mutex_);
    ControlCall call;
    call.code = code;
    call.hadInput = in != nullptr;
    if (in != nullptr) call.input.assign(in, in + inLen);
    call.outLen = outLen;
    call.tick = GetTickCount();
    calls_.push_back(call);

    const DWORD command = code & kCommandMask;
    bool decided = false;
    for (auto& [scripted, results] : scripts_) {
      if (scripted == command && !results.empty()) {
        error = results.front();
        results.pop_front();
        decided = true;
        break;
      }
    }
    if (!decided) {
      for (auto& rule : rules_) {
        if (rule.command == command && rule.times != 0) {
          error = rule.error;
          if (rule.times > 0) --rule.times;
          break;
        }
      }
    }
    if (error == 0) {
      if (command == kOpenCommand && out != nullptr && outLen >= 1) {
        out[0] = portIndex;
        if (returned != nullptr) *returned = 1;
      }
      if (command == kWriteCommand && !takeOnly_.empty()) {
        const DWORD taken = std::min(takeOnly_.front(), inLen);
        takeOnly_.pop_front();
        if (returned != nullptr) *returned = taken;
        if (taken > 0) writes_.emplace_back(in, in + taken);
        if (taken < inLen) error = ERROR_TIMEOUT;
      } else if (command == kWriteCommand) {
        if (returned != nullptr) *returned = inLen;
        writes_.push_back(call.input);
      }
    }
  }
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

void RecordingServiceDevice::TakeOnly(std::vector<DWORD> counts) {
  std::lock_guard lock(mutex_);
  takeOnly_.assign(counts.begin(), counts.end());
}

std::shared_ptr<RecordingServiceDevice> InstallRecordingService() {
  auto device = std::make_shared<RecordingServiceDevice>();
  kelo::host::UnregisterDevice(u"KLP1:");
  kelo::host::RegisterDevice(u"KLP1:", device);
  return device;
}

std::string HexDump(const std::vector<BYTE>& bytes, size_t limit) {
  std::string text;
  const size_t shown = std::min(bytes.size(), limit);
  for (size_t i = 0; i < shown; ++i) {
    char cell[4];
    std::snprintf(cell, sizeof cell, "%02X", bytes[i]);
    if (i != 0) text += ' ';
    text += cell;
  }
  if (shown < bytes.size()) text += " ... (" + std::to_string(bytes.size()) + " bytes)";
  return text;
}

}  // namespace kelo::test
