// PNG and JPEG decoding of the engine's image files, from memory. A decoded
// image has pixels and exactly 3 bytes each, within the size limit; a refused
// one leaves the image empty and says why.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "engine/image_file.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

void Check(bool condition, const char* what) {
  kelo::fuzz::CheckOrAbort(condition, "image fuzz", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exactly sized copy: a read past the file shows.
  auto bytes = std::make_unique<uint8_t[]>(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = data[i];
  kelo::engine::RgbImage image(2, 2);  // replaced by the decoder in any case
  std::string error;
  if (kelo::engine::DecodeImage(bytes.get(), size, &image, &error)) {
    Check(image.width > 0 && image.height > 0, "an image without pixels");
    const uint64_t pixels = static_cast<uint64_t>(image.width) * static_cast<uint64_t>(image.height);
    Check(pixels <= kelo::engine::kMaxImagePixels, "an image over the limit");
    Check(image.rgb.size() == pixels * 3, "pixel buffer of the wrong size");
  } else {
    Check(image.width == 0 && image.height == 0 && image.rgb.empty(), "a refused image kept pixels");
    Check(!error.empty(), "a refusal without a reason");
  }
  return 0;
}
