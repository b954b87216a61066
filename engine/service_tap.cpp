#include "engine/service_tap.h"

#include <cstring>
#include <mutex>

#include "channel/channel.h"

namespace kelo::engine {

namespace {

// Control codes carry the command in bits 8 to 23 and the port index in the
// low byte.
DWORD CommandOf(DWORD code) { return code & 0xFFFF00u; }

}  // namespace

class ServiceTap::Proxy final : public kelo::host::Device {
 public:
  explicit Proxy(std::shared_ptr<kelo::host::Device> service) : service_(std::move(service)) {}

  ServiceCalls Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  uintptr_t Open(DWORD access, DWORD share) override { return service_->Open(access, share); }
  BOOL Close(uintptr_t open) override { return service_->Close(open); }
  BOOL Read(uintptr_t open, void* buffer, DWORD toRead, DWORD* read) override {
    return service_->Read(open, buffer, toRead, read);
  }
  BOOL Write(uintptr_t open, const void* buffer, DWORD toWrite, DWORD* written) override {
    return service_->Write(open, buffer, toWrite, written);
  }
  BOOL IoControl(uintptr_t open, DWORD code, BYTE* in, DWORD inLen, BYTE* out, DWORD outLen,
                 DWORD* returned) override {
    const BOOL result = service_->IoControl(open, code, in, inLen, out, outLen, returned);
    const DWORD error = GetLastError();
    {
      std::lock_guard lock(mutex_);
      switch (CommandOf(code)) {
        case KLP_WRITE:
          if (inLen == 0) break;
          ++calls_.writes;
          if (returned != nullptr) {
            calls_.bytesAccepted += *returned;
          } else if (result) {
            calls_.bytesAccepted += inLen;
          }
          calls_.lastWriteFailed = !result;
          if (!result) {
            ++calls_.failedWrites;
            calls_.writeError = error;
          }
          break;
        case KLP_END_JOB:
          if (result) break;
          calls_.endJobFailed = true;
          calls_.endJobError = error;
          if (returned != nullptr && *returned == sizeof(DWORD) && out != nullptr) {
            std::memcpy(&calls_.bytesUnsent, out, sizeof(DWORD));
          }
          break;
        case KLP_CLOSE:
          if (result) break;
          calls_.closeFailed = true;
          calls_.closeError = error;
          break;
        case KLP_OPEN:
          if (!result) {
            ++calls_.openFailures;
            calls_.openError = error;
          }
          break;
        case KLP_CHECK_STATUS:
          ++calls_.statusChecks;
          calls_.lastStatusCheckFailed = !result;
          if (!result) {
            ++calls_.failedStatusChecks;
            calls_.statusError = error;
          }
          break;
        default:
          break;
      }
    }
    SetLastError(error);
    return result;
  }

 private:
  const std::shared_ptr<kelo::host::Device> service_;
  mutable std::mutex mutex_;  // guards calls_
  ServiceCalls calls_;
};

ServiceTap::~ServiceTap() { Remove(); }

bool ServiceTap::Install(std::u16string_view name) {
  if (installed_) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  const std::u16string terminated(name);
  HANDLE handle = CreateFileW(terminated.c_str(), 0, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  uintptr_t open = 0;
  std::shared_ptr<kelo::host::Device> service = kelo::host::DeviceForHandle(handle, &open);
  CloseHandle(handle);
  if (!service) return false;
  auto proxy = std::make_shared<Proxy>(service);
  if (!kelo::host::UnregisterDevice(name)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  if (!kelo::host::RegisterDevice(name, proxy)) {
    // Taken in between: leave the name to whoever took it.
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  name_ = terminated;
  service_ = std::move(service);
  proxy_ = std::move(proxy);
  installed_ = true;
  return true;
}

void ServiceTap::Remove() {
  if (!installed_) return;
  installed_ = false;
  kelo::host::UnregisterDevice(name_);
  kelo::host::RegisterDevice(name_, service_);
  service_.reset();
  // proxy_ stays for Calls(); handles opened through the tap hold it too.
}

ServiceCalls ServiceTap::Calls() const { return proxy_ ? proxy_->Calls() : ServiceCalls{}; }

}  // namespace kelo::engine
