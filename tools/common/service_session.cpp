#include "tools/common/service_session.h"

namespace kelo::cli {

namespace {

constexpr const WCHAR* kServiceKey = u"Drivers\\BuiltIn\\KLP";
constexpr const WCHAR* kServiceName = u"KLP1:";

}  // namespace

ServiceSession::~ServiceSession() { Stop(); }

bool ServiceSession::Start() {
  activation_ = ActivateDevice(kServiceKey, 0);
  if (activation_ == nullptr) return false;
  if (!tap_.Install(kServiceName)) {
    const DWORD error = GetLastError();
    Stop();
    SetLastError(error);
    return false;
  }
  return true;
}

void ServiceSession::Stop() {
  tap_.Remove();
  if (activation_ != nullptr) DeactivateDevice(activation_);
  activation_ = nullptr;
}

}  // namespace kelo::cli
