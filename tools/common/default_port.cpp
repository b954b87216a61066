#include "tools/common/default_port.h"

#include "platform/host/host_api.h"
#include "platform/platform.h"

namespace kelo::cli {

std::u16string PortOrDefault(const std::optional<std::string>& option) {
  if (option) return kelo::host::FromUtf8(*option);
  std::u16string port = u"LPT1:";
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Printers\\Ports", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return port;
  }
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, u"DefaultPrintPort", nullptr, &type, nullptr, &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ && size >= 2 * sizeof(WCHAR)) {
    std::u16string value(size / sizeof(WCHAR), u'\0');
    if (RegQueryValueExW(key, u"DefaultPrintPort", nullptr, &type,
                         reinterpret_cast<BYTE*>(value.data()), &size) == ERROR_SUCCESS) {
      value.resize(std::char_traits<char16_t>::length(value.c_str()));
      if (!value.empty()) port = value;
    }
  }
  RegCloseKey(key);
  return port;
}

}  // namespace kelo::cli
