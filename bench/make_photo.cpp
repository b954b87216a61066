// kelo-bench-photo FILE.ppm: writes the benchmarks' photo-like image as a
// binary PPM, for scripts that compare whole programs on the same pixels.

#include <cstdio>

#include "bench/photo_image.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kelo-bench-photo FILE.ppm\n");
    return 2;
  }
  const kelo::engine::RgbImage image = kelo::bench::MakePhotoImage();
  std::FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(file, "P6\n%d %d\n255\n", image.width, image.height);
  const bool written = std::fwrite(image.rgb.data(), 1, image.rgb.size(), file) == image.rgb.size();
  if (std::fclose(file) != 0 || !written) {
    std::fprintf(stderr, "kelo-bench-photo: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
