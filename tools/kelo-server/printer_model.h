// What kelo-server offers over IPP: the drivers (one a head width), their
// media, the device URIs of the registry's printer ports, and the job's
// paper from the IPP media size.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/common/paper.h"

namespace kelo::server {

struct HeadModel {
  const char* driverName;   // IPP/PAPPL driver name
  const char* description;  // printer-make-and-model
  int widthMm;              // print head width; paper up to this wide
  // PWG media names: the roll sizes first (the first is the default), then
  // the custom range.
  std::vector<const char*> media;
};

const std::vector<HeadModel>& HeadModels();
const HeadModel* FindHead(const std::string& driverName);

// Dots per inch the drivers report: 8 dots a millimetre.
inline constexpr int kResolutionDpi = 203;

// The paper for a media size in hundredths of millimetres (IPP media-col),
// rounded to whole millimetres as the driver takes it; nullopt with a reason
// when the head cannot print on it.
std::optional<kelo::cli::Paper> PaperOfMedia(int widthHmm, int lengthHmm, int headWidthMm,
                                             std::string* error);

// The scheme of device URIs that name a printer port of the registry:
// "kelo:///LPT1:". Characters outside letters, digits and ":-._~" are
// percent-encoded, as UTF-8.
inline constexpr const char* kUriScheme = "kelo";
std::string PortUri(const std::u16string& port);
// The port a device URI names; nullopt for another scheme, an empty or
// malformed name.
std::optional<std::u16string> PortOfUri(const std::string& uri);

}  // namespace kelo::server
