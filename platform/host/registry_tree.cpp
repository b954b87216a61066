// Lookups and changes in the registry's in-memory tree.

#include "platform/host/registry_tree.h"

#include <cstring>

#include "platform/host/host_internal.h"

namespace kelo::host {

namespace {

// Calls `step` with each non-empty part of a backslash-separated path; stops
// when it returns false.
template <typename Step>
void ForEachPart(std::u16string_view path, Step step) {
  size_t at = 0;
  while (at < path.size()) {
    size_t end = path.find(u'\\', at);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > at && !step(path.substr(at, end - at))) return;
    at = end + 1;
  }
}

}  // namespace

std::shared_ptr<RegKey> FindKey(const std::shared_ptr<RegKey>& base, std::u16string_view path) {
  std::shared_ptr<RegKey> key = base;
  ForEachPart(path, [&](std::u16string_view part) {
    const auto it = key->subkeys.find(Lower(part));
    key = it == key->subkeys.end() ? nullptr : it->second;
    return key != nullptr;
  });
  return key;
}

std::shared_ptr<RegKey> CreateKey(const std::shared_ptr<RegKey>& base, std::u16string_view path,
                                  bool* created) {
  std::shared_ptr<RegKey> key = base;
  bool made = false;
  ForEachPart(path, [&](std::u16string_view part) {
    auto& slot = key->subkeys[Lower(part)];
    if (!slot) {
      slot = std::make_shared<RegKey>();
      slot->name = std::u16string(part);
      made = true;
    }
    key = slot;
    return true;
  });
  if (created != nullptr) *created = made;
  return key;
}

void MarkDeleted(RegKey& key) {
  key.deleted = true;
  for (auto& entry : key.subkeys) MarkDeleted(*entry.second);
}

bool DeleteKey(RegKey& base, std::u16string_view path) {
  // The parent and the last part, with empty parts skipped.
  while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  const size_t slash = path.rfind(u'\\');
  const std::u16string_view leaf =
      slash == std::u16string_view::npos ? path : path.substr(slash + 1);
  if (leaf.empty()) return false;
  RegKey* parent = &base;
  if (slash != std::u16string_view::npos) {
    bool found = true;
    ForEachPart(path.substr(0, slash), [&](std::u16string_view part) {
      const auto it = parent->subkeys.find(Lower(part));
      found = it != parent->subkeys.end();
      if (found) parent = it->second.get();
      return found;
    });
    if (!found) return false;
  }
  const auto it = parent->subkeys.find(Lower(leaf));
  if (it == parent->subkeys.end()) return false;
  MarkDeleted(*it->second);
  parent->subkeys.erase(it);
  return true;
}

void SetValue(RegKey& key, std::u16string_view valueName, DWORD type, std::vector<BYTE> data) {
  RegValue& value = key.values[Lower(valueName)];
  value.name = std::u16string(valueName);
  value.type = type;
  value.data = std::move(data);
}

void SetDword(RegKey& key, std::u16string_view valueName, DWORD number) {
  std::vector<BYTE> data(sizeof number);
  std::memcpy(data.data(), &number, sizeof number);
  SetValue(key, valueName, REG_DWORD, std::move(data));
}

void SetString(RegKey& key, std::u16string_view valueName, std::u16string_view text) {
  std::vector<BYTE> data((text.size() + 1) * sizeof(WCHAR), 0);
  std::memcpy(data.data(), text.data(), text.size() * sizeof(WCHAR));
  SetValue(key, valueName, REG_SZ, std::move(data));
}

bool DeleteValue(RegKey& key, std::u16string_view valueName) {
  return key.values.erase(Lower(valueName)) > 0;
}

}  // namespace kelo::host
