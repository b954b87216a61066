// The device namespace and the handles of files and devices.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "platform/host/host_internal.h"

namespace kelo::host {

// ---- Device defaults: a device supports only what it overrides ----

namespace {
BOOL Unsupported() {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
}  // namespace

Device::~Device() = default;
uintptr_t Device::Open(DWORD, DWORD) { return 1; }
BOOL Device::Close(uintptr_t) { return TRUE; }
BOOL Device::Read(uintptr_t, void*, DWORD, DWORD*) { return Unsupported(); }
BOOL Device::Write(uintptr_t, const void*, DWORD, DWORD*) { return Unsupported(); }
BOOL Device::IoControl(uintptr_t, DWORD, BYTE*, DWORD, BYTE*, DWORD, DWORD*) {
  return Unsupported();
}

namespace {

struct Namespace {
  std::mutex mutex;
  std::map<std::u16string, std::shared_ptr<Device>> devices;  // by lower-case name
  PortMapper mapper;
};

Namespace& Names() {
  static auto* names = new Namespace;  // never destroyed: used until exit
  return *names;
}

// One open handle of a device; the handle keeps the device alive.
class DeviceOpen : public HostObject {
 public:
  DeviceOpen(std::shared_ptr<Device> d, uintptr_t o) : device(std::move(d)), open(o) {}
  BOOL OnClose() override { return device->Close(open); }
  std::shared_ptr<Device> device;
  uintptr_t open;
};

class HostFile : public HostObject {
 public:
  explicit HostFile(int f) : fd(f) {}
  ~HostFile() override {
    if (fd >= 0) ::close(fd);
  }
  BOOL OnClose() override {
    const int result = ::close(fd);
    fd = -1;
    return result == 0 ? TRUE : FALSE;
  }
  int fd;
};

DWORD ErrnoToWin32(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case EBUSY:
      return ERROR_SHARING_VIOLATION;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENODEV:
    case ENXIO:
      return ERROR_DEV_NOT_EXIST;
    default:
      return ERROR_GEN_FAILURE;
  }
}

bool IsDeviceName(std::u16string_view name) { return !name.empty() && name.back() == u':'; }

// A name mapped under HKEY_LOCAL_MACHINE\Host\Ports, or empty.
std::u16string MappedTarget(std::u16string_view name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Host\\Ports", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return {};
  }
  const std::u16string valueName(name);
  DWORD type = 0;
  DWORD size = 0;
  std::u16string target;
  if (RegQueryValueExW(key, valueName.c_str(), nullptr, &type, nullptr, &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ && size >= 2) {
    std::u16string buffer(size / 2, u'\0');
    if (RegQueryValueExW(key, valueName.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer.data()), &size) == ERROR_SUCCESS) {
      target.assign(buffer.c_str());
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
    if (!target.empty()) device = mapper(name, target);
  }
  if (!device) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // The device is called without the namespace lock: it may call back in.
  const uintptr_t open = device->Open(access, share);
  if (open == 0) return INVALID_HANDLE_VALUE;
  return AddHandle(std::make_shared<DeviceOpen>(std::move(device), open));
}

HANDLE OpenHostFile(std::u16string_view name, DWORD access, DWORD creation) {
  int flags = O_CLOEXEC;
  if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) {
    flags |= O_RDWR;
  } else if (access & GENERIC_WRITE) {
    flags |= O_WRONLY;
  } else {
    flags |= O_RDONLY;
  }
  switch (creation) {
    case CREATE_NEW:
      flags |= O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS:
      flags |= O_CREAT | O_TRUNC;
      break;
    case OPEN_ALWAYS:
      flags |= O_CREAT;
      break;
    case TRUNCATE_EXISTING:
      flags |= O_TRUNC;
      break;
    case OPEN_EXISTING:
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  const std::string path = ToUtf8(name);
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    SetLastError(ErrnoToWin32(errno));
    return INVALID_HANDLE_VALUE;
  }
  return AddHandle(std::make_shared<HostFile>(fd));
}

}  // namespace

bool PublishDevice(std::u16string_view name, std::shared_ptr<Device> device) {
  Namespace& n = Names();
  std::lock_guard lock(n.mutex);
  return n.devices.emplace(Lower(name), std::move(device)).second;
}

bool RegisterDevice(std::u16string_view name, std::shared_ptr<Device> device) {
  if (!device || name.empty()) return false;
  return PublishDevice(name, std::move(device));
}

bool UnregisterDevice(std::u16string_view name) {
  Namespace& n = Names();
  std::lock_guard lock(n.mutex);
  return n.devices.erase(Lower(name)) > 0;
}

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
  if (name == nullptr || name[0] == 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const std::u16string_view view(name, WideLength(name));
  if (IsDeviceName(view)) return OpenDevice(view, access, share);
  return OpenHostFile(view, access, creation);
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
  auto object = FindHandle(file);
  if (read != nullptr) *read = 0;
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (buffer == nullptr && toRead != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (auto device = std::dynamic_pointer_cast<DeviceOpen>(object)) {
    DWORD got = 0;
    const BOOL result = device->device->Read(device->open, buffer, toRead, &got);
    if (read != nullptr) *read = got;
    return result;
  }
  auto hostFile = std::dynamic_pointer_cast<HostFile>(object);
  if (!hostFile) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ssize_t n;
  do {
    n = ::read(hostFile->fd, buffer, toRead);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetLastError(ErrnoToWin32(errno));
    return FALSE;
  }
  if (read != nullptr) *read = static_cast<DWORD>(n);
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                      LPOVERLAPPED) {
  auto object = FindHandle(file);
  if (written != nullptr) *written = 0;
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (buffer == nullptr && toWrite != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (auto device = std::dynamic_pointer_cast<DeviceOpen>(object)) {
    DWORD put = 0;
    const BOOL result = device->device->Write(device->open, buffer, toWrite, &put);
    if (written != nullptr) *written = put;
    return result;
  }
  auto hostFile = std::dynamic_pointer_cast<HostFile>(object);
  if (!hostFile) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const auto* next = static_cast<const BYTE*>(buffer);
  DWORD left = toWrite;
  while (left > 0) {
    const ssize_t n = ::write(hostFile->fd, next, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastError(ErrnoToWin32(errno));
      if (written != nullptr) *written = toWrite - left;
      return FALSE;
    }
    next += n;
    left -= static_cast<DWORD>(n);
  }
  if (written != nullptr) *written = toWrite;
  return TRUE;
}

BOOL WINAPI DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inLen, LPVOID out,
                            DWORD outLen, LPDWORD returned, LPOVERLAPPED) {
  auto object = FindHandle(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto device = std::dynamic_pointer_cast<DeviceOpen>(object);
  if (!device) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  return device->device->IoControl(device->open, code, static_cast<BYTE*>(in), inLen,
                                   static_cast<BYTE*>(out), outLen, returned);
}

BOOL WINAPI CloseHandle(HANDLE handle) {
  auto object = RemoveHandle(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return object->OnClose();
}

}  // extern "C"
