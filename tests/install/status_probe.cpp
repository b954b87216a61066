// An application built against the installed library: it starts the device
// service as the platform's device manager would, opens "KLP1:" and asks the
// printer on a port for its status with the application commands. Prints
// the port and the last status byte ("COM1: 0x82") or "COM1: no answer".
// Exit codes: 0 answered, 3 no answer, 1 a call failed, 2 usage.

#include <cstdio>
#include <cstring>
#include <string>

#include <kelo/platform/ce_declarations.h>
#include <kelo/platform/kernel.h>
#include <kelo/platform/threads.h>
#include <kelo/service_control.h>

namespace {

int Failed(const char* what) {
  std::fprintf(stderr, "status_probe: %s failed (error %u)\n", what,
               static_cast<unsigned>(GetLastError()));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::strlen(argv[1]) == 0 || std::strlen(argv[1]) > 16) {
    std::fprintf(stderr, "usage: status_probe PORT   (e.g. COM1:)\n");
    return 2;
  }
  std::u16string port;
  for (const char* c = argv[1]; *c != 0; ++c) {
    if (static_cast<unsigned char>(*c) > 0x7F) {
      std::fprintf(stderr, "status_probe: port names are ASCII\n");
      return 2;
    }
    port.push_back(static_cast<char16_t>(*c));
  }
  const DWORD portBytes = static_cast<DWORD>((port.size() + 1) * sizeof(WCHAR));

  // On the device the device manager loads the service at start-up from
  // this key; on the host each process loads it itself (the key's "Dll").
  HANDLE active = ActivateDevice(u"Drivers\\BuiltIn\\KLP", 0);
  if (active == nullptr) return Failed("ActivateDevice");
  HANDLE klp = CreateFileW(u"KLP1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
  if (klp == INVALID_HANDLE_VALUE || klp == nullptr) return Failed("CreateFileW KLP1:");
  HANDLE data = CreateEventW(nullptr, FALSE, FALSE, KELO_STATUS_DATA_EVENT);
  HANDLE timeout = CreateEventW(nullptr, FALSE, FALSE, KELO_STATUS_TIMEOUT_EVENT);
  if (data == nullptr || timeout == nullptr) return Failed("CreateEventW");

  PortRequest ask = {};
  ask.name = port.c_str();
  ask.nameSize = static_cast<uint8_t>(portBytes);
  ask.timeout = 1000;
  if (!DeviceIoControl(klp, KLP_UPDATE_PRINTERSTATUS, &ask, sizeof ask, nullptr, 0, nullptr,
                       nullptr)) {
    return Failed("KLP_UPDATE_PRINTERSTATUS");
  }
  // The monitor gives up 100 ms past the time-out; 600 ms of slack beyond.
  for (DWORD waited = 0; waited < 1700; waited += 10) {
    if (WaitForSingleObject(data, 10) == WAIT_OBJECT_0) {
      Sleep(50);  // further bytes of the same answer
      break;
    }
    if (WaitForSingleObject(timeout, 0) == WAIT_OBJECT_0) break;
  }

  DWORD size = 0;
  if (!DeviceIoControl(klp, KLP_GET_PRINTERSTATUS, const_cast<char16_t*>(port.c_str()), portBytes,
                       nullptr, 0, &size, nullptr)) {
    return Failed("KLP_GET_PRINTERSTATUS (size)");
  }
  StatusRecord records[64] = {};
  DWORD got = 0;
  if (size > sizeof records) size = sizeof records;
  if (size > 0 && !DeviceIoControl(klp, KLP_GET_PRINTERSTATUS, const_cast<char16_t*>(port.c_str()),
                                   portBytes, records, size, &got, nullptr)) {
    return Failed("KLP_GET_PRINTERSTATUS");
  }
  int last = -1;
  for (DWORD i = 0; i < got / sizeof(StatusRecord); ++i) {
    if ((records[i].status & KLP_STATUS_CLASS_MASK) == KLP_STATUS_CLASS) last = records[i].status;
  }

  CloseHandle(timeout);
  CloseHandle(data);
  if (!CloseHandle(klp)) return Failed("CloseHandle KLP1:");
  if (!DeactivateDevice(active)) return Failed("DeactivateDevice");
  if (last < 0) {
    std::printf("%s no answer\n", argv[1]);
    return 3;
  }
  std::printf("%s 0x%02X\n", argv[1], static_cast<unsigned>(last));
  return 0;
}
