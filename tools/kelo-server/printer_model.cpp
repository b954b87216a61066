#include "tools/kelo-server/printer_model.h"

#include <cstdint>
#include <cstdio>

#include "platform/host/host_api.h"

namespace kelo::server {

const std::vector<HeadModel>& HeadModels() {
  static const std::vector<HeadModel> models = [] {
    const std::vector<std::string> wide = {
        MediaName("om_kelo-80x113", 80, 113), MediaName("om_kelo-48x68", 48, 68),
        MediaName("roll_max", 80, kelo::cli::kMaxPaperLengthMm), MediaName("roll_min", 1, 1)};
    const std::vector<std::string> narrow = {
        MediaName("om_kelo-48x68", 48, 68),
        MediaName("roll_max", 48, kelo::cli::kMaxPaperLengthMm), MediaName("roll_min", 1, 1)};
    return std::vector<HeadModel>{
        {"kelo-80mm", "kelo 80 mm thermal printer", 80, false, wide},
        {"kelo-48mm", "kelo 48 mm thermal printer", 48, false, narrow},
        {"kelo-80mm-colour", "kelo 80 mm colour thermal printer", 80, true, wide},
        {"kelo-48mm-colour", "kelo 48 mm colour thermal printer", 48, true, narrow},
    };
  }();
  return models;
}

const HeadModel* FindHead(const std::string& driverName) {
  for (const HeadModel& model : HeadModels()) {
    if (driverName == model.driverName) return &model;
  }
  return nullptr;
}

namespace {

constexpr int kDotsPerMm = 8;
constexpr int kHmmPerInch = 2540;

// Dots at kResolutionDpi across `hmm` hundredths of a millimetre, truncated
// as a raster of that media is sized.
int64_t DotsOf(int hmm) { return int64_t{hmm} * kResolutionDpi / kHmmPerInch; }

// The least hundredths of a millimetre that hold `dots` whole dots.
int HmmOf(int dots) {
  return static_cast<int>((int64_t{dots} * kHmmPerInch + kResolutionDpi - 1) / kResolutionDpi);
}

}  // namespace

std::string MediaName(const char* prefix, int widthMm, int lengthMm) {
  const int width = HmmOf(widthMm * kDotsPerMm);
  const int length = HmmOf(lengthMm * kDotsPerMm);
  char name[96];
  std::snprintf(name, sizeof name, "%s_%d.%02dx%d.%02dmm", prefix, width / 100, width % 100,
                length / 100, length % 100);
  return name;
}

std::optional<kelo::cli::Paper> PaperOfMedia(int widthHmm, int lengthHmm, int headWidthMm,
                                             std::string* error) {
  // Nearest whole millimetre of dots; under half a millimetre is no paper.
  const int64_t width = widthHmm > 0 ? (DotsOf(widthHmm) + kDotsPerMm / 2) / kDotsPerMm : 0;
  const int64_t length = lengthHmm > 0 ? (DotsOf(lengthHmm) + kDotsPerMm / 2) / kDotsPerMm : 0;
  if (width < 1 || length < 1) {
    *error = "the media size has no area";
    return std::nullopt;
  }
  if (width > headWidthMm || length > kelo::cli::kMaxPaperLengthMm) {
    *error = "the printer takes paper up to " + std::to_string(headWidthMm) + " x " +
             std::to_string(kelo::cli::kMaxPaperLengthMm) + " mm, not " + std::to_string(width) +
             " x " + std::to_string(length) + " mm";
    return std::nullopt;
  }
  return kelo::cli::PaperOfSize(static_cast<int>(width), static_cast<int>(length));
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
