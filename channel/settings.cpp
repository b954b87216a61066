#include "channel/printer_channel.h"

bool ReadRegistryNumber(HKEY key, const WCHAR* name, DWORD& value) {
  DWORD type = REG_NONE;
  DWORD data = 0;
  DWORD size = sizeof data;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  // Numbers are stored as 4-byte values; text that happens to be 4 bytes
  // long ("1" and its terminator) is not a number.
  if (size != sizeof data || (type != REG_DWORD && type != REG_BINARY)) return false;
  value = data;
  return true;
}

ChannelSettings ReadChannelSettings() {
  ChannelSettings settings;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriverKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return settings;
  }
  ReadRegistryNumber(key, TEXT("numWakeUpBytes"), settings.numWakeUpBytes);
  ReadRegistryNumber(key, TEXT("EnableResetStatusviaRTS"), settings.enableResetStatusViaRts);
  RegCloseKey(key);
  return settings;
}
