#include "decode_capture.h"

#include <cstdio>
#include <string>
#include <vector>

#include "emulator/file_io.h"
#include "emulator/preview_image.h"
#include "report.h"

namespace kelo::tools {

using kelo::emulator::StreamDecoder;

int DecodeCapture(const CommandLine& line) {
  std::vector<uint8_t> stream;
  if (!kelo::emulator::ReadWholeFile(line.capturePath, &stream)) {
    std::fprintf(stderr, "kelo-emulate: cannot read %s: %s\n", line.capturePath.c_str(),
                 kelo::emulator::ErrorText(GetLastError()).c_str());
    return kExitIo;
  }
  StreamDecoder decoder(line.printer.rowBytes(), line.printer.planes);
  decoder.Feed(stream.data(), stream.size());
  decoder.Finish();

  std::printf("capture: %s\n%s", line.capturePath.c_str(),
              FormatReport(decoder, line.printer.widthDots).c_str());
  int result = decoder.error() ? kExitDecodeError : kExitOk;
  if (!line.previewPath.empty()) {
    // What was printed before a fault is still shown.
    const kelo::emulator::PreviewImage image =
        kelo::emulator::RenderPreview(decoder, line.printer.widthDots);
    std::vector<uint8_t> png;
    std::string error;
    if (image.height == 0) {
      std::printf("preview: none (no dot rows)\n");
    } else if (!kelo::emulator::EncodePng(image, &png, &error)) {
      std::fprintf(stderr, "kelo-emulate: %s\n", error.c_str());
      result = kExitIo;
    } else if (!kelo::emulator::WriteWholeFile(line.previewPath, png)) {
      std::fprintf(stderr, "kelo-emulate: cannot write %s: %s\n", line.previewPath.c_str(),
                   kelo::emulator::ErrorText(GetLastError()).c_str());
      result = kExitIo;
    } else {
      std::printf("preview: %s (%u x %u, %s)\n", line.previewPath.c_str(), image.width,
                  image.height, image.colour ? "colour" : "grey");
    }
  }
  std::fflush(stdout);
  return result;
}

}  // namespace kelo::tools
