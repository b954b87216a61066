// PNG through libpng, JPEG through libjpeg. Both report fatal errors by
// longjmp from their error handlers. The functions that call setjmp hold no
// C++ object with a destructor and read no local they change after setjmp
// once the jump lands: it skips only the libraries' C frames, and they return
// to a caller that owns every buffer. Buffers are allocated between the header
// and the pixel phases, outside any setjmp frame.

#include "engine/image_file.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <vector>

#include <jpeglib.h>
#include <png.h>

namespace kelo::engine {

namespace {

constexpr size_t kMessageSize = 200;
// Bounds on what libpng keeps besides the pixel rows: no ancillary chunk
// the page uses is near a MiB, and a file has no reason for more than a
// few dozen of them.
constexpr png_alloc_size_t kMaxPngChunkBytes = png_alloc_size_t{8} << 20;
constexpr png_uint_32 kMaxPngCachedChunks = 64;
constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

bool Fail(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
  return false;
}

bool TooLarge(uint64_t width, uint64_t height, std::string* error) {
  if (width == 0 || height == 0) return !Fail(error, "the image has no pixels");
  if (width * height <= kMaxImagePixels) return false;
  return !Fail(error, "the image is too large (" + std::to_string(width) + " x " +
                          std::to_string(height) + " pixels, at most " +
                          std::to_string(kMaxImagePixels) + " pixels)");
}

// Straight (not premultiplied) alpha laid over white, in the samples'
// own encoding.
uint8_t OverWhite(uint8_t value, uint8_t alpha) {
  return static_cast<uint8_t>((value * alpha + 255 * (255 - alpha) + 127) / 255);
}

// ---- PNG ----

struct PngSource {
  const uint8_t* data;
  size_t size;
  size_t at;
  char message[kMessageSize];
};

void PngRead(png_structp png, png_bytep out, size_t count) {
  auto* source = static_cast<PngSource*>(png_get_io_ptr(png));
  if (source->size - source->at < count) png_error(png, "the file ends early (truncated)");
  std::memcpy(out, source->data + source->at, count);
  source->at += count;
}

[[noreturn]] void PngError(png_structp png, png_const_charp message) {
  auto* source = static_cast<PngSource*>(png_get_error_ptr(png));
  std::snprintf(source->message, sizeof source->message, "%s", message);
  png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

// Reads the header and sets the transforms that give 8-bit RGB rows, or
// RGBA (`channels` 4) when the file has transparency; `passes` is 7 for an
// interlaced file, else 1.
bool PngReadHeader(png_structp png, png_infop info, png_uint_32* width, png_uint_32* height,
                   int* channels, int* passes) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  png_set_expand(png);  // palette to RGB, grey below 8 bits to 8, tRNS to alpha
  png_set_scale_16(png);
  png_set_gray_to_rgb(png);
  *passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  *width = png_get_image_width(png, info);
  *height = png_get_image_height(png, info);
  *channels = png_get_channels(png, info);
  if ((*channels != 3 && *channels != 4) ||
      png_get_rowbytes(png, info) != static_cast<size_t>(*width) * static_cast<size_t>(*channels)) {
    png_error(png, "unexpected sample layout");
  }
  return true;
}

// Called with each finished RGBA row.
using PngRowSink = void (*)(void* context, png_uint_32 y, const uint8_t* rgba);

// Reads every pass over the rows: row y goes to rows + y * stride (stride 0:
// one row, reused, enough for a file that is not interlaced or that is only
// checked). After the last pass each row is handed to `sink`, if any.
bool PngReadRows(png_structp png, png_infop info, int passes, png_uint_32 height, uint8_t* rows,
                 size_t stride, PngRowSink sink, void* context) {
  if (setjmp(png_jmpbuf(png))) return false;
  for (int pass = 0; pass < passes; ++pass) {
    for (png_uint_32 y = 0; y < height; ++y) {
      uint8_t* row = rows + static_cast<size_t>(y) * stride;
      png_read_row(png, row, nullptr);
      if (sink != nullptr && pass == passes - 1) sink(context, y, row);
    }
  }
  png_read_end(png, info);
  return true;
}

// Lays an RGBA row over white into the image's row y.
void PngRowToRgb(void* context, png_uint_32 y, const uint8_t* rgba) {
  auto* image = static_cast<RgbImage*>(context);
  uint8_t* out = image->Pixel(0, static_cast<int>(y));
  for (int x = 0; x < image->width; ++x) {
    const uint8_t* in = rgba + static_cast<size_t>(x) * 4;
    for (int c = 0; c < 3; ++c) out[x * 3 + c] = OverWhite(in[c], in[3]);
  }
}

// Decodes into `image`, or with `image` null only proves that the data decode.
bool DecodePng(const uint8_t* data, size_t size, RgbImage* image, std::string* error) {
  PngSource source{data, size, 0, {}};
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, &source, PngError, PngWarning);
  if (png == nullptr) return Fail(error, "out of memory");
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return Fail(error, "out of memory");
  }
  png_set_read_fn(png, &source, PngRead);
  // libpng allocates an ancillary chunk's declared length before reading
  // it, and an over-long one is only a warning; a few hundred bytes could
  // ask for gigabytes. The page needs only the critical chunks and tRNS, so
  // every other chunk is skipped unread, and the limits below bound what
  // the kept ones may ask for.
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
  png_set_user_limits(png, static_cast<png_uint_32>(kMaxImagePixels),
                      static_cast<png_uint_32>(kMaxImagePixels));
  png_set_chunk_malloc_max(png, kMaxPngChunkBytes);
  png_set_chunk_cache_max(png, kMaxPngCachedChunks);

  struct Cleanup {
    png_structp* png;
    png_infop* info;
    ~Cleanup() { png_destroy_read_struct(png, info, nullptr); }
  } cleanup{&png, &info};

  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int channels = 3;
  int passes = 1;
  if (!PngReadHeader(png, info, &width, &height, &channels, &passes)) {
    return Fail(error, std::string("damaged PNG file: ") + source.message);
  }
  if (TooLarge(width, height, error)) return false;

  const size_t rowBytes = static_cast<size_t>(width) * static_cast<size_t>(channels);
  RgbImage out;
  std::vector<uint8_t> rgba;
  try {
    if (image != nullptr) out = RgbImage(static_cast<int>(width), static_cast<int>(height));
    // RGB rows go straight into the image. RGBA rows are laid over white
    // from one reused row, or from all of them for an interlaced file,
    // whose passes revisit every row; a check reuses one row throughout.
    if (image == nullptr || channels == 4) {
      rgba.resize(passes > 1 && image != nullptr ? rowBytes * height : rowBytes);
    }
  } catch (const std::bad_alloc&) {
    return Fail(error, "out of memory");
  }
  bool read = false;
  if (image == nullptr) {
    read = PngReadRows(png, info, passes, height, rgba.data(), 0, nullptr, nullptr);
  } else if (channels == 3) {
    read = PngReadRows(png, info, passes, height, out.rgb.data(), rowBytes, nullptr, nullptr);
  } else {
    read = PngReadRows(png, info, passes, height, rgba.data(), passes > 1 ? rowBytes : 0,
                       PngRowToRgb, &out);
  }
  if (!read) return Fail(error, std::string("damaged PNG file: ") + source.message);
  if (image != nullptr) *image = std::move(out);
  return true;
}

// ---- JPEG ----

struct JpegErrors {
  jpeg_error_mgr manager;  // first: libjpeg hands back a pointer to it
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void JpegFatal(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, errors->message);
  std::longjmp(errors->jump, 1);
}

// libjpeg reports damaged data (a premature end above all) as a warning and
// then fills the rest of the picture with grey; a print made from that would
// look whole, so warnings are fatal here. Trace messages (level > 0) are not.
void JpegMessage(j_common_ptr cinfo, int level) {
  if (level < 0) JpegFatal(cinfo);
}

enum class JpegSamples { kGrey, kRgb, kCmyk, kInvertedCmyk };

bool JpegReadHeader(jpeg_decompress_struct* cinfo, JpegErrors* errors, const uint8_t* data,
                    size_t size, JpegSamples* samples) {
  if (setjmp(errors->jump)) return false;
  jpeg_create_decompress(cinfo);
  jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(cinfo, TRUE);
  switch (cinfo->jpeg_color_space) {
    case JCS_GRAYSCALE:
      cinfo->out_color_space = JCS_GRAYSCALE;
      *samples = JpegSamples::kGrey;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      cinfo->out_color_space = JCS_CMYK;
      // Adobe's writers store CMYK inverted (255 = no ink).
      *samples = cinfo->saw_Adobe_marker ? JpegSamples::kInvertedCmyk : JpegSamples::kCmyk;
      break;
    default:
      cinfo->out_color_space = JCS_RGB;
      *samples = JpegSamples::kRgb;
      break;
  }
  return true;
}

bool JpegStart(jpeg_decompress_struct* cinfo, JpegErrors* errors) {
  if (setjmp(errors->jump)) return false;
  jpeg_start_decompress(cinfo);
  return true;
}

// Reads every scan line through `line` (output width x components bytes) and
// converts it into `rgb`, unless `rgb` is null.
bool JpegReadPixels(jpeg_decompress_struct* cinfo, JpegErrors* errors, JpegSamples samples,
                    uint8_t* line, uint8_t* rgb) {
  if (setjmp(errors->jump)) return false;
  const JDIMENSION width = cinfo->output_width;
  while (cinfo->output_scanline < cinfo->output_height) {
    const size_t y = cinfo->output_scanline;
    // RGB scan lines are decoded straight into the image.
    const bool direct = rgb != nullptr && samples == JpegSamples::kRgb;
    JSAMPROW row = direct ? rgb + y * width * 3 : line;
    if (jpeg_read_scanlines(cinfo, &row, 1) != 1) {
      std::snprintf(errors->message, sizeof errors->message, "%s", "no scan line was decoded");
      return false;
    }
    if (rgb == nullptr || direct) continue;
    for (JDIMENSION x = 0; x < width; ++x) {
      uint8_t* px = rgb + (y * width + x) * 3;
      switch (samples) {
        case JpegSamples::kGrey:
          px[0] = px[1] = px[2] = line[x];
          break;
        case JpegSamples::kRgb:  // decoded in place
          break;
        case JpegSamples::kCmyk:
        case JpegSamples::kInvertedCmyk: {
          const uint8_t* in = line + static_cast<size_t>(x) * 4;
          const bool inverted = samples == JpegSamples::kInvertedCmyk;
          // Remaining light after ink c and black k: (255 - c)(255 - k) / 255.
          const int k = inverted ? in[3] : 255 - in[3];
          for (int c = 0; c < 3; ++c) {
            const int light = inverted ? in[c] : 255 - in[c];
            px[c] = static_cast<uint8_t>((light * k + 127) / 255);
          }
          break;
        }
      }
    }
  }
  jpeg_finish_decompress(cinfo);
  return true;
}

// Decodes into `image`, or with `image` null only proves that the data decode.
bool DecodeJpeg(const uint8_t* data, size_t size, RgbImage* image, std::string* error) {
  jpeg_decompress_struct cinfo{};
  JpegErrors errors{};
  cinfo.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = JpegFatal;
  errors.manager.emit_message = JpegMessage;

  struct Cleanup {
    jpeg_decompress_struct* cinfo;
    ~Cleanup() { jpeg_destroy_decompress(cinfo); }
  } cleanup{&cinfo};

  JpegSamples samples = JpegSamples::kRgb;
  if (!JpegReadHeader(&cinfo, &errors, data, size, &samples)) {
    return Fail(error, std::string("damaged JPEG file: ") + errors.message);
  }
  if (TooLarge(cinfo.image_width, cinfo.image_height, error)) return false;
  if (!JpegStart(&cinfo, &errors)) {
    return Fail(error, std::string("damaged JPEG file: ") + errors.message);
  }
  const int components = cinfo.output_components;
  const int expected = samples == JpegSamples::kGrey ? 1 : samples == JpegSamples::kRgb ? 3 : 4;
  if (components != expected) return Fail(error, "damaged JPEG file: unexpected sample layout");

  RgbImage out;
  std::vector<uint8_t> line;
  try {
    if (image != nullptr) {
      out = RgbImage(static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height));
    }
    line.resize(static_cast<size_t>(cinfo.output_width) * components);
  } catch (const std::bad_alloc&) {
    return Fail(error, "out of memory");
  }
  if (!JpegReadPixels(&cinfo, &errors, samples, line.data(),
                      image != nullptr ? out.rgb.data() : nullptr)) {
    return Fail(error, std::string("damaged JPEG file: ") + errors.message);
  }
  if (image != nullptr) *image = std::move(out);
  return true;
}

// With `image` null the pixels are decoded and dropped.
bool Decode(const uint8_t* data, size_t size, RgbImage* image, std::string* error) {
  if (data == nullptr || size == 0) return Fail(error, "the file is empty");
  if (size >= sizeof kPngSignature && std::memcmp(data, kPngSignature, sizeof kPngSignature) == 0) {
    return DecodePng(data, size, image, error);
  }
  if (size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) {
    return DecodeJpeg(data, size, image, error);
  }
  return Fail(error, "not a PNG or JPEG image");
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  // A directory opens as a stream of unknown length on Linux; say what it is.
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) return Fail(error, "it is a directory");
  errno = 0;
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) {
    const int cause = errno;
    return Fail(error, cause != 0 ? std::string("cannot open the file (") + std::strerror(cause) + ")"
                                  : std::string("cannot open the file"));
  }
  const std::streamoff length = file.tellg();
  if (length < 0) return Fail(error, "cannot read the file");
  if (static_cast<uint64_t>(length) > kMaxImageFileBytes) {
    return Fail(error, "the file is too large (over " + std::to_string(kMaxImageFileBytes >> 20) +
                           " MiB)");
  }
  try {
    bytes->resize(static_cast<size_t>(length));
  } catch (const std::bad_alloc&) {
    return Fail(error, "out of memory");
  }
  file.seekg(0);
  if (!file.read(reinterpret_cast<char*>(bytes->data()), length)) {
    return Fail(error, "cannot read the file");
  }
  return true;
}

}  // namespace

bool DecodeImage(const uint8_t* data, size_t size, RgbImage* image, std::string* error) {
  *image = RgbImage();
  return Decode(data, size, image, error);
}

bool CheckImage(const uint8_t* data, size_t size, std::string* error) {
  return Decode(data, size, nullptr, error);
}

bool LoadImageFile(const std::string& path, RgbImage* image, std::string* error) {
  *image = RgbImage();
  std::vector<uint8_t> bytes;
  return ReadFile(path, &bytes, error) && Decode(bytes.data(), bytes.size(), image, error);
}

bool CheckImageFile(const std::string& path, std::string* error) {
  std::vector<uint8_t> bytes;
  return ReadFile(path, &bytes, error) && Decode(bytes.data(), bytes.size(), nullptr, error);
}

}  // namespace kelo::engine
