#include "port/port_open.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "platform/kernel.h"
#include "platform/registry.h"
#include "port/port_kind.h"

namespace {

constexpr const WCHAR* kServiceKey = u"Drivers\\BuiltIn\\KLP";
constexpr DWORD kDefaultBaudRate = 115200;
constexpr DWORD kDefaultPrintTimeoutMs = 500;
// Room for the five-character short form ("COM1:") and its terminator.
constexpr size_t kMinNameChars = 6;
// The rate text of a serial name starts at its seventh character.
constexpr size_t kRateTextOffset = 6;

struct BaudEntry {
  const WCHAR* text;
  DWORD rate;
};
// Compared in this order; the whole rest of the name must equal the text.
constexpr BaudEntry kBaudTable[] = {
    {u"110", 110},         {u"300", 300},         {u"600", 600},       {u"1200", 1200},
    {u"2400", 2400},       {u"4800", 4800},       {u"9600", 9600},     {u"14400", 14400},
    {u"19200", 19200},     {u"38400", 38400},     {u"56000", 56000},   {u"57600", 57600},
    {u"115200", 115200},   {u"128000", 128000},   {u"256000", 256000}, {u"460800", 460800},
    {u"921600", 921600},
};

size_t WideLength(const WCHAR* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

bool WideEqual(const WCHAR* a, const WCHAR* b) {
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

using NameBuffer = std::unique_ptr<WCHAR[]>;

NameBuffer CopyName(LPCWSTR name) {
  const size_t length = WideLength(name);
  const size_t chars = std::max(length + 1, kMinNameChars);
  NameBuffer copy(new (std::nothrow) WCHAR[chars]);
  if (!copy) return nullptr;
  std::fill_n(copy.get(), chars, WCHAR{0});
  std::copy_n(name, length, copy.get());
  return copy;
}

// "DefaultPrintPort" under "Printers\Ports", REG_SZ only; null when absent.
NameBuffer ReadDefaultPortName() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Printers\\Ports", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return nullptr;
  }
  NameBuffer result;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, u"DefaultPrintPort", nullptr, &type, nullptr, &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    // The stored size plus a terminator, never less than six characters.
    const size_t chars = std::max<size_t>(size / sizeof(WCHAR) + 2, kMinNameChars);
    NameBuffer buffer(new (std::nothrow) WCHAR[chars]);
    if (buffer) {
      std::fill_n(buffer.get(), chars, WCHAR{0});
      DWORD readSize = static_cast<DWORD>((chars - 1) * sizeof(WCHAR));
      if (RegQueryValueExW(key, u"DefaultPrintPort", nullptr, &type,
                           reinterpret_cast<BYTE*>(buffer.get()), &readSize) == ERROR_SUCCESS &&
          type == REG_SZ) {
        buffer[std::min<size_t>(readSize / sizeof(WCHAR), chars - 1)] = 0;
        result = std::move(buffer);
      }
    }
  }
  RegCloseKey(key);
  return result;
}


DWORD ReadPrintTimeout() {
  DWORD timeout = kDefaultPrintTimeoutMs;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    QueryDword(key, u"PrintTimeout", &timeout);
    RegCloseKey(key);
  }
  return timeout;
}

bool PrefixIs(const WCHAR* name, const WCHAR* prefix) {
  return CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, name, 3, prefix, 3) == CSTR_EQUAL;
}

BYTE ClassifyPortName(const WCHAR* name) {
  if (WideLength(name) < 3) return kPortOther;
  if (PrefixIs(name, u"LPT")) return kPortParallel;
  if (PrefixIs(name, u"COM")) return kPortSerial;
  return kPortOther;
}

void WritePortTimeouts(HANDLE port, DWORD printTimeoutMs) {
  COMMTIMEOUTS current{};
  GetCommTimeouts(port, &current);  // read as the platform expects; not used
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 10;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 20;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = printTimeoutMs;
  SetCommTimeouts(port, &timeouts);
}

// The device name proper: three letters, a digit, a colon ("COM12:" opens
// COM1:). The buffer holds at least six characters.
void ShortenToDeviceName(WCHAR* name) {
  name[4] = u':';
  name[5] = 0;
}

}  // namespace

bool QueryDword(HKEY key, const WCHAR* name, DWORD* value) {
  DWORD data = 0;
  DWORD size = sizeof(data);
  DWORD type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  *value = data;
  return true;
}

DWORD BaudRateFromPortName(LPCWSTR name) {
  if (name == nullptr || WideLength(name) <= kRateTextOffset) return kDefaultBaudRate;
  const WCHAR* text = name + kRateTextOffset;
  for (const BaudEntry& entry : kBaudTable) {
    if (WideEqual(text, entry.text)) return entry.rate;
  }
  return kDefaultBaudRate;
}

void ApplySerialSettings(DCB* dcb) {
  if (dcb == nullptr) return;
  dcb->fOutX = 1;
  dcb->fInX = 1;
  dcb->Parity = NOPARITY;
  dcb->StopBits = TWOSTOPBITS;

  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  DWORD value = 0;
  if (QueryDword(key, u"XonXoff", &value)) {
    if (value == 0) {
      dcb->fOutX = 0;
      dcb->fInX = 0;
      dcb->fOutxCtsFlow = 1;
      dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
      dcb->fOutX = 1;
      dcb->fInX = 1;
    }
  }
  if (QueryDword(key, u"StopBits", &value)) {
    dcb->StopBits = value == 0 ? ONESTOPBIT : value == 1 ? ONE5STOPBITS : TWOSTOPBITS;
  }
  if (QueryDword(key, u"Parity", &value)) {
    dcb->Parity = value <= SPACEPARITY ? static_cast<BYTE>(value) : NOPARITY;
  }
  RegCloseKey(key);
}

HANDLE OpenPrinterPort(LPCWSTR name, BYTE* kindOut) {
  if (kindOut == nullptr) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);

  NameBuffer copy;
  if (name != nullptr) copy = CopyName(name);
  if (!copy) copy = ReadDefaultPortName();
  if (!copy) {
    copy = CopyName(u"LPT1:");
    if (!copy) {
      SetLastError(ERROR_OUTOFMEMORY);
      return INVALID_HANDLE_VALUE;
    }
  }

  const BYTE kind = ClassifyPortName(copy.get());
  // From the name as given, before it is cut to the device name.
  const DWORD baudRate = kind == kPortSerial ? BaudRateFromPortName(copy.get()) : 0;
  const DWORD printTimeout = ReadPrintTimeout();

  HANDLE port = INVALID_HANDLE_VALUE;
  switch (kind) {
    case kPortSerial:
      ShortenToDeviceName(copy.get());
      port = CreateFileW(copy.get(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
      if (port != INVALID_HANDLE_VALUE) {
        DCB dcb;
        std::memset(&dcb, 0, sizeof(dcb));
        dcb.DCBlength = sizeof(DCB);
        if (GetCommState(port, &dcb)) {
          dcb.BaudRate = baudRate;
          ApplySerialSettings(&dcb);
          SetCommState(port, &dcb);
        }
        WritePortTimeouts(port, printTimeout);
        *kindOut = kPortSerial;
      }
      break;
    case kPortParallel:
      ShortenToDeviceName(copy.get());
      port = CreateFileW(copy.get(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
      if (port != INVALID_HANDLE_VALUE) {
        *kindOut = kPortParallel;
        WritePortTimeouts(port, printTimeout);
      }
      break;
    default:
      port = CreateFileW(copy.get(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
      if (port != INVALID_HANDLE_VALUE) *kindOut = kPortParallel;
      break;
  }
  return port;
}
