// Reading PNG and JPEG files into 8-bit RGB: every PNG colour type and depth,
// transparency over white, JPEG grey, colour and CMYK, and files that are
// damaged, truncated, oversized, empty or missing.

#include <gtest/gtest.h>

#include <zlib.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/image_file.h"
#include "tests/engine/memory_limit.h"
#include "tests/engine/test_images.h"

using kelo::engine::CheckImage;
using kelo::engine::CheckImageFile;
using kelo::engine::DecodeImage;
using kelo::engine::LoadImageFile;
using kelo::engine::RgbImage;
using kelo::test::EncodeJpeg;
using kelo::test::EncodePng;
using kelo::test::PngLayout;
using Bytes = std::vector<uint8_t>;

namespace {

RgbImage Decode(const Bytes& bytes) {
  RgbImage image;
  std::string error;
  EXPECT_TRUE(DecodeImage(bytes.data(), bytes.size(), &image, &error)) << error;
  return image;
}

std::string DecodeError(const Bytes& bytes) {
  RgbImage image;
  std::string error;
  EXPECT_FALSE(DecodeImage(bytes.data(), bytes.size(), &image, &error));
  EXPECT_TRUE(image.rgb.empty());
  EXPECT_EQ(image.width, 0);
  return error;
}

Bytes Rgb(const RgbImage& image, int x, int y) {
  const uint8_t* p = image.Pixel(x, y);
  return {p[0], p[1], p[2]};
}

// A PNG chunk with its length and CRC.
void AppendChunk(Bytes& out, const char* type, const Bytes& data) {
  const auto length = static_cast<uint32_t>(data.size());
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(length >> shift));
  Bytes body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  out.insert(out.end(), body.begin(), body.end());
  const uint32_t crc = static_cast<uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size())));
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(crc >> shift));
}

Bytes Gradient(int width, int height) {
  Bytes rgb;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      rgb.push_back(static_cast<uint8_t>(x * 255 / (width - 1)));
      rgb.push_back(static_cast<uint8_t>(y * 255 / (height - 1)));
      rgb.push_back(static_cast<uint8_t>(128));
    }
  }
  return rgb;
}

// An 8-bit RGB PNG of Gradient(width, height).
PngLayout GradientLayout(int width, int height) {
  PngLayout layout;
  layout.width = width;
  layout.height = height;
  layout.colourType = 2;
  layout.rows = Gradient(width, height);
  return layout;
}

}  // namespace

TEST(PngInput, RgbIsReadAsIs) {
  const kelo::engine::RgbImage noise = kelo::test::NoiseImage(13, 7, 5);
  const RgbImage image = Decode(kelo::test::EncodeRgbPng(noise));
  EXPECT_EQ(image.width, 13);
  EXPECT_EQ(image.height, 7);
  EXPECT_EQ(image.rgb, noise.rgb);
}

TEST(PngInput, GreyIsSpreadToThreeChannels) {
  PngLayout layout;
  layout.width = 3;
  layout.colourType = 0;
  layout.rows = {0, 100, 255};
  const RgbImage image = Decode(EncodePng(layout));
  EXPECT_EQ(Rgb(image, 0, 0), (Bytes{0, 0, 0}));
  EXPECT_EQ(Rgb(image, 1, 0), (Bytes{100, 100, 100}));
  EXPECT_EQ(Rgb(image, 2, 0), (Bytes{255, 255, 255}));
}

TEST(PngInput, OneBitGreyIsExpandedToFullRange) {
  PngLayout layout;
  layout.width = 8;
  layout.colourType = 0;
  layout.bitDepth = 1;
  layout.rows = {0xA0};  // 1 0 1 0 0 0 0 0
  const RgbImage image = Decode(EncodePng(layout));
  EXPECT_EQ(Rgb(image, 0, 0), (Bytes{255, 255, 255}));
  EXPECT_EQ(Rgb(image, 1, 0), (Bytes{0, 0, 0}));
  EXPECT_EQ(Rgb(image, 2, 0), (Bytes{255, 255, 255}));
  EXPECT_EQ(Rgb(image, 7, 0), (Bytes{0, 0, 0}));
}

TEST(PngInput, PaletteEntriesAreLookedUpAndTheirAlphaLaidOverWhite) {
  PngLayout layout;
  layout.width = 3;
  layout.colourType = 3;
  layout.paletteRgb = {255, 0, 0, 0, 0, 255, 0, 0, 0};
  layout.paletteAlpha = {255, 0, 128};
  layout.rows = {0, 1, 2};
  const RgbImage image = Decode(EncodePng(layout));
  EXPECT_EQ(Rgb(image, 0, 0), (Bytes{255, 0, 0}));
  EXPECT_EQ(Rgb(image, 1, 0), (Bytes{255, 255, 255}));  // fully transparent
  // Black at alpha 128 over white: 255 * 127 / 255 = 127.
  EXPECT_EQ(Rgb(image, 2, 0), (Bytes{127, 127, 127}));
}

TEST(PngInput, AlphaIsLaidOverWhite) {
  PngLayout rgba;
  rgba.width = 4;
  rgba.colourType = 6;
  rgba.rows = {0, 0, 0, 255,  0, 0, 0, 0,  200, 100, 0, 51,  10, 20, 30, 254};
  const RgbImage image = Decode(EncodePng(rgba));
  EXPECT_EQ(Rgb(image, 0, 0), (Bytes{0, 0, 0}));
  EXPECT_EQ(Rgb(image, 1, 0), (Bytes{255, 255, 255}));
  // (v * a + 255 * (255 - a) + 127) / 255 with a = 51.
  EXPECT_EQ(Rgb(image, 2, 0), (Bytes{244, 224, 204}));
  EXPECT_EQ(Rgb(image, 3, 0), (Bytes{11, 21, 31}));

  PngLayout greyAlpha;
  greyAlpha.width = 2;
  greyAlpha.colourType = 4;
  greyAlpha.rows = {0, 0, 0, 102};
  const RgbImage grey = Decode(EncodePng(greyAlpha));
  EXPECT_EQ(Rgb(grey, 0, 0), (Bytes{255, 255, 255}));
  EXPECT_EQ(Rgb(grey, 1, 0), (Bytes{153, 153, 153}));
}

TEST(PngInput, SixteenBitSamplesAreScaledToEightBits) {
  PngLayout layout;
  layout.width = 2;
  layout.colourType = 2;
  layout.bitDepth = 16;
  layout.rows = {0xFF, 0xFF, 0x80, 0x80, 0x00, 0x00,  0x12, 0x34, 0x00, 0xFF, 0xFF, 0x00};
  const RgbImage image = Decode(EncodePng(layout));
  EXPECT_EQ(Rgb(image, 0, 0), (Bytes{255, 128, 0}));
  // v x 255 / 65535 rounded: 0x1234 -> 18.1, 0x00FF -> 0.99, 0xFF00 -> 254.0.
  EXPECT_EQ(Rgb(image, 1, 0), (Bytes{18, 1, 254}));

  PngLayout greyAlpha;
  greyAlpha.width = 1;
  greyAlpha.colourType = 4;
  greyAlpha.bitDepth = 16;
  greyAlpha.rows = {0x00, 0x00, 0x80, 0x00};  // black at alpha 128 of 255
  EXPECT_EQ(Rgb(Decode(EncodePng(greyAlpha)), 0, 0), (Bytes{127, 127, 127}));
}

TEST(PngInput, InterlacedEqualsPlain) {
  PngLayout layout = GradientLayout(17, 11);
  const RgbImage plain = Decode(EncodePng(layout));
  layout.interlaced = true;
  const RgbImage interlaced = Decode(EncodePng(layout));
  EXPECT_EQ(plain.rgb, layout.rows);
  EXPECT_EQ(interlaced.rgb, layout.rows);
}

TEST(JpegInput, RgbComesBackClose) {
  const Bytes samples = Gradient(32, 16);
  const RgbImage image = Decode(EncodeJpeg(32, 16, 3, samples));
  ASSERT_EQ(image.width, 32);
  ASSERT_EQ(image.height, 16);
  int worst = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    worst = std::max(worst, std::abs(image.rgb[i] - samples[i]));
  }
  EXPECT_LE(worst, 6);
}

TEST(JpegInput, GreyIsSpreadToThreeChannels) {
  const Bytes samples(8 * 8, 90);
  const RgbImage image = Decode(EncodeJpeg(8, 8, 1, samples));
  ASSERT_EQ(image.width, 8);
  for (int i = 0; i < 64; ++i) {
    const uint8_t* p = image.Pixel(i % 8, i / 8);
    EXPECT_NEAR(p[0], 90, 1);
    EXPECT_EQ(p[0], p[1]);
    EXPECT_EQ(p[0], p[2]);
  }
}

TEST(JpegInput, AdobeCmykIsTurnedIntoLight) {
  // Inverted CMYK as Adobe's writers store it: 255 means no ink. Pure cyan
  // ink, no black: red is gone, green and blue stay.
  Bytes samples;
  for (int i = 0; i < 64; ++i) samples.insert(samples.end(), {0, 255, 255, 255});
  const RgbImage image = Decode(EncodeJpeg(8, 8, 4, samples));
  ASSERT_EQ(image.width, 8);
  const uint8_t* p = image.Pixel(3, 3);
  EXPECT_LE(p[0], 4);
  EXPECT_GE(p[1], 251);
  EXPECT_GE(p[2], 251);
}

TEST(DamagedImages, TruncationAnywhereIsRefused) {
  const PngLayout layout = GradientLayout(40, 30);
  const Bytes png = EncodePng(layout);
  const Bytes jpeg = EncodeJpeg(40, 30, 3, layout.rows);
  for (const Bytes* file : {&png, &jpeg}) {
    for (size_t length = 1; length < file->size(); ++length) {
      RgbImage image;
      std::string error;
      EXPECT_FALSE(DecodeImage(file->data(), length, &image, &error)) << length;
      EXPECT_FALSE(error.empty()) << length;
      EXPECT_TRUE(image.rgb.empty()) << length;
    }
  }
  EXPECT_NE(DecodeError(Bytes(png.begin(), png.begin() + png.size() / 2)).find("truncated"),
            std::string::npos);
  EXPECT_NE(DecodeError(Bytes(jpeg.begin(), jpeg.begin() + jpeg.size() / 2)).find("JPEG"),
            std::string::npos);
}

TEST(DamagedImages, FlippedBytesNeverCrash) {
  const PngLayout layout = GradientLayout(24, 24);
  const Bytes png = EncodePng(layout);
  const Bytes jpeg = EncodeJpeg(24, 24, 3, layout.rows);
  int pngRefused = 0;
  for (const Bytes* file : {&png, &jpeg}) {
    for (size_t at = 0; at < file->size(); at += 3) {
      Bytes damaged = *file;
      damaged[at] ^= 0x5A;
      RgbImage image;
      std::string error;
      const bool ok = DecodeImage(damaged.data(), damaged.size(), &image, &error);
      // Either refused with a reason or a whole image (JPEG entropy data can
      // survive a flipped bit); never half of one.
      if (ok) {
        EXPECT_EQ(image.rgb.size(), static_cast<size_t>(image.width) * image.height * 3);
      } else {
        EXPECT_FALSE(error.empty());
        if (file == &png) ++pngRefused;
      }
    }
  }
  // Every PNG byte is covered by a CRC or the signature.
  EXPECT_EQ(pngRefused, static_cast<int>((png.size() + 2) / 3));
}

TEST(DamagedImages, OversizedImageIsRefusedBeforeItsPixelsAreRead) {
  // A header claiming 20000 x 20000 pixels and a token of image data.
  Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  AppendChunk(png, "IHDR", {0, 0, 0x4E, 0x20, 0, 0, 0x4E, 0x20, 8, 2, 0, 0, 0});
  AppendChunk(png, "IDAT", {0x78, 0x9C, 0x03, 0x00});
  AppendChunk(png, "IEND", {});
  EXPECT_NE(DecodeError(png).find("too large"), std::string::npos);
}

namespace {

// Decodes `file` in a child process whose address space may grow by 64 MiB
// at most: the decoder must refuse it, with `reason` in its message.
void ExpectRefusedInBoundedMemory(const Bytes& file, const char* reason) {
  const auto run = kelo::test::RunMeasured(size_t{64} << 20, [&] {
    RgbImage image;
    std::string error;
    return !DecodeImage(file.data(), file.size(), &image, &error) &&
           error.find(reason) != std::string::npos;
  });
  EXPECT_TRUE(run.ok) << run.how;
}

}  // namespace

TEST(DamagedImages, ADeclaredChunkLengthIsNeverAllocated) {
  // 198 bytes: a 1 x 1 header, then an ancillary chunk that claims 1.9 GB.
  // Whatever the chunk, the file is refused with the bytes at hand.
  for (const char* type : {"tEXt", "zTXt", "iTXt", "iCCP", "sPLT", "eXIf", "vpAg"}) {
    SCOPED_TRACE(type);
    Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    AppendChunk(png, "IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0});
    png.insert(png.end(), {0x71, 0x40, 0x6F, 0x00});  // 1,900,048,128 bytes
    png.insert(png.end(), type, type + 4);
    png.resize(198, 'A');
    ExpectRefusedInBoundedMemory(png, "damaged PNG file");
  }
}

TEST(DamagedImages, AnOversizedJpegIsRefusedBeforeItsBuffersAreAllocated) {
  // A progressive JPEG keeps every coefficient of the image: declared as
  // 9000 x 9000 (over the pixel limit), that is some 240 MB taken at the
  // start of decompression, before a single scan is read.
  Bytes jpeg = EncodeJpeg(16, 16, 3, Gradient(16, 16), 90);
  const Bytes baseline = {0xFF, 0xC0};  // start of frame, baseline
  const auto sof = std::search(jpeg.begin(), jpeg.end(), baseline.begin(), baseline.end());
  ASSERT_NE(sof, jpeg.end());
  sof[1] = 0xC2;                  // progressive
  sof[5] = sof[7] = 9000 >> 8;    // height, width
  sof[6] = sof[8] = 9000 & 0xFF;
  ExpectRefusedInBoundedMemory(jpeg, "too large");
}

TEST(DamagedImages, ChunksThePageDoesNotUseAreSkipped) {
  // Text, gamma and an unknown ancillary chunk between header and data
  // change nothing (transparency, which is used, has its own tests above).
  PngLayout layout = GradientLayout(6, 4);
  const Bytes plain = EncodePng(layout);
  Bytes decorated(plain.begin(), plain.begin() + 33);  // signature and IHDR
  AppendChunk(decorated, "tEXt", {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 'h', 'i'});
  AppendChunk(decorated, "gAMA", {0, 0, 0xB1, 0x8F});
  AppendChunk(decorated, "vpAg", {0, 0, 0, 6, 0, 0, 0, 4, 0});
  decorated.insert(decorated.end(), plain.begin() + 33, plain.end());
  EXPECT_EQ(Decode(decorated).rgb, Decode(plain).rgb);
}

TEST(DamagedImages, EmptyAndForeignDataAreRefused) {
  EXPECT_EQ(DecodeError({}), "the file is empty");
  EXPECT_EQ(DecodeError({'G', 'I', 'F', '8', '9', 'a'}), "not a PNG or JPEG image");
  EXPECT_EQ(DecodeError({0x89, 'P', 'N'}), "not a PNG or JPEG image");
}

TEST(ImageFiles, LoadsAFileAndNamesTheReasonForAMissingOne) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kelo-image-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string file = (dir / "grey.png").string();
  PngLayout layout;
  layout.width = 2;
  layout.colourType = 0;
  layout.rows = {10, 20};
  ASSERT_TRUE(kelo::test::WriteFile(file, EncodePng(layout)));

  RgbImage image;
  std::string error;
  ASSERT_TRUE(LoadImageFile(file, &image, &error)) << error;
  EXPECT_EQ(Rgb(image, 1, 0), (Bytes{20, 20, 20}));

  EXPECT_FALSE(LoadImageFile((dir / "missing.png").string(), &image, &error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  EXPECT_TRUE(image.rgb.empty());
  EXPECT_FALSE(LoadImageFile(dir.string(), &image, &error));
  EXPECT_EQ(error, "it is a directory");
  std::filesystem::remove_all(dir);
}

// The check that precedes a job must refuse exactly what decoding refuses,
// in the same words, though it keeps no pixels and reuses one row (also
// across an interlaced file's passes): whole files, every truncation and
// bytes flipped all over.
TEST(ImageCheck, GivesTheDecodersAnswerAndWords) {
  PngLayout interlaced = GradientLayout(23, 13);
  interlaced.interlaced = true;
  PngLayout grey16;
  grey16.width = 9;
  grey16.height = 3;
  grey16.colourType = 0;
  grey16.bitDepth = 16;
  grey16.rows.assign(9 * 3 * 2, 0x5C);
  const Bytes gradient = Gradient(24, 16);
  const std::vector<Bytes> files = {EncodePng(GradientLayout(24, 16)), EncodePng(interlaced),
                                    EncodePng(grey16), EncodeJpeg(24, 16, 3, gradient),
                                    EncodeJpeg(24, 16, 4, Bytes(24 * 16 * 4, 40)),
                                    Bytes{'G', 'I', 'F'}};
  for (size_t f = 0; f < files.size(); ++f) {
    std::vector<Bytes> variants = {files[f]};
    for (size_t length = 0; length < files[f].size(); length += 7) {
      variants.emplace_back(files[f].begin(), files[f].begin() + static_cast<long>(length));
    }
    for (size_t at = 0; at < files[f].size(); at += 5) {
      variants.push_back(files[f]);
      variants.back()[at] ^= 0x21;
    }
    int refused = 0;
    for (size_t v = 0; v < variants.size(); ++v) {
      SCOPED_TRACE(testing::Message() << "file " << f << ", variant " << v);
      const Bytes& bytes = variants[v];
      RgbImage image;
      std::string decodeError = "unset";
      std::string checkError = "unset";
      const bool decoded = DecodeImage(bytes.data(), bytes.size(), &image, &decodeError);
      EXPECT_EQ(CheckImage(bytes.data(), bytes.size(), &checkError), decoded);
      EXPECT_EQ(checkError, decodeError);
      if (!decoded) ++refused;
    }
    EXPECT_GT(refused, 0) << "file " << f << ": no variant was refused";
  }
}

TEST(ImageCheck, FilesGiveTheLoadersAnswerAndWords) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kelo-check-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const Bytes png = EncodePng(GradientLayout(8, 8));
  ASSERT_TRUE(kelo::test::WriteFile((dir / "good.png").string(), png));
  ASSERT_TRUE(kelo::test::WriteFile((dir / "cut.png").string(),
                                    Bytes(png.begin(), png.begin() + 40)));
  for (const char* name : {"good.png", "cut.png", "missing.png", "."}) {
    SCOPED_TRACE(name);
    const std::string path = (dir / name).string();
    RgbImage image;
    std::string loadError = "unset";
    std::string checkError = "unset";
    const bool loaded = LoadImageFile(path, &image, &loadError);
    EXPECT_EQ(CheckImageFile(path, &checkError), loaded);
    EXPECT_EQ(checkError, loadError);
    EXPECT_EQ(loaded, std::string(name) == "good.png");
  }
  std::filesystem::remove_all(dir);
}
