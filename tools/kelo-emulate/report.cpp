#include "report.h"

namespace kelo::tools {

std::string FormatReport(const kelo::emulator::StreamDecoder& decoder, int widthDots) {
  const int planes = decoder.planesPerLine();
  std::string out = "bytes: " + std::to_string(decoder.bytesSeen()) + "\n";
  out += "geometry: " + std::to_string(widthDots) + " dots (" + std::to_string(decoder.rowBytes()) +
         " bytes a row), " + std::to_string(planes) + (planes == 1 ? " plane\n" : " planes\n");
  if (planes == 1) {
    out += "rows: " + std::to_string(decoder.PlaneRows(0).size()) + "\n";
  } else {
    static constexpr const char* kNames[] = {"K", "C", "M", "Y"};
    out += "rows:";
    for (int p = 0; p < planes; ++p) {
      out += std::string(p == 0 ? " " : ", ") + kNames[p] + " " +
             std::to_string(decoder.PlaneRows(p).size());
    }
    out += "\n";
  }
  out += "lines: " + std::to_string(decoder.completedLines()) + "\n";
  out += "commands:";
  if (decoder.commandCounts().empty()) out += " none";
  bool first = true;
  for (const auto& [name, count] : decoder.commandCounts()) {
    out += std::string(first ? " " : ", ") + name + " x" + std::to_string(count);
    first = false;
  }
  out += "\n";
  if (decoder.error()) {
    out += "error at byte " + std::to_string(decoder.error()->offset) + ": " +
           decoder.error()->message + "\n";
  }
  return out;
}

}  // namespace kelo::tools
