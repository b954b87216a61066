// Writes a PNG or JPEG image as a one-page PWG raster (sgray_8, 203 dpi) of
// the image's own size, or with "apple" as Apple raster, for printing the
// same page over IPP as raster.
// Usage: make_pwg IMAGE OUT [apple]
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/image_file.h"

int main(int argc, char** argv) {
  const bool apple = argc == 4 && std::string(argv[3]) == "apple";
  if (argc != 3 && !apple) {
    std::fprintf(stderr, "usage: make_pwg IMAGE OUT [apple]\n");
    return 2;
  }
  kelo::engine::RgbImage image;
  std::string error;
  if (!kelo::engine::LoadImageFile(argv[1], &image, &error)) {
    std::fprintf(stderr, "make_pwg: %s\n", error.c_str());
    return 1;
  }
  const int fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return 1;
  cups_raster_t* raster = cupsRasterOpen(fd, apple ? CUPS_RASTER_WRITE_APPLE : CUPS_RASTER_WRITE_PWG);
  // The media of the image's size at 203 dpi, in hundredths of millimetres.
  pwg_media_t* media = pwgMediaForSize(image.width * 2540 / 203, image.height * 2540 / 203);
  cups_page_header2_t header;
  bool ok = raster != nullptr && media != nullptr &&
            cupsRasterInitPWGHeader(&header, media, "sgray_8", 203, 203, "one-sided", nullptr);
  if (ok) {
    header.cupsWidth = static_cast<unsigned>(image.width);
    header.cupsHeight = static_cast<unsigned>(image.height);
    header.cupsBytesPerLine = header.cupsWidth;
    ok = cupsRasterWriteHeader2(raster, &header) != 0;
  }
  std::vector<unsigned char> line(static_cast<size_t>(image.width));
  for (int y = 0; ok && y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) line[x] = image.Pixel(x, y)[1];
    ok = cupsRasterWritePixels(raster, line.data(), static_cast<unsigned>(line.size())) != 0;
  }
  if (raster != nullptr) cupsRasterClose(raster);
  if (close(fd) != 0) ok = false;
  return ok ? 0 : 1;
}
