// The device namespace and the Win32 file functions over the handle table.

#include <map>
#include <mutex>

#include "platform/host/host_internal.h"
#include "platform/host/host_ports.h"

namespace kelo::host {

// ---- Device defaults: a device supports only what it overrides ----

namespace {
BOOL NotSupported() {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
}  // namespace

Device::~Device() = default;
uintptr_t Device::Open(DWORD, DWORD) { return 1; }
BOOL Device::Close(uintptr_t) { return TRUE; }
BOOL Device::Read(uintptr_t, void*, DWORD, DWORD*) { return NotSupported(); }
BOOL Device::Write(uintptr_t, const void*, DWORD, DWORD*) { return NotSupported(); }
BOOL Device::IoControl(uintptr_t, DWORD, BYTE*, DWORD, BYTE*, DWORD, DWORD*) {
  return NotSupported();
}

namespace {

struct Namespace {
  std::mutex mutex;
  std::map<std::u16string, std::shared_ptr<Device>> devices;  // by lower-case name
  PortMapper mapper;
};

Namespace& Names() {
  static auto* names = [] {
    auto* fresh = new Namespace;  // never destroyed: used until exit
    fresh->mapper = OpenHostPort;  // "Host\\Ports" names resolve to real ports by default
    return fresh;
  }();
  return *names;
}

// One open handle of a device; it keeps the device alive after the name is
// unpublished. Every call is made without any platform lock held.
class DeviceOpen : public HostObject {
 public:
  DeviceOpen(std::shared_ptr<Device> d, uintptr_t o) : device(std::move(d)), open(o) {}
  BOOL OnClose() override { return device->Close(open); }
  BOOL Read(void* buffer, DWORD toRead, DWORD* read) override {
    return device->Read(open, buffer, toRead, read);
  }
  BOOL Write(const void* buffer, DWORD toWrite, DWORD* written) override {
    return device->Write(open, buffer, toWrite, written);
  }
  BOOL IoControl(DWORD code, BYTE* in, DWORD inLen, BYTE* out, DWORD outLen,
                 DWORD* returned) override {
    return device->IoControl(open, code, in, inLen, out, outLen, returned);
  }
  BOOL FlushBuffers() override { return device->FlushBuffers(open); }
  const std::shared_ptr<Device> device;
  const uintptr_t open;
};

bool IsDeviceName(std::u16string_view name) { return name.back() == u':'; }

// The target a name is mapped to under HKEY_LOCAL_MACHINE\Host\Ports, or
// empty.
std::u16string MappedTarget(std::u16string_view name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Host\\Ports", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return {};
  }
  const std::u16string valueName(name);
  std::u16string target;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, valueName.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      type == REG_SZ && size >= sizeof(WCHAR)) {
    std::u16string buffer(size / sizeof(WCHAR), u'\0');
    if (RegQueryValueExW(key, valueName.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer.data()), &size) == ERROR_SUCCESS) {
      target.assign(buffer.c_str());  // up to the terminator
    }
  }
  RegCloseKey(key);
  return target;
}

HANDLE OpenDevice(std::u16string_view name, DWORD access, DWORD share) {
  std::shared_ptr<Device> device;
  PortMapper mapper;
  {
    Namespace& n = Names();
    std::lock_guard lock(n.mutex);
    const auto it = n.devices.find(Lower(name));
    if (it != n.devices.end()) device = it->second;
    mapper = n.mapper;
  }
  if (!device && mapper) {
    const std::u16string target = MappedTarget(name);
    if (!target.empty()) {
      SetLastError(ERROR_SUCCESS);
      device = mapper(name, target);
      if (!device && GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_FILE_NOT_FOUND);
      if (!device) return INVALID_HANDLE_VALUE;
    }
  }
  if (!device) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  const uintptr_t open = device->Open(access, share);
  if (open == 0) {
    if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_GEN_FAILURE);
    return INVALID_HANDLE_VALUE;
  }
  return AddHandle(std::make_shared<DeviceOpen>(std::move(device), open));
}

}  // namespace

bool PublishDevice(std::u16string_view name, std::shared_ptr<Device> device) {
  if (!device || name.empty()) return false;
  Namespace& n = Names();
  std::lock_guard lock(n.mutex);
  return n.devices.emplace(Lower(name), std::move(device)).second;
}

bool UnpublishDevice(std::u16string_view name, const Device* device) {
  std::shared_ptr<Device> leaving;  // released after the lock: its destructor may call in
  Namespace& n = Names();
  std::lock_guard lock(n.mutex);
  const auto it = n.devices.find(Lower(name));
  if (it == n.devices.end() || (device != nullptr && it->second.get() != device)) return false;
  leaving = std::move(it->second);
  n.devices.erase(it);
  return true;
}

bool RegisterDevice(std::u16string_view name, std::shared_ptr<Device> device) {
  return PublishDevice(name, std::move(device));
}

bool UnregisterDevice(std::u16string_view name) { return UnpublishDevice(name, nullptr); }

bool IsDeviceRegistered(std::u16string_view name) {
  Namespace& n = Names();
  std::lock_guard lock(n.mutex);
  return n.devices.count(Lower(name)) > 0;
}

void SetPortMapper(PortMapper mapper) {
  Namespace& n = Names();
  std::lock_guard lock(n.mutex);
  n.mapper = std::move(mapper);
}

std::shared_ptr<Device> DeviceForHandle(HANDLE handle, uintptr_t* open) {
  auto device = std::dynamic_pointer_cast<DeviceOpen>(FindHandle(handle));
  if (!device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (open != nullptr) *open = device->open;
  return device->device;
}

}  // namespace kelo::host

using namespace kelo::host;

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                          DWORD creation, DWORD, HANDLE) {
  const std::u16string_view view = WideView(name);
  if (view.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (IsDeviceName(view)) return OpenDevice(view, access, share);
  return OpenHostFile(view, access, creation);
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
  if (read != nullptr) *read = 0;
  auto object = FindHandle(file);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD got = 0;
  const BOOL result = object->Read(buffer, toRead, &got);
  if (read != nullptr) *read = got;
  return result;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
  if (written != nullptr) *written = 0;
  auto object = FindHandle(file);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD put = 0;
  const BOOL result = object->Write(buffer, toWrite, &put);
  if (written != nullptr) *written = put;
  return result;
}

BOOL WINAPI FlushFileBuffers(HANDLE file) {
  auto object = FindHandle(file);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return object->FlushBuffers();
}

BOOL WINAPI DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inLen, LPVOID out,
                            DWORD outLen, LPDWORD returned, LPOVERLAPPED) {
  auto object = FindHandle(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (returned != nullptr) *returned = 0;
  return object->IoControl(code, static_cast<BYTE*>(in), inLen, static_cast<BYTE*>(out), outLen,
                           returned);
}

}  // extern "C"
