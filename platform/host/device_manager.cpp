// The device manager stand-in: loads a stream-device driver named by its
// registry key, calls its Init and publishes its legacy name ("KLP1:");
// and the caller-buffer functions of the same interface.

#include <dlfcn.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>

#include "platform/host/host_internal.h"

namespace kelo::host {

namespace {

// Test seam: CeOpenCallerBuffer refuses every buffer while set.
std::atomic<bool> g_failCallerBufferOpens{false};

struct EntryPoints {
  PFN_DEVICE_INIT init = nullptr;
  PFN_DEVICE_DEINIT deinit = nullptr;
  PFN_DEVICE_OPEN open = nullptr;
  PFN_DEVICE_CLOSE close = nullptr;
  PFN_DEVICE_IOCONTROL ioControl = nullptr;
  PFN_DEVICE_READ read = nullptr;    // optional
  PFN_DEVICE_WRITE write = nullptr;  // optional
};

struct Modules {
  std::mutex mutex;
  std::map<std::u16string, SymbolTable> registered;  // by lower-case name
  // Names between the check that they are free and their publication, so
  // that two activations of one key never both call Init.
  std::set<std::u16string> activating;
};

Modules& AllModules() {
  static auto* modules = new Modules;  // never destroyed: used until exit
  return *modules;
}

// The stream device as the namespace sees it: each call goes to the
// driver's entry points with the 32-bit contexts the driver handed out.
class StreamDevice : public Device {
 public:
  StreamDevice(EntryPoints entries, DWORD context) : e_(entries), context_(context) {}

  uintptr_t Open(DWORD access, DWORD share) override { return e_.open(context_, access, share); }
  BOOL Close(uintptr_t open) override { return e_.close(static_cast<DWORD>(open)); }
  BOOL IoControl(uintptr_t open, DWORD code, BYTE* in, DWORD inLen, BYTE* out, DWORD outLen,
                 DWORD* returned) override {
    return e_.ioControl(static_cast<DWORD>(open), code, in, inLen, out, outLen, returned);
  }
  // Read and write return the byte count, or MAXDWORD (-1) for failure.
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

  BOOL Deinit() { return e_.deinit(context_); }

 private:
  const EntryPoints e_;
  const DWORD context_;
};

// The handle ActivateDevice returns; only DeactivateDevice releases it.
class ActiveDevice : public HostObject {
 public:
  ActiveDevice(std::u16string n, std::shared_ptr<StreamDevice> d)
      : name(std::move(n)), device(std::move(d)) {}
  bool ClosedByCloseHandle() const override { return false; }
  const std::u16string name;
  const std::shared_ptr<StreamDevice> device;
};

// A REG_SZ value, up to its terminator; false when missing, of another type
// or empty.
bool ReadString(HKEY key, const WCHAR* name, std::u16string& out) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_SZ || size < sizeof(WCHAR)) {
    return false;
  }
  std::u16string buffer(size / sizeof(WCHAR), u'\0');
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  out.assign(buffer.c_str());
  return !out.empty();
}

bool IsPrefix(std::u16string_view prefix) {
  if (prefix.size() != 3) return false;
  for (const char16_t c : prefix) {
    if (!((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'))) return false;
  }
  return true;
}

// The directory holding this platform library, where libkelo.so sits too.
std::string PlatformDirectory() {
  Dl_info info = {};
  if (dladdr(reinterpret_cast<void*>(&PlatformDirectory), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  const std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

using Resolver = std::function<void*(const std::string&)>;

// Resolves symbols of a registered module, else of a loaded library; null
// when neither is found.
Resolver FindModule(const std::u16string& dll) {
  {
    Modules& m = AllModules();
    std::lock_guard lock(m.mutex);
    const auto it = m.registered.find(Lower(dll));
    if (it != m.registered.end()) {
      return [symbols = it->second](const std::string& name) -> void* {
        const auto found = symbols.find(name);
        return found == symbols.end() ? nullptr : found->second;
      };
    }
  }
  const std::string name = ToUtf8(dll);
  if (name.find('\0') != std::string::npos) return nullptr;
  void* library = dlopen(name.c_str(), RTLD_NOW);
  if (library == nullptr && name.find('/') == std::string::npos) {
    const std::string directory = PlatformDirectory();
    if (!directory.empty()) library = dlopen((directory + name).c_str(), RTLD_NOW);
  }
  if (library == nullptr) {
    dlerror();  // clears the message of the failed load
    return nullptr;
  }
  // Never closed: the driver's code must stay while anything may call it.
  return [library](const std::string& symbol) { return dlsym(library, symbol.c_str()); };
}

// Holds a name in Modules::activating for the length of one activation.
class NameReservation {
 public:
  // False when the name is published or being activated.
  bool Take(const std::u16string& name) {
    Modules& m = AllModules();
    std::lock_guard lock(m.mutex);
    if (IsDeviceRegistered(name) || !m.activating.insert(Lower(name)).second) return false;
    name_ = Lower(name);
    return true;
  }
  ~NameReservation() {
    if (name_.empty()) return;
    Modules& m = AllModules();
    std::lock_guard lock(m.mutex);
    m.activating.erase(name_);
  }

 private:
  std::u16string name_;
};

template <typename Fn>
Fn As(void* symbol) {
  return reinterpret_cast<Fn>(symbol);
}

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return nullptr;
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

void FailCallerBufferOpens(bool fail) { g_failCallerBufferOpens.store(fail); }

}  // namespace kelo::host

using namespace kelo::host;

extern "C" {

HANDLE WINAPI ActivateDeviceEx(LPCWSTR registryPath, LPCVOID, DWORD, LPVOID context) {
  const DWORD callerError = GetLastError();
  HKEY key = nullptr;
  if (WideView(registryPath).empty() ||
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, registryPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return Fail(ERROR_FILE_NOT_FOUND);
  }
  std::u16string prefix;
  std::u16string dll;
  const bool haveStrings = ReadString(key, u"Prefix", prefix) && ReadString(key, u"Dll", dll);
  DWORD index = 1;  // when the key has none
  DWORD type = 0;
  DWORD number = 0;
  DWORD size = sizeof number;
  const LONG indexResult =
      RegQueryValueExW(key, u"Index", nullptr, &type, reinterpret_cast<BYTE*>(&number), &size);
  if (indexResult == ERROR_SUCCESS && type == REG_DWORD && size == sizeof number) index = number;
  RegCloseKey(key);
  if (!haveStrings) return Fail(ERROR_FILE_NOT_FOUND);
  // The legacy name has room for a three-letter prefix and one digit.
  if (!IsPrefix(prefix) || index > 9) return Fail(ERROR_INVALID_PARAMETER);

  const std::u16string name = prefix + static_cast<char16_t>(u'0' + index) + u':';
  NameReservation reservation;
  if (!reservation.Take(name)) return Fail(ERROR_ALREADY_EXISTS);

  const Resolver resolve = FindModule(dll);
  if (!resolve) return Fail(ERROR_MOD_NOT_FOUND);
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
    return Fail(ERROR_PROC_NOT_FOUND);
  }

  // Init may fail without saying why.
  SetLastError(ERROR_SUCCESS);
  const DWORD deviceContext = e.init(registryPath, context);
  if (deviceContext == 0) {
    return Fail(GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_GEN_FAILURE);
  }
  auto device = std::make_shared<StreamDevice>(e, deviceContext);
  if (!PublishDevice(name, device)) {  // registered in-process meanwhile
    device->Deinit();
    return Fail(ERROR_ALREADY_EXISTS);
  }
  SetLastError(callerError);
  return AddHandle(std::make_shared<ActiveDevice>(name, std::move(device)));
}

HANDLE WINAPI ActivateDevice(LPCWSTR registryPath, DWORD context) {
  return ActivateDeviceEx(registryPath, nullptr, 0,
                          reinterpret_cast<LPVOID>(static_cast<uintptr_t>(context)));
}

BOOL WINAPI DeactivateDevice(HANDLE handle) {
  auto active = std::dynamic_pointer_cast<ActiveDevice>(RemoveHandleIf(
      handle, [](HostObject& o) { return dynamic_cast<ActiveDevice*>(&o) != nullptr; }));
  if (!active) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Open handles keep the adapter alive; new opens no longer find the name.
  UnpublishDevice(active->name, active->device.get());
  return active->device->Deinit();
}

HRESULT WINAPI CeOpenCallerBuffer(PVOID* destination, PVOID source, DWORD size,
                                  DWORD descriptor, BOOL) {
  if (destination == nullptr || (source == nullptr && size != 0)) return E_INVALIDARG;
  if (g_failCallerBufferOpens.load()) return E_ACCESSDENIED;
  // A wide string must end within the size the caller gave: the callee
  // reads up to the terminator and nothing of the caller's memory beyond.
  // The host cannot probe memory, so a string of unstated size is refused.
  if (descriptor == ARG_I_WSTR && source != nullptr) {
    const DWORD units = size / sizeof(WCHAR);
    const WCHAR* text = static_cast<const WCHAR*>(source);
    bool terminated = false;
    for (DWORD i = 0; i < units && !terminated; ++i) terminated = text[i] == 0;
    if (!terminated) return E_INVALIDARG;
  }
  // One address space: the caller's buffer is the callee's view of it.
  *destination = source;
  return S_OK;
}

HRESULT WINAPI CeCloseCallerBuffer(PVOID, PVOID, DWORD, DWORD) { return S_OK; }

}  // extern "C"
