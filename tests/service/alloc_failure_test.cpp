// Allocation failures inside the service and the port opener. The global
// allocation functions are replaced here: while a test arms them, the n-th
// allocation made by code of this executable (the library's code and the
// templates it instantiates) on the arming thread fails. Allocations of the
// platform library are never failed, so only the service's own handling is
// under test. The ports are bare devices that allocate nothing themselves.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <new>
#include <string>
#include <vector>

#include "platform/host/host_api.h"
#include "platform/platform.h"
#include "port/port_kind.h"
#include "port/port_open.h"
#include "service/control_codes.h"
#include "service/service_state.h"
#include "service/stream_entry.h"

// Bounds of this executable's code, defined by the linker.
extern "C" char __executable_start[];
extern "C" char etext[];

namespace {

thread_local int t_allocationsLeft = -1;  // before the one that fails; -1: none fails
thread_local bool t_failed = false;

bool ShouldFail(const void* caller) {
  if (t_allocationsLeft < 0) return false;
  const char* code = static_cast<const char*>(caller);
  if (code < __executable_start || code >= etext) return false;
  if (t_allocationsLeft-- > 0) return false;
  t_failed = true;
  return true;
}

void* Allocate(std::size_t size, const void* caller) {
  if (ShouldFail(caller)) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

// __builtin_return_address(0) is the code that asked for the memory.
void* operator new(std::size_t size) {
  void* p = Allocate(size, __builtin_return_address(0));
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) {
  void* p = Allocate(size, __builtin_return_address(0));
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size, __builtin_return_address(0));
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size, __builtin_return_address(0));
}
// The replaced operator new above takes its memory from malloc, so free is
// the matching release; the compiler cannot see the pairing once it inlines
// these into callers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

constexpr const char16_t* kServiceKey = u"Drivers\\BuiltIn\\KLP";

// A port that answers every call without allocating.
class BarePort : public kelo::host::Device {
 public:
  explicit BarePort(bool serial) : serial_(serial) {}
  uintptr_t Open(DWORD, DWORD) override { return static_cast<uintptr_t>(++open_); }
  BOOL Close(uintptr_t) override {
    --open_;
    return TRUE;
  }
  BOOL GetCommState(uintptr_t open, DCB* dcb) override {
    if (!serial_) return Device::GetCommState(open, dcb);
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    return TRUE;
  }
  BOOL SetCommState(uintptr_t open, const DCB* dcb) override {
    return serial_ ? TRUE : Device::SetCommState(open, dcb);
  }
  BOOL GetCommTimeouts(uintptr_t, COMMTIMEOUTS* t) override {
    *t = COMMTIMEOUTS{};
    return TRUE;
  }
  BOOL SetCommTimeouts(uintptr_t, const COMMTIMEOUTS*) override { return TRUE; }
  int OpenCount() const { return open_.load(); }

 private:
  const bool serial_;
  std::atomic<int> open_{0};
};

class AllocationFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    com1 = std::make_shared<BarePort>(true);
    lpt1 = std::make_shared<BarePort>(false);
    ASSERT_TRUE(kelo::host::RegisterDevice(u"COM1:", com1));
    ASSERT_TRUE(kelo::host::RegisterDevice(u"LPT1:", lpt1));
    kelo::host::StartDebugCapture();
  }
  void TearDown() override { kelo::host::StopDebugCapture(); }
  static void Arm(int allocationsBeforeFailure) {
    t_failed = false;
    t_allocationsLeft = allocationsBeforeFailure;
  }
  static bool Disarm() {
    t_allocationsLeft = -1;
    return t_failed;
  }
  std::shared_ptr<BarePort> com1, lpt1;
};

TEST_F(AllocationFailure, NoRoomForTheDefaultNameIsOutOfMemory) {
  BYTE kind = 0xEE;
  Arm(0);
  const HANDLE port = OpenPrinterPort(nullptr, &kind);
  ASSERT_TRUE(Disarm());
  EXPECT_EQ(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OUTOFMEMORY));
  EXPECT_EQ(kind, 0xEE);
  EXPECT_EQ(lpt1->OpenCount(), 0);
}

TEST_F(AllocationFailure, NoRoomToCopyAGivenNameOpensTheDefaultPort) {
  BYTE kind = 0xEE;
  Arm(0);
  const HANDLE port = OpenPrinterPort(u"COM1: 9600", &kind);
  ASSERT_TRUE(Disarm());
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(kind, kPortParallel);
  EXPECT_EQ(lpt1->OpenCount(), 1);
  EXPECT_EQ(com1->OpenCount(), 0);
  CloseHandle(port);
}

// Fails each allocation of one KLP_OPEN_QUIET in turn. Every failed open must
// leave the table empty, no port open and the lock free; the ones that fail
// after the port was opened say so on the debug output.
TEST_F(AllocationFailure, EveryFailedOpenLeavesNothingBehind) {
  ASSERT_EQ(KLP_Init(kServiceKey, nullptr), 1u);
  const std::u16string name = u"COM1: 115200";  // longer than a short-string buffer
  std::vector<BYTE> in((name.size() + 1) * sizeof(char16_t), 0);
  std::memcpy(in.data(), name.data(), name.size() * sizeof(char16_t));
  int memoryErrors = 0;
  int defaultPortOpens = 0;
  bool completed = false;
  for (int n = 0; n < 64 && !completed; ++n) {
    SCOPED_TRACE(n);
    BYTE index = 0;
    Arm(n);
    const BOOL opened =
        KLP_IOControl(1, KLP_OPEN_QUIET, in.data(), static_cast<DWORD>(in.size()),
                      &index, 1, nullptr);
    const DWORD error = GetLastError();
    const bool failed = Disarm();
    const std::vector<std::string> lines = kelo::host::TakeDebugLines();
    if (!failed) {
      ASSERT_TRUE(opened);
      EXPECT_EQ(com1->OpenCount(), 1);
      completed = true;
    } else if (opened) {
      // The name copy failed: the opener fell back to the default port.
      EXPECT_EQ(lpt1->OpenCount(), 1);
      ++defaultPortOpens;
    } else {
      if (!lines.empty()) {
        EXPECT_EQ(lines, std::vector<std::string>{"KLP_OPEN memory error\r\n"});
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_OUTOFMEMORY));
        ++memoryErrors;
      }
      EXPECT_EQ(index, 0);
      EXPECT_TRUE(ServiceState.g_mapOpenPorts.empty());
      EXPECT_EQ(com1->OpenCount() + lpt1->OpenCount(), 0);
    }
    // The lock is free for another thread.
    auto other = std::async(std::launch::async, [] {
      return KLP_IOControl(1, KLP_CLOSE + 1, nullptr, 0, nullptr, 0, nullptr);
    });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(other.get(), opened);  // closes what this round opened
    EXPECT_EQ(com1->OpenCount() + lpt1->OpenCount(), 0);
  }
  EXPECT_TRUE(completed);
  EXPECT_GE(memoryErrors, 1);
  EXPECT_GE(defaultPortOpens, 1);
  KLP_Deinit(1);
}

}  // namespace
