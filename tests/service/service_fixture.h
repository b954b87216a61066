// Shared set-up of the service tests: the service loaded, port doubles
// registered, and small wrappers around KLP_IOControl.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/host/host_api.h"
#include "platform/platform.h"
#include "service/control_codes.h"
#include "service/service_state.h"
#include "service/stream_entry.h"
#include "tests/port/port_double.h"

namespace kelo::test {

// Polls `done` every 5 ms until it holds or `ms` have passed; false then.
inline bool WaitUntil(const std::function<bool()>& done, DWORD ms) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > ms) return false;
    Sleep(5);
  }
  return true;
}

inline constexpr const char16_t* kServiceKey = u"Drivers\\BuiltIn\\KLP";
inline constexpr DWORD kSentinelError = 0xC0FFEE;

// The wide name with its terminator, as a client passes it.
inline std::vector<BYTE> NameBytes(const std::u16string& name) {
  // The whole buffer from c_str(), terminator included: GCC 12 at -O3 sees
  // a false huge bound in a copy of size() characters.
  std::vector<BYTE> bytes((name.size() + 1) * sizeof(char16_t));
  std::memcpy(bytes.data(), name.c_str(), bytes.size());
  return bytes;
}

inline BOOL Control(DWORD code, const std::vector<BYTE>* in, BYTE* out = nullptr,
                    DWORD outLen = 0, DWORD* actual = nullptr) {
  return KLP_IOControl(1, code, in ? const_cast<BYTE*>(in->data()) : nullptr,
                       in ? static_cast<DWORD>(in->size()) : 0, out, outLen, actual);
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { kelo::host::StartDebugCapture(); }
  void TearDown() override {
    if (loaded_) KLP_Deinit(1);
    kelo::host::StopDebugCapture();
  }
  void Load() {
    ASSERT_EQ(KLP_Init(kServiceKey, nullptr), 1u);
    loaded_ = true;
  }

 public:
  // Opens by name with KLP_OPEN_QUIET (or `command`); returns the index, 0 on failure.
  static BYTE Open(const std::u16string& name, DWORD command = KLP_OPEN_QUIET) {
    const std::vector<BYTE> in = NameBytes(name);
    BYTE index = 0;
    DWORD actual = 0;
    if (!Control(command, &in, &index, 1, &actual)) return 0;
    EXPECT_EQ(actual, 1u);
    return index;
  }
  static BOOL Close(BYTE index) { return Control(KLP_CLOSE + index, nullptr); }
  static BOOL Write(BYTE index, const std::vector<BYTE>& data,
                    DWORD command = KLP_WRITE) {
    return Control(command + index, &data);
  }
  // Observation only, under the service's lock.
  static size_t OpenPortCount() {
    ServiceLock guard;
    return ServiceState.g_mapOpenPorts.size();
  }
  static int RefCount(BYTE index) {
    ServiceLock guard;
    const auto it = ServiceState.g_mapOpenPorts.find(index);
    return it == ServiceState.g_mapOpenPorts.end() ? 0 : it->second.refCount;
  }
  static std::vector<std::string> DebugLines() { return kelo::host::TakeDebugLines(); }

 private:
  bool loaded_ = false;
};

// The service with a serial double on "COM1:" and a parallel-class double
// on "LPT1:".
class SerialAndParallelTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    com1 = InstallPort(u"COM1:", PortDouble::Type::kSerial);
    lpt1 = InstallPort(u"LPT1:", PortDouble::Type::kParallel);
  }
  std::shared_ptr<PortDouble> com1, lpt1;
};

// The service loaded with serial doubles on "COM1:" and "COM2:" and a
// parallel-class double on "LPT1:", the status events open as an
// application opens them, and views of the monitor's state.
inline std::vector<BYTE> Statuses(const std::deque<StatusRecord>& queue) {
  std::vector<BYTE> bytes;
  for (const StatusRecord& r : queue) bytes.push_back(r.status);
  return bytes;
}

class MonitorTest : public SerialAndParallelTest {
 protected:
  void SetUp() override {
    SerialAndParallelTest::SetUp();
    com2 = InstallPort(u"COM2:", PortDouble::Type::kSerial);
    Load();
    // The same named events, as an application opens them.
    dataEvent = CreateEventW(nullptr, FALSE, FALSE, u"KELO_PRINTER_STATUS_DATA");
    timeoutEvent = CreateEventW(nullptr, FALSE, FALSE, u"KELO_PRINTER_STATUS_TIMEOUT");
    ASSERT_NE(dataEvent, nullptr);
    ASSERT_NE(timeoutEvent, nullptr);
  }
  void TearDown() override {
    ServiceTest::TearDown();
    CloseHandle(dataEvent);
    CloseHandle(timeoutEvent);
  }
  static void Post(UINT message, WPARAM w, LPARAM l) {
    ASSERT_TRUE(PostThreadMessageW(ServiceState.monitorThreadId.load(), message, w, l));
  }
  static std::vector<BYTE> Queue() {
    ServiceLock guard;
    return Statuses(ServiceState.statusQueue);
  }
  static std::vector<BYTE> History() {
    ServiceLock guard;
    return Statuses(ServiceState.statusHistory);
  }
  static BYTE MonitoredPort() {
    ServiceLock guard;
    return ServiceState.monitoredPort;
  }
  static bool MonitorRunning() { return ServiceState.monitorThread.load() != nullptr; }

  std::shared_ptr<PortDouble> com2;
  HANDLE dataEvent = nullptr;
  HANDLE timeoutEvent = nullptr;
};

}  // namespace kelo::test
