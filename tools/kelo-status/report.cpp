#include "tools/kelo-status/report.h"

#include <cstdio>

namespace kelo::status {

using kelo::cli::PrinterState;

std::string RecordTime(const StatusRecord& record) {
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u",
                static_cast<unsigned>(record.yearLow | record.yearHigh << 8),
                static_cast<unsigned>(record.month), static_cast<unsigned>(record.day),
                static_cast<unsigned>(record.hour), static_cast<unsigned>(record.minute),
                static_cast<unsigned>(record.second));
  return text;
}

std::string RecordLine(const StatusRecord& record) {
  char byte[8];
  std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned>(record.status));
  const PrinterState state = kelo::cli::StateOfByte(record.status);
  return RecordTime(record) + "  " + byte + "  " +
         (state == PrinterState::kNoAnswer ? "no status" : kelo::cli::StateWords(state));
}

std::string PortLabel(const std::string& port) {
  return !port.empty() && port.back() == ':' ? port + " " : port + ": ";
}

std::string StatusLine(const std::string& port, const kelo::cli::PrinterStatus& status,
                       DWORD timeoutMs) {
  std::string line = PortLabel(port) + kelo::cli::StateWords(status.state);
  if (status.state == PrinterState::kNoAnswer) {
    line += " within " + std::to_string(timeoutMs) + " ms";
  }
  return line;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string StatusJson(const std::string& port, const kelo::cli::PrinterStatus& status) {
  std::string json = "{\"port\":" + JsonString(port) + ",\"state\":\"" +
                     kelo::cli::StateKey(status.state) + "\",\"words\":" +
                     JsonString(kelo::cli::StateWords(status.state)) +
                     ",\"code\":" + std::to_string(status.code) +
                     ",\"exit\":" + std::to_string(kelo::cli::ExitCodeOf(status.state)) +
                     ",\"records\":[";
  for (size_t i = 0; i < status.records.size(); ++i) {
    if (i > 0) json += ',';
    json += "{\"time\":\"" + RecordTime(status.records[i]) +
            "\",\"status\":" + std::to_string(status.records[i].status) + '}';
  }
  return json + "]}";
}

std::string ErrorJson(const std::string& port, const std::string& message, int exitCode) {
  return "{\"port\":" + JsonString(port) + ",\"state\":\"error\",\"error\":" +
         JsonString(message) + ",\"exit\":" + std::to_string(exitCode) + '}';
}

std::string ResetJson(const std::string& port, bool byRts) {
  return "{\"port\":" + JsonString(port) + ",\"reset\":\"" + (byRts ? "rts" : "command") +
         "\",\"exit\":0}";
}

}  // namespace kelo::status
