// The device service for the length of one run: loaded through the device
// manager as at system start, watched by a tap, and deactivated again at the
// end, which stops its status monitor and closes every port it still holds.
#pragma once

#include "engine/service_tap.h"
#include "platform/platform.h"

namespace kelo::cli {

class ServiceSession {
 public:
  ServiceSession() = default;
  ~ServiceSession();
  ServiceSession(const ServiceSession&) = delete;
  ServiceSession& operator=(const ServiceSession&) = delete;

  // False with the last error set when the service cannot be loaded.
  bool Start();
  // Idempotent; also done by the destructor.
  void Stop();

  kelo::engine::ServiceCalls Calls() const { return tap_.Calls(); }

 private:
  HANDLE activation_ = nullptr;
  kelo::engine::ServiceTap tap_;
};

}  // namespace kelo::cli
