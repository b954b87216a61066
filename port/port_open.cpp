#include "port/port_open.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "platform/kernel.h"
#include "platform/registry.h"
#include "port/port_kind.h"

namespace {

constexpr const WCHAR* kServiceKey = TEXT("Drivers\\BuiltIn\\KLP");
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
    {TEXT("110"), 110},         {TEXT("300"), 300},         {TEXT("600"), 600},       {TEXT("1200"), 1200},
    {TEXT("2400"), 2400},       {TEXT("4800"), 4800},       {TEXT("9600"), 9600},     {TEXT("14400"), 14400},
    {TEXT("19200"), 19200},     {TEXT("38400"), 38400},     {TEXT("56000"), 56000},   {TEXT("57600"), 57600},
    {TEXT("115200"), 115200},   {TEXT("128000"), 128000},   {TEXT("256000"), 256000}, {TEXT("460800"), 460800},
    {TEXT("921600"), 921600},
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
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Printers\\Ports"), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return nullptr;
  }
  NameBuffer result;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, TEXT("DefaultPrintPort"), nullptr, &type, nullptr, &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    // The stored size plus a terminator, never less than six characters.
    const size_t chars = std::max<size_t>(size / sizeof(WCHAR) + 2, kMinNameChars);
    NameBuffer buffer(new (std::nothrow) WCHAR[chars]);
    if (buffer) {
      std::fill_n(buffer.get(), chars, WCHAR{0});
      DWORD readSize = static_cast<DWORD>((chars - 1) * sizeof(WCHAR));
      if (RegQueryValueExW(key, TEXT("DefaultPrintPort"), nullptr, &type,
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
    QueryDword(key, TEXT("PrintTimeout"), &timeout);
    RegCloseKey(key);
  }
  return timeout;
}

bool PrefixIs(const WCHAR* name, const WCHAR* prefix) {
  return CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, name, 3, prefix, 3) == CSTR_EQUAL;
}

BYTE ClassifyPortName(const WCHAR* name) {
  if (WideLength(name) < 3) return kPortOther;
  if (PrefixIs(name, TEXT("LPT"))) return kPortParallel;
  if (PrefixIs(name, TEXT("COM"))) return kPortSerial;
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
  if (QueryDword(key, TEXT("XonXoff"), &value)) {
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
  if (QueryDword(key, TEXT("StopBits"), &value)) {
    dcb->StopBits = value == 0 ? ONESTOPBIT : value == 1 ? ONE5STOPBITS : TWOSTOPBITS;
  }
  if (QueryDword(key, TEXT("Parity"), &value)) {
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
    copy = CopyName(TEXT("LPT1:"));
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
