// Sequences of KLP_IOControl calls against one loaded device service, on two
// emulated printers ("COM1:" serial, "LPT1:" parallel-class) and on "LPT2:",
// a port mapped to /dev/null. Each input is read as calls: a command byte, a
// shape byte and the content. Input and output buffers are heap blocks of
// exactly the stated sizes (or missing while a size is stated), so the
// address sanitizer catches an access past them. Shape byte: bits 0-1 the
// content (a name, a cut name, input bytes), bits 2-3 01 no input block,
// 10 no output block, bits 4-5 the port index, bit 6 no byte count, bit 7
// the index from the next byte. KLP_OPEN starts the status
// monitor as it does for clients.
//
// Fast by design: one service instance serves every input; Sleep is virtual
// (kelo::host::SetVirtualSleep: the fixed pauses of open, close and reset move
// the tick count instead of waiting), and the printers' reads return at once
// instead of waiting the port's read time-out. KELO_FUZZ_REAL_SLEEP=1 keeps
// real sleeps, for comparison.
//
// After each input: the port table is consistent (indexes, references,
// handles, kinds); the monitor is stopped; every reference the table holds is
// given back with KLP_CLOSE, after which no port may stay open and no
// printer may keep a handle. Fresh printers serve the next input.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "emulator/emulated_printer.h"
#include "platform/host/host_api.h"
#include "platform/platform.h"
#include "port/port_kind.h"
#include "service/control_codes.h"
#include "service/service_state.h"
#include "service/stream_entry.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/port_request_input.h"

namespace {

using kelo::emulator::EmulatedPrinter;
using kelo::emulator::PortType;
using kelo::emulator::PrinterConfig;

constexpr const char16_t* kServiceKey = u"Drivers\\BuiltIn\\KLP";
constexpr size_t kMaxCalls = 48;
constexpr DWORD kMonitorExitWaitMs = 10000;

void Check(bool condition, const char* what) {
  kelo::fuzz::CheckOrAbort(condition, "control fuzz", what);
}

// The emulated printer with reads that never wait: whatever time-outs the
// service sets, a read returns what has arrived (possibly nothing) at once.
class InstantReadPrinter : public EmulatedPrinter {
 public:
  using EmulatedPrinter::EmulatedPrinter;
  BOOL SetCommTimeouts(uintptr_t open, const COMMTIMEOUTS* timeouts) override {
    if (timeouts == nullptr) return EmulatedPrinter::SetCommTimeouts(open, timeouts);
    COMMTIMEOUTS instant = *timeouts;
    instant.ReadIntervalTimeout = MAXDWORD;
    instant.ReadTotalTimeoutMultiplier = 0;
    instant.ReadTotalTimeoutConstant = 0;
    return EmulatedPrinter::SetCommTimeouts(open, &instant);
  }
};

std::shared_ptr<EmulatedPrinter> g_com1;
std::shared_ptr<EmulatedPrinter> g_lpt1;

std::shared_ptr<EmulatedPrinter> FreshPrinter(const char16_t* name, PortType type) {
  kelo::host::UnregisterDevice(name);
  PrinterConfig config;
  config.type = type;
  config.widthDots = 64;  // short rows: more lines from few bytes
  auto printer = std::make_shared<InstantReadPrinter>(config);
  Check(kelo::host::RegisterDevice(name, printer), "register printer");
  return printer;
}

// Reads the input front to back; past its end every byte is 0.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ == size_; }
  uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }
  std::vector<BYTE> Take(size_t count) {
    count = std::min(count, size_ - at_);
    std::vector<BYTE> out(data_ + at_, data_ + at_ + count);
    at_ += count;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

std::vector<BYTE> WideBytes(const std::u16string& name) {
  std::vector<BYTE> bytes((name.size() + 1) * sizeof(char16_t), 0);
  std::memcpy(bytes.data(), name.data(), name.size() * sizeof(char16_t));
  return bytes;
}

void OneCall(Bytes& in) {
  static const DWORD kCommands[] = {
      KLP_OPEN,          KLP_OPEN_QUIET,  KLP_WRITE,
      KLP_CLOSE,         KLP_READ,        KLP_RTS_CONTROL,
      KLP_CHECK_STATUS,  KLP_BEGIN_JOB,   KLP_END_JOB,
      KLP_RTS_RESET,     KLP_GET_INDEX,   KLP_WRITE_IF_IDLE,
      KLP_RESET_PRINTER, KLP_STOP_PORTMONITOR, KLP_UPDATE_PRINTERSTATUS,
      KLP_GET_PRINTERSTATUS, 0};
  // Names that open a port, match an open one, or neither.
  static const std::u16string kNames[] = {u"COM1:", u"LPT1:", u"LPT2:",  u"COM1:9600",
                                          u"LPT1",  u"COM9:", u"",       u"C"};
  const uint8_t command = in.Next();
  const uint8_t shape = in.Next();

  DWORD code = 0;
  if (command == 0xFF) {  // any code at all
    for (int i = 0; i < 4; ++i) code = (code << 8) | in.Next();
  } else {
    const DWORD index = (shape & 0x80) != 0 ? in.Next() : (shape >> 4) & 3;
    code = kCommands[command % std::size(kCommands)] + index;
  }

  std::vector<BYTE> content;
  switch (shape & 3) {
    case 0:
      content = WideBytes(kNames[in.Next() % std::size(kNames)]);
      break;
    case 1:  // a name cut anywhere: odd, unterminated or empty
      content = WideBytes(kNames[in.Next() % std::size(kNames)]);
      content.resize(std::min<size_t>(content.size(), in.Next() % 24));
      break;
    default:  // bytes from the input: data to write, a DWORD, a raw name
      content = in.Take(in.Next() % 64);
      break;
  }
  const std::vector<BYTE> names =
      kelo::test::PortRequestNameBuffer(kNames[in.Next() % std::size(kNames)]);
  kelo::test::AimPortRequestAt(content, code, names.data());
  const bool noInput = (shape & 0x0C) == 0x04;
  const bool noOutput = (shape & 0x0C) == 0x08;
  const uint8_t sizes = in.Next();
  const size_t outLen = sizes % 12;
  std::unique_ptr<BYTE[]> input(noInput ? nullptr : new BYTE[content.size()]);
  if (input && !content.empty()) std::memcpy(input.get(), content.data(), content.size());
  std::unique_ptr<BYTE[]> output(noOutput ? nullptr : new BYTE[outLen]);
  const DWORD inLen = noInput ? sizes % 24 : static_cast<DWORD>(content.size());
  const DWORD outSize = noOutput ? sizes / 16 : static_cast<DWORD>(outLen);
  DWORD actual = 0xA5A5A5A5u;
  const bool wantActual = (shape & 0x40) == 0;
  const BOOL ok = KLP_IOControl(1, code, input.get(), inLen, output.get(), outSize,
                                wantActual ? &actual : nullptr);

  const DWORD verb = code & service::kCommandMask;
  if (ok && (verb == KLP_OPEN || verb == KLP_OPEN_QUIET)) {
    Check(output != nullptr && outSize >= 1 && output[0] != 0, "an open without an index");
    Check(!wantActual || actual == 1, "an open that reports no byte");
  }
}

void CheckTable(const std::vector<std::shared_ptr<EmulatedPrinter>>& printers) {
  ServiceLock guard;
  std::set<HANDLE> handles;
  for (const auto& [index, record] : ServiceState.g_mapOpenPorts) {
    Check(index != 0, "port index 0 in the table");
    Check(record.refCount >= 1, "a record without references");
    Check(record.handle != INVALID_HANDLE_VALUE, "a record without a handle");
    Check(record.kind == kPortSerial || record.kind == kPortParallel, "a record of no kind");
    handles.insert(record.handle);
  }
  Check(handles.size() == ServiceState.g_mapOpenPorts.size(), "two records share a handle");
  size_t printerHandles = 0;
  for (const auto& printer : printers) printerHandles += static_cast<size_t>(printer->OpenCount());
  Check(printerHandles <= ServiceState.g_mapOpenPorts.size(), "a printer handle without a record");
}

// Stops the monitor, gives back every reference and leaves the service as
// the next input expects it: no port, no monitor, no status bytes.
void CloseEverything(const std::vector<std::shared_ptr<EmulatedPrinter>>& printers) {
  if (ServiceState.monitorThread.load() != nullptr) {
    PostThreadMessageW(ServiceState.monitorThreadId.load(), service::MonitorStop, 0, 0);
  }
  if (ServiceState.monitorHandle != nullptr) {
    Check(WaitForSingleObject(ServiceState.monitorHandle, kMonitorExitWaitMs) == WAIT_OBJECT_0,
          "the monitor does not stop");
  }
  std::vector<std::pair<BYTE, int>> holders;
  {
    ServiceLock guard;
    for (const auto& [index, record] : ServiceState.g_mapOpenPorts) {
      holders.emplace_back(index, record.refCount);
    }
  }
  for (const auto& [index, count] : holders) {
    for (int i = 0; i < count; ++i) {
      Check(KLP_IOControl(1, KLP_CLOSE + index, nullptr, 0, nullptr, 0, nullptr),
            "a held reference does not close");
    }
  }
  ServiceLock guard;
  Check(ServiceState.g_mapOpenPorts.empty(), "a port stays open after every close");
  for (const auto& printer : printers) Check(printer->OpenCount() == 0, "a printer handle leaked");
  ServiceState.statusHistory.clear();
  ServiceState.statusQueue.clear();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kelo::host::StartDebugCapture();
  const char* real = std::getenv("KELO_FUZZ_REAL_SLEEP");
  kelo::host::SetVirtualSleep(real == nullptr || *real == 0 || *real == '0');
  kelo::host::SetRegistryDword(kServiceKey, u"ResetTime", 0);
  kelo::host::SetRegistryDword(kServiceKey, u"ResetWaitTime", 0);
  kelo::host::SetRegistryDword(kServiceKey, u"RTSOnOff", 1);
  kelo::host::SetRegistryDword(kServiceKey, u"RTSRetryWait", 0);
  kelo::host::SetRegistryDword(kServiceKey, u"RTSMaxRetries", 2);
  kelo::host::SetRegistryString(u"Host\\Ports", u"LPT2:", u"/dev/null");
  Check(KLP_Init(kServiceKey, nullptr) == 1, "the service does not load");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_com1 = FreshPrinter(u"COM1:", PortType::kSerial);
  g_lpt1 = FreshPrinter(u"LPT1:", PortType::kParallel);
  const std::vector<std::shared_ptr<EmulatedPrinter>> printers{g_com1, g_lpt1};
  Bytes in(data, size);
  for (size_t call = 0; call < kMaxCalls && !in.empty(); ++call) OneCall(in);
  CheckTable(printers);
  CloseEverything(printers);
  kelo::host::TakeDebugLines();
  return 0;
}
