#include "tools/kelo-server/printer_model.h"

#include "platform/host/host_api.h"

namespace kelo::server {

const std::vector<HeadModel>& HeadModels() {
  static const std::vector<HeadModel> models = {
      {"kelo-80mm",
       "kelo 80 mm thermal printer",
       80,
       {"om_kelo-80x113_80x113mm", "om_kelo-48x68_48x68mm", "roll_max_80x2000mm",
        "roll_min_1x1mm"}},
      {"kelo-48mm",
       "kelo 48 mm thermal printer",
       48,
       {"om_kelo-48x68_48x68mm", "roll_max_48x2000mm", "roll_min_1x1mm"}},
  };
  return models;
}

const HeadModel* FindHead(const std::string& driverName) {
  for (const HeadModel& model : HeadModels()) {
    if (driverName == model.driverName) return &model;
  }
  return nullptr;
}

std::optional<kelo::cli::Paper> PaperOfMedia(int widthHmm, int lengthHmm, int headWidthMm,
                                             std::string* error) {
  // Nearest whole millimetre; a size below half a millimetre is no paper.
  const int width = (widthHmm + 50) / 100;
  const int length = (lengthHmm + 50) / 100;
  if (widthHmm <= 0 || lengthHmm <= 0 || width < 1 || length < 1) {
    *error = "the media size has no area";
    return std::nullopt;
  }
  if (width > headWidthMm || length > kelo::cli::kMaxPaperLengthMm) {
    *error = "the printer takes paper up to " + std::to_string(headWidthMm) + " x " +
             std::to_string(kelo::cli::kMaxPaperLengthMm) + " mm, not " + std::to_string(width) +
             " x " + std::to_string(length) + " mm";
    return std::nullopt;
  }
  return kelo::cli::PaperOfSize(width, length);
}

namespace {

constexpr const char* kUriPrefix = "kelo:///";

bool Unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ':' ||
         c == '-' || c == '.' || c == '_' || c == '~';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string PortUri(const std::u16string& port) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string uri = kUriPrefix;
  for (const unsigned char c : kelo::host::ToUtf8(port)) {
    if (Unreserved(c)) {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    }
  }
  return uri;
}

std::optional<std::u16string> PortOfUri(const std::string& uri) {
  const std::string prefix = kUriPrefix;
  if (uri.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  std::string name;
  for (size_t i = prefix.size(); i < uri.size(); ++i) {
    if (uri[i] != '%') {
      if (uri[i] == '/' || uri[i] == '?' || uri[i] == '#') return std::nullopt;
      name += uri[i];
      continue;
    }
    const int high = i + 2 < uri.size() ? HexValue(uri[i + 1]) : -1;
    const int low = high >= 0 ? HexValue(uri[i + 2]) : -1;
    if (low < 0 || (high == 0 && low == 0)) return std::nullopt;
    name += static_cast<char>(high * 16 + low);
    i += 2;
  }
  if (name.empty()) return std::nullopt;
  return kelo::host::FromUtf8(name);
}

}  // namespace kelo::server
