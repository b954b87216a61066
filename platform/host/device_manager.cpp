// The device manager stand-in: loads a stream-device driver named by its
// registry key and publishes its legacy name ("KLP1:").

#include <dlfcn.h>

#include <map>
#include <mutex>

#include "platform/host/host_internal.h"

namespace kelo::host {

namespace {

struct EntryPoints {
  PFN_DEVICE_INIT init = nullptr;
  PFN_DEVICE_DEINIT deinit = nullptr;
  PFN_DEVICE_OPEN open = nullptr;
  PFN_DEVICE_CLOSE close = nullptr;
  PFN_DEVICE_IOCONTROL ioControl = nullptr;
  PFN_DEVICE_READ read = nullptr;
  PFN_DEVICE_WRITE write = nullptr;
};

struct Modules {
  std::mutex mutex;
  std::map<std::u16string, SymbolTable> registered;  // by lower-case name
};

Modules& AllModules() {
  static auto* modules = new Modules;  // never destroyed: used until exit
  return *modules;
}

// The stream device as the namespace sees it: each call goes to the
// driver's entry points with the contexts it handed out.
class StreamDevice : public Device {
 public:
  StreamDevice(EntryPoints entries, DWORD context) : e_(entries), context_(context) {}

  uintptr_t Open(DWORD access, DWORD share) override {
    const DWORD open = e_.open(context_, access, share);
    if (open == 0 && GetLastError() == 0) SetLastError(ERROR_GEN_FAILURE);
    return open;
  }
  BOOL Close(uintptr_t open) override { return e_.close(static_cast<DWORD>(open)); }
  BOOL IoControl(uintptr_t open, DWORD code, BYTE* in, DWORD inLen, BYTE* out, DWORD outLen,
                 DWORD* returned) override {
    return e_.ioControl(static_cast<DWORD>(open), code, in, inLen, out, outLen, returned);
  }
  BOOL Read(uintptr_t open, void* buffer, DWORD toRead, DWORD* read) override {
    if (e_.read == nullptr) return Device::Read(open, buffer, toRead, read);
    const DWORD n = e_.read(static_cast<DWORD>(open), buffer, toRead);
    if (n == MAXDWORD) return FALSE;
    *read = n;
    return TRUE;
  }
  BOOL Write(uintptr_t open, const void* buffer, DWORD toWrite, DWORD* written) override {
    if (e_.write == nullptr) return Device::Write(open, buffer, toWrite, written);
    const DWORD n = e_.write(static_cast<DWORD>(open), buffer, toWrite);
    if (n == MAXDWORD) return FALSE;
    *written = n;
    return TRUE;
  }

  const EntryPoints& entries() const { return e_; }
  DWORD context() const { return context_; }

 private:
  EntryPoints e_;
  DWORD context_;
};

class ActiveDevice : public HostObject {
 public:
  std::u16string name;
  std::shared_ptr<StreamDevice> device;
  bool active = true;
};

bool ReadString(HKEY key, const WCHAR* name, std::u16string& out) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_SZ || size < 2) {
    return false;
  }
  std::u16string buffer(size / 2, u'\0');
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                       &size) != ERROR_SUCCESS) {
    return false;
  }
  out.assign(buffer.c_str());
  return true;
}

// The directory holding this platform library, where libkelo.so sits too.
std::string PlatformDirectory() {
  Dl_info info = {};
  if (dladdr(reinterpret_cast<void*>(&PlatformDirectory), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Resolves `symbol` from a registered module or a loaded library.
using Resolver = std::function<void*(const std::string&)>;

Resolver FindModule(const std::u16string& dll) {
  {
    Modules& m = AllModules();
    std::lock_guard lock(m.mutex);
    const auto it = m.registered.find(Lower(dll));
    if (it != m.registered.end()) {
      SymbolTable symbols = it->second;
      return [symbols](const std::string& name) -> void* {
        const auto found = symbols.find(name);
        return found == symbols.end() ? nullptr : found->second;
      };
    }
  }
  const std::string name = ToUtf8(dll);
  void* library = dlopen(name.c_str(), RTLD_NOW);
  if (library == nullptr && name.find('/') == std::string::npos) {
    library = dlopen((PlatformDirectory() + name).c_str(), RTLD_NOW);
  }
  if (library == nullptr) return nullptr;
  // Never closed: the device's code must stay while anything may call it.
  return [library](const std::string& symbol) { return dlsym(library, symbol.c_str()); };
}

template <typename Fn>
Fn As(void* symbol) {
  return reinterpret_cast<Fn>(symbol);
}

}  // namespace

void RegisterModule(std::u16string_view dllName, SymbolTable symbols) {
  Modules& m = AllModules();
  std::lock_guard lock(m.mutex);
  m.registered[Lower(dllName)] = std::move(symbols);
}

void UnregisterModule(std::u16string_view dllName) {
  Modules& m = AllModules();
  std::lock_guard lock(m.mutex);
  m.registered.erase(Lower(dllName));
}

}  // namespace kelo::host

using namespace kelo::host;

extern "C" {

HANDLE WINAPI ActivateDeviceEx(LPCWSTR registryPath, LPCVOID, DWORD, LPVOID context) {
  HKEY key = nullptr;
  if (registryPath == nullptr ||
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, registryPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  std::u16string prefix;
  std::u16string dll;
  DWORD index = 1;
  const bool haveStrings = ReadString(key, u"Prefix", prefix) && ReadString(key, u"Dll", dll);
  DWORD type = 0;
  DWORD number = 0;
  DWORD size = sizeof number;
  if (RegQueryValueExW(key, u"Index", nullptr, &type, reinterpret_cast<BYTE*>(&number), &size) ==
          ERROR_SUCCESS &&
      type == REG_DWORD) {
    index = number;
  }
  RegCloseKey(key);
  if (!haveStrings || prefix.size() != 3 || index > 9) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }

  const std::u16string name = prefix + static_cast<char16_t>(u'0' + index) + u':';
  if (IsDeviceRegistered(name)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return nullptr;
  }
  const Resolver resolve = FindModule(dll);
  if (!resolve) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  const std::string p = ToUtf8(prefix);
  EntryPoints e;
  e.init = As<PFN_DEVICE_INIT>(resolve(p + "_Init"));
  e.deinit = As<PFN_DEVICE_DEINIT>(resolve(p + "_Deinit"));
  e.open = As<PFN_DEVICE_OPEN>(resolve(p + "_Open"));
  e.close = As<PFN_DEVICE_CLOSE>(resolve(p + "_Close"));
  e.ioControl = As<PFN_DEVICE_IOCONTROL>(resolve(p + "_IOControl"));
  e.read = As<PFN_DEVICE_READ>(resolve(p + "_Read"));
  e.write = As<PFN_DEVICE_WRITE>(resolve(p + "_Write"));
  if (!e.init || !e.deinit || !e.open || !e.close || !e.ioControl) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }

  SetLastError(0);
  const DWORD deviceContext = e.init(registryPath, context);
  if (deviceContext == 0) {
    if (GetLastError() == 0) SetLastError(ERROR_GEN_FAILURE);
    return nullptr;
  }
  auto device = std::make_shared<StreamDevice>(e, deviceContext);
  if (!PublishDevice(name, device)) {
    e.deinit(deviceContext);
    SetLastError(ERROR_ALREADY_EXISTS);
    return nullptr;
  }
  auto active = std::make_shared<ActiveDevice>();
  active->name = name;
  active->device = device;
  return AddHandle(active);
}

HANDLE WINAPI ActivateDevice(LPCWSTR registryPath, DWORD context) {
  return ActivateDeviceEx(registryPath, nullptr, 0,
                          reinterpret_cast<LPVOID>(static_cast<uintptr_t>(context)));
}

BOOL WINAPI DeactivateDevice(HANDLE handle) {
  auto active = std::dynamic_pointer_cast<ActiveDevice>(RemoveHandle(handle));
  if (!active) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  UnregisterDevice(active->name);
  return active->device->entries().deinit(active->device->context());
}

}  // extern "C"
