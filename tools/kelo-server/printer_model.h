// What kelo-server offers over IPP: the drivers (a head width, grey or colour), their
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
  bool colour;              // K, C, M and Y planes when a job asks for colour
  // PWG media names: the roll sizes first (the first is the default), then
  // the custom range. Their sizes are those of MediaName.
  std::vector<std::string> media;
};

const std::vector<HeadModel>& HeadModels();
const HeadModel* FindHead(const std::string& driverName);

// Dots per inch the drivers report for 8 dots a millimetre. IPP has whole
// dots per inch only, and a page of so many millimetres at 203 dpi comes a
// dot short of the head's grid (80 mm: 639 dots, not 640).
inline constexpr int kResolutionDpi = 203;

// A PWG media name ("om_kelo-80x113_80.08x113.12mm", "roll_max_...") for
// paper of whole millimetres, sized up to the hundredth of a millimetre
// that gives exactly 8 dots a millimetre at kResolutionDpi: a client that
// renders the page at that resolution fills the head's dot grid.
std::string MediaName(const char* prefix, int widthMm, int lengthMm);

// The paper for a media size in hundredths of millimetres (IPP media-col):
// the size in dots at kResolutionDpi, as the page's raster has it, rounded
// to whole millimetres of 8 dots; nullopt with a reason when the head cannot
// print on it.
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
