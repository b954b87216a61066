// The preview of decoded rows: pixels for known grey and colour patterns,
// encoded to PNG and read back with libpng's own reader.

#include "emulator/preview_image.h"
#include "tests/emulator/emulator_test_support.h"

namespace {

using namespace kelo::test;
using kelo::emulator::EncodePng;
using kelo::emulator::PreviewImage;
using kelo::emulator::RenderPreview;
using kelo::emulator::StreamDecoder;

StreamDecoder Decode(int rowBytes, int planes, const Bytes& stream) {
  StreamDecoder decoder(rowBytes, planes);
  EXPECT_TRUE(decoder.Feed(stream.data(), stream.size()));
  EXPECT_TRUE(decoder.Finish());
  return decoder;
}

DecodedPng RoundTrip(const PreviewImage& image) {
  std::vector<uint8_t> png;
  std::string error;
  EXPECT_TRUE(EncodePng(image, &png, &error)) << error;
  return ReadPng(png);
}

TEST(PreviewImage, GreyDotsAreBlackOnWhiteMostSignificantBitLeft) {
  // Two rows of 16 dots: 80 01, then A5 00.
  const StreamDecoder d = Decode(2, 1, Hex("1B 6D 00 1B 67 02 80 01 1B 67 01 A5"));
  const PreviewImage image = RenderPreview(d, 0);
  EXPECT_FALSE(image.colour);
  const DecodedPng png = RoundTrip(image);
  ASSERT_TRUE(png.ok) << png.message;
  EXPECT_FALSE(png.colour);
  ASSERT_EQ(png.width, 16u);
  ASSERT_EQ(png.height, 2u);
  std::string rows;
  for (uint32_t y = 0; y < png.height; ++y) {
    for (uint32_t x = 0; x < png.width; ++x) {
      const uint8_t v = png.pixels[y * png.width + x];
      ASSERT_TRUE(v == 0 || v == 255) << int{v};
      rows += v == 0 ? '#' : '.';
    }
    rows += '\n';
  }
  EXPECT_EQ(rows,
            "#..............#\n"
            "#.#..#.#........\n");
}

TEST(PreviewImage, WidthCutsThePaddingBitsOff) {
  const StreamDecoder d = Decode(2, 1, Hex("1B 6D 00 1B 67 02 FF FF"));
  const PreviewImage image = RenderPreview(d, 12);
  EXPECT_EQ(image.width, 12u);
  EXPECT_EQ(image.pixels, std::vector<uint8_t>(12, 0));
  EXPECT_EQ(RenderPreview(d, 17).width, 16u);  // more than the row: the row
}

TEST(PreviewImage, ColourPlanesCombineSubtractively) {
  // Dots 0..7 of one line: K at 0; C at 1, 4, 5; M at 2, 4, 5; Y at 3, 5; 6
  // and 7 blank.
  const StreamDecoder d = Decode(1, 4, Hex("1B 6D 00 1B 67 01 80 1B 67 01 4C 1B 67 01 2C 1B 67 01 14"));
  const DecodedPng png = RoundTrip(RenderPreview(d, 0));
  ASSERT_TRUE(png.ok) << png.message;
  EXPECT_TRUE(png.colour);
  ASSERT_EQ(png.width, 8u);
  ASSERT_EQ(png.height, 1u);
  const std::vector<uint8_t> expected = {
      0,   0,   0,    // K
      0,   255, 255,  // C: cyan
      255, 0,   255,  // M: magenta
      255, 255, 0,    // Y: yellow
      0,   0,   255,  // C + M: blue
      0,   0,   0,    // C + M + Y: black
      255, 255, 255,  // paper
      255, 255, 255,
  };
  EXPECT_EQ(png.pixels, expected);
}

TEST(PreviewImage, PartialLastLineShowsThePlanesThatArrived) {
  // A full line, then K and C of a second one.
  const StreamDecoder d =
      Decode(1, 4, Hex("1B 6D 00 1B 67 00 1B 67 00 1B 67 00 1B 67 00 1B 67 01 80 1B 67 01 40"));
  const PreviewImage image = RenderPreview(d, 0);
  ASSERT_EQ(image.height, 2u);
  const uint8_t* second = image.pixels.data() + 8 * 3;
  EXPECT_EQ(std::vector<uint8_t>(second, second + 6), (std::vector<uint8_t>{0, 0, 0, 0, 255, 255}));
}

TEST(PreviewImage, NothingPrintedEncodesToNothing) {
  const StreamDecoder d = Decode(80, 1, Hex("1B 41 1B 6B FF"));
  const PreviewImage image = RenderPreview(d, 0);
  EXPECT_EQ(image.height, 0u);
  std::vector<uint8_t> png{1, 2, 3};
  std::string error;
  EXPECT_FALSE(EncodePng(image, &png, &error));
  EXPECT_TRUE(png.empty());
  EXPECT_NE(error.find("no dot rows"), std::string::npos);
}

TEST(PreviewImage, MismatchedPixelBufferIsRefused) {
  PreviewImage image;
  image.width = 4;
  image.height = 2;
  image.pixels.assign(7, 0);
  std::vector<uint8_t> png;
  std::string error;
  EXPECT_FALSE(EncodePng(image, &png, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
