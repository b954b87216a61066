#include "emulator/emulator_ports.h"

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "emulator/file_io.h"
#include "emulator/port_options.h"
#include "platform/host/host_ports.h"

namespace kelo::emulator {

namespace {

struct Served {
  std::u16string options;  // the mapping text the printer was made from
  std::shared_ptr<EmulatedPrinter> printer;
};

struct Table {
  std::mutex mutex;
  std::map<std::u16string, Served> printers;  // by upper-case port name
};

std::atomic<int> jobPlanes{1};

Table& Printers() {
  static auto* table = new Table;  // never destroyed: ports may be opened until exit
  return *table;
}

std::u16string Key(std::u16string_view name) {
  std::u16string key(name);
  for (char16_t& c : key) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  }
  return key;
}

void Diagnose(std::u16string_view name, const std::string& message) {
  const std::u16string line = u"emulator port " + std::u16string(name) + u" " +
                              kelo::host::FromUtf8(message) + u"\r\n";
  OutputDebugStringW(line.c_str());
}

// The directories a capture or preview goes into are made as needed, so that
// a mapping like "capture=out/job.bin" works in a fresh directory. A failure
// shows when the file itself cannot be created.
void MakeParentDirectories(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  std::error_code ignored;
  if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
}

std::shared_ptr<kelo::host::Device> MakePrinter(std::u16string_view name,
                                                std::u16string_view options) {
  Table& table = Printers();
  std::lock_guard lock(table.mutex);
  const std::u16string key = Key(name);
  const auto it = table.printers.find(key);
  if (it != table.printers.end() && it->second.options == options) return it->second.printer;

  PortOptions parsed;
  std::string error;
  if (!ParsePortOptions(name, kelo::host::ToUtf8(options), &parsed, &error)) {
    Diagnose(name, error);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!parsed.planesGiven) parsed.printer.planes = jobPlanes.load();
  auto printer = std::make_shared<EmulatedPrinter>(parsed.printer);
  ApplyFaults(parsed.faults, *printer);
  for (const std::string* file : {&parsed.capturePath, &parsed.previewPath}) {
    if (!file->empty()) MakeParentDirectories(*file);
  }
  if (!parsed.capturePath.empty() && !printer->SetCaptureFile(parsed.capturePath)) {
    const DWORD reason = GetLastError();
    Diagnose(name, "cannot create capture " + parsed.capturePath + ": " + ErrorText(reason));
    SetLastError(reason);
    return nullptr;
  }
  if (!parsed.previewPath.empty()) printer->SetPreviewFile(parsed.previewPath);
  table.printers[key] = Served{std::u16string(options), printer};
  return printer;
}

}  // namespace

void InstallEmulatorPorts() { kelo::host::SetPortScheme(u"emulator", MakePrinter); }

void SetJobPlanes(int planes) { jobPlanes.store(planes == 4 ? 4 : 1); }

std::shared_ptr<EmulatedPrinter> EmulatedPrinterFor(std::u16string_view portName) {
  Table& table = Printers();
  std::lock_guard lock(table.mutex);
  const auto it = table.printers.find(Key(portName));
  return it == table.printers.end() ? nullptr : it->second.printer;
}

}  // namespace kelo::emulator
