// Reads PNG and JPEG images into 8-bit RGB, the form the page renderer
// takes: grey is spread to three channels, palettes are looked up, 16-bit
// samples are scaled to 8 bits, and transparency is laid over white paper.
// A damaged, truncated or oversized file is refused with a reason; nothing is
// printed from half an image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/image.h"

namespace kelo::engine {

// Images larger than this many pixels are refused before anything is
// allocated for them (a few hundred MiB of work buffers at 3 bytes a pixel).
// No declared length elsewhere in a file is allocated unchecked either:
// PNG chunks the page does not use are skipped unread.
inline constexpr uint64_t kMaxImagePixels = uint64_t{1} << 26;
// Files larger than this are refused unread.
inline constexpr uint64_t kMaxImageFileBytes = uint64_t{256} << 20;

// Decodes PNG or JPEG bytes, told apart by their signature. On failure
// `image` is left empty and `error` says why, in words for a user.
bool DecodeImage(const uint8_t* data, size_t size, RgbImage* image, std::string* error);

// Reads and decodes the file at `path`.
bool LoadImageFile(const std::string& path, RgbImage* image, std::string* error);

// Prove that the bytes (the file) decode, with DecodeImage's (LoadImageFile's)
// answer and words, without keeping the pixels: rows are decoded into one
// reused row and not converted. Only a want of memory for the whole image,
// which is not asked for here, can make the full decode refuse what passed.
bool CheckImage(const uint8_t* data, size_t size, std::string* error);
bool CheckImageFile(const std::string& path, std::string* error);

}  // namespace kelo::engine
