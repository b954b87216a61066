#include "tests/engine/test_images.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <jpeglib.h>
#include <png.h>

namespace kelo::test {

namespace {

void AppendPng(png_structp png, png_bytep data, size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void FlushPng(png_structp) {}

}  // namespace

std::vector<uint8_t> EncodePng(const PngLayout& layout) {
  std::vector<uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &out, AppendPng, FlushPng);
  png_set_IHDR(png, info, static_cast<png_uint_32>(layout.width),
               static_cast<png_uint_32>(layout.height), layout.bitDepth, layout.colourType,
               layout.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  std::vector<png_color> palette;
  for (size_t i = 0; i + 2 < layout.paletteRgb.size(); i += 3) {
    palette.push_back({layout.paletteRgb[i], layout.paletteRgb[i + 1], layout.paletteRgb[i + 2]});
  }
  if (!palette.empty()) png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
  if (!layout.paletteAlpha.empty()) {
    png_set_tRNS(png, info, layout.paletteAlpha.data(), static_cast<int>(layout.paletteAlpha.size()),
                 nullptr);
  }
  png_write_info(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  std::vector<png_bytep> rows(static_cast<size_t>(layout.height));
  for (int y = 0; y < layout.height; ++y) {
    rows[static_cast<size_t>(y)] = const_cast<png_bytep>(layout.rows.data()) + y * rowBytes;
  }
  png_write_image(png, rows.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

std::vector<uint8_t> EncodeRgbPng(const kelo::engine::RgbImage& image) {
  PngLayout layout;
  layout.width = image.width;
  layout.height = image.height;
  layout.colourType = PNG_COLOR_TYPE_RGB;
  layout.rows = image.rgb;
  return EncodePng(layout);
}

std::vector<uint8_t> EncodeJpeg(int width, int height, int components,
                                const std::vector<uint8_t>& samples, int quality) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr errors{};
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = components;
  cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  if (quality >= 100) {
    // No chroma subsampling, so that flat colours come back nearly exact.
    for (int c = 0; c < cinfo.num_components; ++c) {
      cinfo.comp_info[c].h_samp_factor = 1;
      cinfo.comp_info[c].v_samp_factor = 1;
    }
  }
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(samples.data()) +
                   static_cast<size_t>(cinfo.next_scanline) * width * components;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<uint8_t> out(buffer, buffer + size);
  jpeg_destroy_compress(&cinfo);
  std::free(buffer);
  return out;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

kelo::engine::RgbImage NoiseImage(int width, int height, uint32_t seed) {
  kelo::engine::RgbImage image(width, height);
  uint32_t state = seed;
  for (uint8_t& sample : image.rgb) {
    state = state * 1664525u + 1013904223u;
    sample = static_cast<uint8_t>(state >> 24);
  }
  return image;
}

}  // namespace kelo::test
