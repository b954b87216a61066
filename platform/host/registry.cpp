// The registry: one in-memory HKEY_LOCAL_MACHINE tree. It starts with the
// image's built-in content; the file named by KELO_REGISTRY is applied on
// top at first use.

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/host/host_internal.h"
#include "platform/host/registry_tree.h"

namespace kelo::host {

namespace {

struct Registry {
  std::recursive_mutex mutex;
  std::shared_ptr<RegKey> root = std::make_shared<RegKey>();
  std::map<uintptr_t, std::shared_ptr<RegKey>> open;
  uintptr_t next = 0x10000;
};

void AddBuiltIn(RegKey& root) {
  RegKey& klp = *root.Create(u"Drivers\\BuiltIn\\KLP");
  klp.SetString(u"Prefix", u"KLP");
  klp.SetDword(u"Index", 1);
  klp.SetString(u"Dll", u"libkelo.so");
}

Registry& Reg() {
  static Registry* registry = [] {
    auto* created = new Registry;  // never destroyed: used until exit
    AddBuiltIn(*created->root);
    if (const char* path = std::getenv("KELO_REGISTRY"); path != nullptr && *path != 0) {
      LoadRegistryFileInto(*created->root, path);
    }
    return created;
  }();
  return *registry;
}

std::shared_ptr<RegKey> KeyOf(HKEY key) {
  Registry& r = Reg();
  if (key == HKEY_LOCAL_MACHINE) return r.root;
  const auto it = r.open.find(reinterpret_cast<uintptr_t>(key));
  if (it == r.open.end() || it->second->deleted) return nullptr;
  return it->second;
}

HKEY AddOpenKey(std::shared_ptr<RegKey> key) {
  Registry& r = Reg();
  const uintptr_t value = r.next;
  r.next += 4;
  r.open.emplace(value, std::move(key));
  return reinterpret_cast<HKEY>(value);
}

}  // namespace

// ---- tree ----

RegKey* RegKey::Find(std::u16string_view path) {
  RegKey* key = this;
  size_t at = 0;
  while (key != nullptr && at < path.size()) {
    size_t end = path.find(u'\\', at);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > at) {
      const auto it = key->subkeys.find(Lower(path.substr(at, end - at)));
      key = it == key->subkeys.end() ? nullptr : it->second.get();
    }
    at = end + 1;
  }
  return key;
}

std::shared_ptr<RegKey> RegKey::FindShared(std::u16string_view path) {
  std::shared_ptr<RegKey> key;
  RegKey* parent = this;
  size_t at = 0;
  while (at < path.size()) {
    size_t end = path.find(u'\\', at);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > at) {
      const auto it = parent->subkeys.find(Lower(path.substr(at, end - at)));
      if (it == parent->subkeys.end()) return nullptr;
      key = it->second;
      parent = key.get();
    }
    at = end + 1;
  }
  return key;
}

RegKey* RegKey::Create(std::u16string_view path) {
  RegKey* key = this;
  size_t at = 0;
  while (at < path.size()) {
    size_t end = path.find(u'\\', at);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > at) {
      const std::u16string part(path.substr(at, end - at));
      auto& slot = key->subkeys[Lower(part)];
      if (!slot) {
        slot = std::make_shared<RegKey>();
        slot->name = part;
      }
      key = slot.get();
    }
    at = end + 1;
  }
  return key;
}

void RegKey::MarkDeleted() {
  deleted = true;
  for (auto& entry : subkeys) entry.second->MarkDeleted();
}

bool RegKey::Delete(std::u16string_view path) {
  const size_t slash = path.rfind(u'\\');
  RegKey* parent = slash == std::u16string_view::npos ? this : Find(path.substr(0, slash));
  const std::u16string_view leaf =
      slash == std::u16string_view::npos ? path : path.substr(slash + 1);
  if (parent == nullptr || leaf.empty()) return false;
  const auto it = parent->subkeys.find(Lower(leaf));
  if (it == parent->subkeys.end()) return false;
  it->second->MarkDeleted();
  parent->subkeys.erase(it);
  return true;
}

void RegKey::SetValue(std::u16string_view valueName, DWORD type, std::vector<BYTE> data) {
  RegValue& value = values[Lower(valueName)];
  value.name = std::u16string(valueName);
  value.type = type;
  value.data = std::move(data);
}

void RegKey::SetDword(std::u16string_view valueName, DWORD number) {
  std::vector<BYTE> data(4);
  std::memcpy(data.data(), &number, 4);
  SetValue(valueName, REG_DWORD, std::move(data));
}

void RegKey::SetString(std::u16string_view valueName, std::u16string_view text) {
  std::vector<BYTE> data((text.size() + 1) * 2, 0);
  std::memcpy(data.data(), text.data(), text.size() * 2);
  SetValue(valueName, REG_SZ, std::move(data));
}

// ---- seams ----

bool LoadRegistryFile(const std::string& path) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  r.root->MarkDeleted();
  r.root = std::make_shared<RegKey>();
  AddBuiltIn(*r.root);
  return LoadRegistryFileInto(*r.root, path);
}

int ApplyRegistryText(std::string_view text, std::string_view sourceName) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  return ApplyRegistryTextTo(*r.root, text, sourceName);
}

void ResetRegistry() {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  r.root->MarkDeleted();
  r.root = std::make_shared<RegKey>();
  AddBuiltIn(*r.root);
}

void SetRegistryDword(std::u16string_view keyPath, std::u16string_view name, DWORD value) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  r.root->Create(keyPath)->SetDword(name, value);
}

void SetRegistryString(std::u16string_view keyPath, std::u16string_view name,
                       std::u16string_view value) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  r.root->Create(keyPath)->SetString(name, value);
}

void SetRegistryBinary(std::u16string_view keyPath, std::u16string_view name,
                       const std::vector<BYTE>& value) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  r.root->Create(keyPath)->SetValue(name, REG_BINARY, value);
}

bool RemoveRegistryValue(std::u16string_view keyPath, std::u16string_view name) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  RegKey* key = r.root->Find(keyPath);
  return key != nullptr && key->values.erase(Lower(name)) > 0;
}

bool RemoveRegistryKey(std::u16string_view keyPath) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  return r.root->Delete(keyPath);
}

}  // namespace kelo::host

using namespace kelo::host;

namespace {

std::u16string_view View(LPCWSTR text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text, WideLength(text));
}

}  // namespace

extern "C" {

LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  auto base = KeyOf(key);
  if (!base) return ERROR_INVALID_HANDLE;
  std::shared_ptr<RegKey> found = View(subKey).empty() ? base : base->FindShared(View(subKey));
  if (!found) return ERROR_FILE_NOT_FOUND;
  *result = AddOpenKey(std::move(found));
  return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM,
                            LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  auto base = KeyOf(key);
  if (!base) return ERROR_INVALID_HANDLE;
  const bool existed = base->Find(View(subKey)) != nullptr;
  base->Create(View(subKey));
  std::shared_ptr<RegKey> created = View(subKey).empty() ? base : base->FindShared(View(subKey));
  if (disposition != nullptr) *disposition = existed ? 2u : 1u;  // opened / created
  *result = AddOpenKey(std::move(created));
  return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  auto found = KeyOf(key);
  if (!found) return ERROR_INVALID_HANDLE;
  const auto it = found->values.find(Lower(View(valueName)));
  if (it == found->values.end()) return ERROR_FILE_NOT_FOUND;
  const RegValue& value = it->second;
  const auto size = static_cast<DWORD>(value.data.size());
  if (type != nullptr) *type = value.type;
  if (data == nullptr) {
    if (dataSize != nullptr) *dataSize = size;
    return ERROR_SUCCESS;
  }
  if (dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  if (*dataSize < size) {
    *dataSize = size;
    return ERROR_MORE_DATA;
  }
  std::memcpy(data, value.data.data(), size);
  *dataSize = size;
  return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data,
                           DWORD dataSize) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  auto found = KeyOf(key);
  if (!found) return ERROR_INVALID_HANDLE;
  if (data == nullptr && dataSize != 0) return ERROR_INVALID_PARAMETER;
  found->SetValue(View(valueName), type,
                  data == nullptr ? std::vector<BYTE>() : std::vector<BYTE>(data, data + dataSize));
  return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueW(HKEY key, LPCWSTR valueName) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  auto found = KeyOf(key);
  if (!found) return ERROR_INVALID_HANDLE;
  return found->values.erase(Lower(View(valueName))) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD,
                          LPWSTR, LPDWORD, PFILETIME) {
  if (name == nullptr || nameLength == nullptr) return ERROR_INVALID_PARAMETER;
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  auto found = KeyOf(key);
  if (!found) return ERROR_INVALID_HANDLE;
  if (index >= found->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  auto it = found->subkeys.begin();
  std::advance(it, index);
  const std::u16string& subName = it->second->name;
  if (*nameLength < subName.size() + 1) {
    *nameLength = static_cast<DWORD>(subName.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::memcpy(name, subName.c_str(), (subName.size() + 1) * sizeof(WCHAR));
  *nameLength = static_cast<DWORD>(subName.size());
  return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  auto found = KeyOf(key);
  if (!found) return ERROR_INVALID_HANDLE;
  if (View(subKey).empty()) return ERROR_INVALID_PARAMETER;
  return found->Delete(View(subKey)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegCloseKey(HKEY key) {
  Registry& r = Reg();
  std::lock_guard lock(r.mutex);
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  return r.open.erase(reinterpret_cast<uintptr_t>(key)) > 0 ? ERROR_SUCCESS
                                                            : ERROR_INVALID_HANDLE;
}

}  // extern "C"
