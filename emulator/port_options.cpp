#include "emulator/port_options.h"

#include <set>
#include <vector>

namespace kelo::emulator {

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

bool BadValue(std::string* error, std::string_view key, std::string_view value,
              std::string_view expected) {
  *error = "bad value \"" + std::string(value) + "\" for option \"" + std::string(key) +
           "\" (" + std::string(expected) + ")";
  return false;
}

}  // namespace

std::optional<uint32_t> ParseNumber(std::string_view text, uint32_t max) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
    if (value > max) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

void ApplyFaults(const PrinterFaults& faults, EmulatedPrinter& printer) {
  if (!faults.writeChunks.empty()) printer.SetWriteChunks(faults.writeChunks);
  if (faults.takeNothing) printer.SetAcceptNothing(true);
  if (faults.followUpFails) printer.SetFollowUpFails(true);
  if (faults.vanishAfterWrites > 0) printer.SetVanishAfterWrites(faults.vanishAfterWrites);
}

PortType DefaultPortType(std::u16string_view portName) {
  if (portName.size() >= 3 && Upper(portName[0]) == u'C' && Upper(portName[1]) == u'O' &&
      Upper(portName[2]) == u'M') {
    return PortType::kSerial;
  }
  return PortType::kParallel;
}

bool ParsePortOptions(std::u16string_view portName, std::string_view options, PortOptions* out,
                      std::string* error) {
  PortOptions result;
  result.printer.type = DefaultPortType(portName);
  std::set<std::string> seen;
  for (std::string_view item : Split(options, ',')) {
    item = Trim(item);
    if (item.empty()) continue;
    const size_t equals = item.find('=');
    const std::string key(Trim(item.substr(0, equals)));
    const bool hasValue = equals != std::string_view::npos;
    const std::string_view value = hasValue ? Trim(item.substr(equals + 1)) : std::string_view();
    if (!seen.insert(key).second) {
      *error = "option \"" + key + "\" given twice";
      return false;
    }
    bool* const flag = key == "silent"         ? &result.printer.silent
                       : key == "announce"     ? &result.printer.announce
                       : key == "takenothing"  ? &result.faults.takeNothing
                       : key == "followupfail" ? &result.faults.followUpFails
                                               : nullptr;
    if (flag != nullptr) {
      if (hasValue) return BadValue(error, key, value, "takes no value");
      *flag = true;
      continue;
    }
    const bool known = key == "model" || key == "planes" || key == "width" ||
                       key == "rowbytes" || key == "status" || key == "delay" || key == "kind" ||
                       key == "capture" || key == "preview" || key == "chunks" ||
                       key == "vanish";
    if (!known) {
      *error = "unknown option \"" + key + "\"";
      return false;
    }
    if (!hasValue) {
      *error = "option \"" + key + "\" needs a value";
      return false;
    }
    if (key == "model") {
      if (value.empty() || value.size() > kMaxModelChars || value.find(';') != value.npos) {
        return BadValue(error, key, value, "1 to 200 characters, no ';'");
      }
      result.printer.model = std::string(value);
    } else if (key == "planes") {
      if (value != "1" && value != "4") return BadValue(error, key, value, "1 or 4");
      result.printer.planes = value == "1" ? 1 : 4;
      result.planesGiven = true;
    } else if (key == "width" || key == "rowbytes") {
      if (seen.count("width") > 0 && seen.count("rowbytes") > 0) {
        *error = "options \"width\" and \"rowbytes\" exclude each other";
        return false;
      }
      const bool dots = key == "width";
      const uint32_t max = dots ? kMaxWidthDots : kMaxWidthDots / 8;
      const std::optional<uint32_t> n = ParseNumber(value, max);
      if (!n || *n == 0) {
        return BadValue(error, key, value,
                        dots ? "1 to " + std::to_string(max) + " dots"
                             : "1 to " + std::to_string(max) + " bytes");
      }
      result.printer.widthDots = static_cast<int>(dots ? *n : *n * 8);
    } else if (key == "status") {
      const std::optional<uint32_t> n = ParseNumber(value, 0xFF);
      if (!n) return BadValue(error, key, value, "0x00 to 0xFF");
      result.printer.status = static_cast<BYTE>(*n);
    } else if (key == "delay") {
      const std::optional<uint32_t> n = ParseNumber(value, kMaxDelayMs);
      if (!n) return BadValue(error, key, value, "0 to " + std::to_string(kMaxDelayMs) + " ms");
      result.printer.replyDelayMs = *n;
    } else if (key == "kind") {
      if (value != "serial" && value != "parallel") {
        return BadValue(error, key, value, "serial or parallel");
      }
      result.printer.type = value == "serial" ? PortType::kSerial : PortType::kParallel;
    } else if (key == "capture" || key == "preview") {
      if (value.empty()) return BadValue(error, key, value, "a file name");
      (key == "capture" ? result.capturePath : result.previewPath) = std::string(value);
    } else if (key == "chunks") {
      const std::vector<std::string_view> sizes = Split(value, '/');
      const std::string expected =
          "1 to " + std::to_string(kMaxWriteChunks) + " byte counts separated by '/'";
      if (sizes.size() > kMaxWriteChunks) return BadValue(error, key, value, expected);
      for (std::string_view size : sizes) {
        const std::optional<uint32_t> n = ParseNumber(Trim(size), 0xFFFFFFFF);
        if (!n) return BadValue(error, key, value, expected);
        result.faults.writeChunks.push_back(*n);
      }
    } else if (key == "vanish") {
      const std::optional<uint32_t> n = ParseNumber(value, kMaxVanishWrites);
      if (!n || *n == 0) {
        return BadValue(error, key, value, "1 to " + std::to_string(kMaxVanishWrites) + " writes");
      }
      result.faults.vanishAfterWrites = static_cast<int>(*n);
    }
  }
  *out = std::move(result);
  return true;
}

}  // namespace kelo::emulator
