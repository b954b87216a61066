// Watches the control calls between the driver and the device service.
//
// The engine learns from the driver's hooks only part of what happened: the
// end of a document reports the printer's status, not whether the last
// page's write was accepted, and a refused channel open reaches the engine
// as "invalid handle" whatever the port's reason was. The tap stands in the
// device namespace under the service's name, passes every call through to
// the service unchanged and remembers the outcomes the engine needs to tell
// its user what went wrong.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/host/host_api.h"

namespace kelo::engine {

struct ServiceCalls {
  int writes = 0;  // write commands with data
  int failedWrites = 0;
  // Bytes the ports took: what a write command reports taken (also when it
  // failed), or its whole length when it succeeded without saying.
  uint64_t bytesAccepted = 0;
  DWORD writeError = 0;  // last error of the last failed write command
  // The last write command failed: a failure that a later retry of the same
  // data made good does not count.
  bool lastWriteFailed = false;
  bool endJobFailed = false;  // the port kept bytes it never sent
  DWORD endJobError = 0;
  DWORD bytesUnsent = 0;  // what the port still held then, when it said
  bool closeFailed = false;  // a port close had to discard bytes, or failed
  DWORD closeError = 0;
  int openFailures = 0;  // refused port-open commands
  DWORD openError = 0;  // last error of the last refused one
  int statusChecks = 0;
  int failedStatusChecks = 0;
  DWORD statusError = 0;  // last error of the last failed status check
  bool lastStatusCheckFailed = false;
};

class ServiceTap {
 public:
  ServiceTap() = default;
  ~ServiceTap();
  ServiceTap(const ServiceTap&) = delete;
  ServiceTap& operator=(const ServiceTap&) = delete;

  // Takes the place of the device published as `name` (u"KLP1:"). False with
  // the last error set when it is not there or the tap is already in place.
  bool Install(std::u16string_view name);
  // Puts the service back under its name. Handles opened through the tap
  // keep working and counting; the counts stay readable.
  void Remove();

  ServiceCalls Calls() const;

 private:
  class Proxy;
  std::u16string name_;
  std::shared_ptr<kelo::host::Device> service_;
  std::shared_ptr<Proxy> proxy_;
  bool installed_ = false;
};

}  // namespace kelo::engine
