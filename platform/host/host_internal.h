// Shared pieces of the host platform: the handle table and the objects it
// holds. Private to platform/host.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "platform/host/host_api.h"

namespace kelo::host {

// Anything a HANDLE can stand for.
class HostObject {
 public:
  virtual ~HostObject() = default;
  // Waitable objects (events, threads) override these.
  virtual bool Waitable() const { return false; }
  // Waits up to `ms` (INFINITE: for ever); true when signalled.
  virtual bool Wait(DWORD) { return false; }
  // Called by CloseHandle before the object leaves the table.
  virtual BOOL OnClose() { return TRUE; }
};

// Signalled state shared by events and threads.
class Signal {
 public:
  explicit Signal(bool manualReset, bool initial) : manual_(manualReset), signalled_(initial) {}
  void Set();
  void Reset();
  void Pulse();
  bool Wait(DWORD ms);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  const bool manual_;
  bool signalled_;
  unsigned waiters_ = 0;
  unsigned pulses_ = 0;
};

HANDLE AddHandle(std::shared_ptr<HostObject> object);
std::shared_ptr<HostObject> FindHandle(HANDLE handle);
// Removes the handle; null when it was not in the table.
std::shared_ptr<HostObject> RemoveHandle(HANDLE handle);

std::u16string Lower(std::u16string_view text);
size_t WideLength(const WCHAR* text);

// Debug output of the platform itself (diagnostics of registry files).
void DebugLine(const std::string& utf8Line);

// Publishes a device under a name; false when the name is taken.
bool PublishDevice(std::u16string_view name, std::shared_ptr<Device> device);

}  // namespace kelo::host
