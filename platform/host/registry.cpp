// The registry: one in-memory HKEY_LOCAL_MACHINE tree, its key handles, the
// Reg* functions and the test seams. It starts with the image's built-in
// content; the file named by KELO_REGISTRY is applied on top at first use.

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/host/host_internal.h"
#include "platform/host/registry_tree.h"

namespace kelo::host {

namespace {

constexpr DWORD kCreatedNewKey = 1;  // RegCreateKeyExW dispositions
constexpr DWORD kOpenedExistingKey = 2;

struct Registry {
  std::mutex mutex;
  std::shared_ptr<RegKey> root;
  std::map<uintptr_t, std::shared_ptr<RegKey>> open;  // key handles
  // 2 modulo 4: never a value of the handle table, nor 0, -1 or a root key.
  uintptr_t next = 0x10002;
};

std::shared_ptr<RegKey> BuiltIn() {
  auto root = std::make_shared<RegKey>();
  RegKey& klp = *CreateKey(root, u"Drivers\\BuiltIn\\KLP");
  SetString(klp, u"Prefix", u"KLP");
  SetDword(klp, u"Index", 1);
  SetString(klp, u"Dll", u"libkelo.so");
  return root;
}

// Built on first use, from any thread (a function-local static).
Registry& Reg() {
  static Registry* registry = [] {
    auto* made = new Registry;  // never destroyed: threads may read it until exit
    made->root = BuiltIn();
    if (const char* path = std::getenv("KELO_REGISTRY"); path != nullptr && *path != 0) {
      LoadRegistryFileInto(made->root, path);
    }
    return made;
  }();
  return *registry;
}

// Replaces the tree; handles of the old one fail from now on.
void ReplaceRoot(Registry& r, std::shared_ptr<RegKey> root) {
  MarkDeleted(*r.root);
  r.root = std::move(root);
}

// The key behind a handle, null when the handle is unknown, of another root,
// or its key was deleted meanwhile. Call with the lock held.
std::shared_ptr<RegKey> KeyOf(Registry& r, HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return r.root;
  const auto it = r.open.find(reinterpret_cast<uintptr_t>(key));
  if (it == r.open.end() || it->second->deleted) return nullptr;
  return it->second;
}

HKEY AddOpenKey(Registry& r, std::shared_ptr<RegKey> key) {
  const uintptr_t value = r.next;
  r.next += 4;
  r.open.emplace(value, std::move(key));
  return reinterpret_cast<HKEY>(value);
}

}  // namespace

// ---- seams ----

bool LoadRegistryFile(const std::string& path) {
  auto root = BuiltIn();
  const bool read = LoadRegistryFileInto(root, path);  // parsed outside the lock
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  ReplaceRoot(r, std::move(root));
  return read;
}

int ApplyRegistryText(std::string_view text, std::string_view sourceName) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  return ApplyRegistryTextTo(r.root, text, sourceName);
}

void ResetRegistry() {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  ReplaceRoot(r, BuiltIn());
}

void SetRegistryDword(std::u16string_view keyPath, std::u16string_view name, DWORD value) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  SetDword(*CreateKey(r.root, keyPath), name, value);
}

void SetRegistryString(std::u16string_view keyPath, std::u16string_view name,
                       std::u16string_view value) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  SetString(*CreateKey(r.root, keyPath), name, value);
}

void SetRegistryBinary(std::u16string_view keyPath, std::u16string_view name,
                       const std::vector<BYTE>& value) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  SetValue(*CreateKey(r.root, keyPath), name, REG_BINARY, value);
}

bool RemoveRegistryValue(std::u16string_view keyPath, std::u16string_view name) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  const auto key = FindKey(r.root, keyPath);
  return key != nullptr && DeleteValue(*key, name);
}

bool RemoveRegistryKey(std::u16string_view keyPath) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  return DeleteKey(*r.root, keyPath);
}

}  // namespace kelo::host

using namespace kelo::host;

// Registry functions report through their result and leave the last error
// alone, as on the target.
extern "C" {

LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  const auto base = KeyOf(r, key);
  if (!base) return ERROR_INVALID_HANDLE;
  auto found = FindKey(base, WideView(subKey));
  if (!found) return ERROR_FILE_NOT_FOUND;
  *result = AddOpenKey(r, std::move(found));
  return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM,
                            LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  const auto base = KeyOf(r, key);
  if (!base) return ERROR_INVALID_HANDLE;
  bool created = false;
  auto made = CreateKey(base, WideView(subKey), &created);
  if (disposition != nullptr) *disposition = created ? kCreatedNewKey : kOpenedExistingKey;
  *result = AddOpenKey(r, std::move(made));
  return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize) {
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  const auto found = KeyOf(r, key);
  if (!found) return ERROR_INVALID_HANDLE;
  const auto it = found->values.find(Lower(WideView(valueName)));
  if (it == found->values.end()) return ERROR_FILE_NOT_FOUND;
  const RegValue& value = it->second;
  const auto size = static_cast<DWORD>(value.data.size());
  if (type != nullptr) *type = value.type;
  if (data == nullptr) {
    if (dataSize != nullptr) *dataSize = size;
    return ERROR_SUCCESS;
  }
  if (*dataSize < size) {
    *dataSize = size;
    return ERROR_MORE_DATA;
  }
  if (size != 0) std::memcpy(data, value.data.data(), size);
  *dataSize = size;
  return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data,
                           DWORD dataSize) {
  if (data == nullptr && dataSize != 0) return ERROR_INVALID_PARAMETER;
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  const auto found = KeyOf(r, key);
  if (!found) return ERROR_INVALID_HANDLE;
  SetValue(*found, WideView(valueName), type,
           data == nullptr ? std::vector<BYTE>() : std::vector<BYTE>(data, data + dataSize));
  return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueW(HKEY key, LPCWSTR valueName) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  const auto found = KeyOf(r, key);
  if (!found) return ERROR_INVALID_HANDLE;
  return DeleteValue(*found, WideView(valueName)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD,
                          LPWSTR className, LPDWORD classLength, PFILETIME lastWrite) {
  if (name == nullptr || nameLength == nullptr) return ERROR_INVALID_PARAMETER;
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  const auto found = KeyOf(r, key);
  if (!found) return ERROR_INVALID_HANDLE;
  if (index >= found->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  auto it = found->subkeys.begin();
  std::advance(it, index);
  const std::u16string& subName = it->second->name;
  // *nameLength comes in with room for the terminator and goes out without it.
  if (*nameLength < subName.size() + 1) {
    *nameLength = static_cast<DWORD>(subName.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::memcpy(name, subName.c_str(), (subName.size() + 1) * sizeof(WCHAR));
  *nameLength = static_cast<DWORD>(subName.size());
  // Keys have no class and no time stamp here.
  if (classLength != nullptr) {
    if (className != nullptr && *classLength > 0) className[0] = 0;
    *classLength = 0;
  }
  if (lastWrite != nullptr) *lastWrite = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  const auto found = KeyOf(r, key);
  if (!found) return ERROR_INVALID_HANDLE;
  if (WideView(subKey).empty()) return ERROR_INVALID_PARAMETER;
  return DeleteKey(*found, WideView(subKey)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegCloseKey(HKEY key) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  return r.open.erase(reinterpret_cast<uintptr_t>(key)) > 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // extern "C"
