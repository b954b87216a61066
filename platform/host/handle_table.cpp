// The one handle table of the process: files, device opens, events, threads
// and activated devices. CloseHandle releases any of them.

#include <map>
#include <mutex>

#include "platform/host/host_internal.h"

namespace kelo::host {

namespace {

struct HandleTable {
  std::mutex mutex;
  std::map<uintptr_t, std::shared_ptr<HostObject>> objects;
  // Multiples of 4 from 0x1000: never 0 or -1, and apart from the registry's
  // key handles, which are 2 modulo 4.
  uintptr_t next = 0x1000;
};

HandleTable& Table() {
  static auto* table = new HandleTable;  // never destroyed: threads may use it until exit
  return *table;
}

BOOL InvalidHandle() {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

}  // namespace

BOOL HostObject::Read(void*, DWORD, DWORD*) { return InvalidHandle(); }
BOOL HostObject::Write(const void*, DWORD, DWORD*) { return InvalidHandle(); }
BOOL HostObject::IoControl(DWORD, BYTE*, DWORD, BYTE*, DWORD, DWORD*) { return InvalidHandle(); }

HANDLE AddHandle(std::shared_ptr<HostObject> object) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  const uintptr_t value = t.next;
  t.next += 4;
  t.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HostObject> FindHandle(HANDLE handle) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  const auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<HostObject> RemoveHandleIf(HANDLE handle,
                                           const std::function<bool(HostObject&)>& accept) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  const auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == t.objects.end() || !accept(*it->second)) return nullptr;
  auto object = std::move(it->second);
  t.objects.erase(it);
  return object;
}

}  // namespace kelo::host

extern "C" {

BOOL WINAPI CloseHandle(HANDLE handle) {
  auto object = kelo::host::RemoveHandleIf(
      handle, [](kelo::host::HostObject& o) { return o.ClosedByCloseHandle(); });
  if (!object) return kelo::host::InvalidHandle();
  // Outside the table's lock: a device's Close may call back into the platform.
  return object->OnClose();
}

}  // extern "C"
