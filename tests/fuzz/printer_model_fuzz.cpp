// Printer model detection from the IEEE 1284 device ID: a parallel-class
// port double answers the device-ID request (0x16000C) with the input, cut
// to the caller's buffer. The first input byte says what the double claims
// to have returned: the bytes it copied, the whole input (more than fits),
// or an arbitrary count. The model must be one of the table or unknown, and
// a description that names a model exactly must be detected as that model.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/host_api.h"
#include "platform/platform.h"
#include "port/port_io.h"
#include "port/port_kind.h"
#include "port/printer_model.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

void Check(bool condition, const char* what) {
  kelo::fuzz::CheckOrAbort(condition, "printer model fuzz", what);
}

class DeviceIdPort : public kelo::host::Device {
 public:
  void Answer(std::vector<BYTE> reply, uint8_t claim) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(reply);
    claim_ = claim;
  }
  uintptr_t Open(DWORD, DWORD) override { return 1; }
  BOOL Close(uintptr_t) override { return TRUE; }
  BOOL IoControl(uintptr_t, DWORD code, BYTE*, DWORD, BYTE* out, DWORD outLen,
                 DWORD* returned) override {
    if (code != kIoctlGetDeviceId) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
    }
    std::lock_guard lock(mutex_);
    const DWORD copied = static_cast<DWORD>(std::min<size_t>(reply_.size(), outLen));
    if (copied > 0) std::memcpy(out, reply_.data(), copied);
    if (returned != nullptr) {
      switch (claim_ % 3) {
        case 0: *returned = copied; break;
        case 1: *returned = static_cast<DWORD>(reply_.size()); break;  // past the buffer
        default: *returned = 0xFFFFFF00u | claim_; break;
      }
    }
    return TRUE;
  }

 private:
  std::mutex mutex_;
  std::vector<BYTE> reply_;
  uint8_t claim_ = 0;
};

std::shared_ptr<DeviceIdPort> g_port;
HANDLE g_handle = INVALID_HANDLE_VALUE;

// The model a device ID names by its exact DESCRIPTION value, or -1.
int ExactModel(const std::string& text) {
  static const std::pair<const char*, int> kNames[] = {
      {"USB Printer T4", kModelUsbT4},
      {"USB Printer R27", kModelUsbR27},
      {"USB Printer V45", kModelUsbV45},
      {"USB Printer T4 300DPI", kModelUsbT4_300Dpi},
      {"USB Printer R27 300DPI", kModelUsbR27_300Dpi},
      {"USB Printer V45 300DPI", kModelUsbV45_300Dpi},
      {"USB Printer Generic", kModelUsbGeneric},
  };
  const size_t key = text.find("DESCRIPTION:");
  if (key == std::string::npos) return -1;
  const size_t start = key + 12;
  const size_t end = text.find_first_of(std::string(";\0", 2), start);
  const std::string value = text.substr(start, end == std::string::npos ? end : end - start);
  for (const auto& [name, model] : kNames) {
    if (value == name) return model;
  }
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_port = std::make_shared<DeviceIdPort>();
  Check(kelo::host::RegisterDevice(u"LPT7:", g_port), "register");
  g_handle = CreateFileW(u"LPT7:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  Check(g_handle != INVALID_HANDLE_VALUE, "open");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<BYTE> reply(data + 1, data + size);
  g_port->Answer(reply, data[0]);
  const BYTE model = DetectPrinterModel(g_handle, kPortParallel);
  Check(model <= kModelUsbGeneric, "model outside the table");
  Check(DetectPrinterModel(g_handle, kPortSerial) == kModelUnknown, "a serial line has a model");

  // The reply as the detector sees it: at most 256 bytes, after a length
  // prefix when the first byte is a control character, up to the first NUL.
  if (data[0] % 3 == 0 && reply.size() <= 256) {
    size_t start = reply.size() >= 2 && reply[0] < 0x20 ? 2 : 0;
    std::string text(reply.begin() + static_cast<long>(start), reply.end());
    text = text.substr(0, text.find('\0'));
    const int exact = ExactModel(text);
    if (exact >= 0 && text.find("DESCRIPTION:") == text.rfind("DESCRIPTION:")) {
      Check(model == exact, "an exact description detected as another model");
    }
  }
  return 0;
}
