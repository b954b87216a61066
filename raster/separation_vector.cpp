#include "raster/separation_vector.h"

#include <cstdint>
#include <cstring>

#include "raster/reciprocal_table.h"

// GCC 10 and later, and clang, have the vector extensions used here.
#if defined(__GNUC__) && defined(__has_builtin)
#if __has_builtin(__builtin_convertvector)
#define KELO_VECTOR_SEPARATION 1
// Not on Windows: GCC there does not realign the stack for 32-byte vector
// spills in code built for AVX (the stack is only 16-byte aligned), so the
// AVX2 build could fault; the per-pixel path serves instead.
#if (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN32)
#define KELO_AVX2_SEPARATION 1
#endif
#endif
#endif

#if defined(KELO_VECTOR_SEPARATION)

#if defined(KELO_AVX2_SEPARATION)
#include <immintrin.h>  // the gather, in the AVX2 build only
#endif

// The 32-byte vectors never cross a call: every helper is inlined into the
// group functions, so GCC's warning and note that such arguments change
// the ABI without AVX do not apply (raster/CMakeLists.txt gives this file
// -Wno-psabi; the note yields to nothing else).

namespace {

// Eight lanes, one per pixel.
typedef int32_t Ints __attribute__((vector_size(32)));
typedef float Floats __attribute__((vector_size(32)));
typedef int16_t Tones __attribute__((vector_size(16)));
typedef uint8_t Bytes16 __attribute__((vector_size(16)));
typedef uint64_t Wides __attribute__((vector_size(64)));
constexpr int kLanes = 8;

#define KELO_INLINE inline __attribute__((always_inline))

// The tables widened to a lane's width at raster setup, so that a lookup is
// a load of a whole word (one gather instruction where the processor has
// it), and the warp constants.
struct Tables {
  const int32_t* grey;
  const int32_t* colour;
  const int32_t* valueCurve;
  int blueWarp;
  int greenWarp;
};

// False when the raster state was not set up with its wide tables.
KELO_INLINE bool GetTables(const RasterState& r, Tables& t) {
  t = {r.greyToneWide, r.colourToneWide, r.valueCurveWide, r.blueHueWarp, r.greenHueWarp};
  return t.grey != nullptr && t.colour != nullptr && t.valueCurve != nullptr;
}

namespace baseline {

#define KELO_GROUP_FUNCTION KELO_INLINE

KELO_GROUP_FUNCTION Ints Lookup(const int32_t* table, Ints index) {
  Ints out;
  for (int i = 0; i < kLanes; ++i) out[i] = table[index[i]];
  return out;
}

// Eight blue-green-red pixels (24 bytes) as three vectors of components.
KELO_GROUP_FUNCTION void LoadGroup(const BYTE* bgr, Ints& blue, Ints& green, Ints& red) {
#if __has_builtin(__builtin_shufflevector)
  // The 24 bytes as bytes 0..15 and 8..23 (indices 16..31 of the pair).
  Bytes16 low;
  Bytes16 high;
  std::memcpy(&low, bgr, sizeof low);
  std::memcpy(&high, bgr + 8, sizeof high);
  blue = __builtin_convertvector(
      __builtin_shufflevector(low, high, 0, 3, 6, 9, 20, 23, 26, 29), Ints);
  green = __builtin_convertvector(
      __builtin_shufflevector(low, high, 1, 4, 7, 10, 21, 24, 27, 30), Ints);
  red = __builtin_convertvector(
      __builtin_shufflevector(low, high, 2, 5, 8, 11, 22, 25, 28, 31), Ints);
#else
  for (int i = 0; i < kLanes; ++i) {
    blue[i] = bgr[3 * i];
    green[i] = bgr[3 * i + 1];
    red[i] = bgr[3 * i + 2];
  }
#endif
}

// (x * multiplier) >> (32 + shift) for 0 <= x < 2^24, in 64-bit lanes.
template <uint32_t kMultiplier, int kShift>
KELO_GROUP_FUNCTION Ints MultiplyHigh(Ints x) {
  const Wides product = __builtin_convertvector(x, Wides) * kMultiplier;
  return __builtin_convertvector(product >> (32 + kShift), Ints);
}

// HsvToRgb's red, green and blue for hue sectors 0..5 out of the value, q
// or t and p, as indices 255 - component into the colour tone table.
KELO_GROUP_FUNCTION void ToneIndices(Ints sector, Ints value, Ints qt, Ints p, Ints& red,
                                     Ints& green, Ints& blue) {
  // Per sector 0..5, red takes v qt p p qt v, green qt v v qt p p, blue
  // p p qt v v qt.
  const Ints s0 = sector == 0, s1 = sector == 1, s2 = sector == 2;
  const Ints s3 = sector == 3, s4 = sector == 4, s5 = sector == 5;
  red = 255 - ((s0 | s5) ? value : ((s1 | s4) ? qt : p));
  green = 255 - ((s1 | s2) ? value : ((s0 | s3) ? qt : p));
  blue = 255 - ((s3 | s4) ? value : ((s2 | s5) ? qt : p));
}

#include "raster/separation_group.h"
#undef KELO_GROUP_FUNCTION

}  // namespace baseline

#if defined(KELO_AVX2_SEPARATION)
namespace avx2 {

#define KELO_GROUP_FUNCTION inline __attribute__((always_inline, target("avx2")))

KELO_GROUP_FUNCTION Ints Lookup(const int32_t* table, Ints index) {
  return reinterpret_cast<Ints>(_mm256_i32gather_epi32(reinterpret_cast<const int*>(table),
                                                       reinterpret_cast<__m256i>(index), 4));
}

// Eight blue-green-red pixels (24 bytes) as three vectors of components: two
// byte shuffles and three widenings. (GCC 12 takes the portable shuffles of
// the baseline build apart byte by byte in general registers.)
KELO_GROUP_FUNCTION void LoadGroup(const BYTE* bgr, Ints& blue, Ints& green, Ints& red) {
  // Bytes 0..15 and 8..23: pixels 0..3 are bytes 0..11 of the first, pixels
  // 4..7 bytes 4..15 of the second.
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + 8));
  // Each to blue of its four pixels, then green, then red (the last four
  // bytes unused).
  const __m128i fromLow =
      _mm_shuffle_epi8(low, _mm_setr_epi8(0, 3, 6, 9, 1, 4, 7, 10, 2, 5, 8, 11, -1, -1, -1, -1));
  const __m128i fromHigh = _mm_shuffle_epi8(
      high, _mm_setr_epi8(4, 7, 10, 13, 5, 8, 11, 14, 6, 9, 12, 15, -1, -1, -1, -1));
  const __m128i blueGreen = _mm_unpacklo_epi32(fromLow, fromHigh);  // blue 0..7, green 0..7
  const __m128i redRest = _mm_unpackhi_epi32(fromLow, fromHigh);  // red 0..7, unused
  blue = reinterpret_cast<Ints>(_mm256_cvtepu8_epi32(blueGreen));
  green = reinterpret_cast<Ints>(_mm256_cvtepu8_epi32(_mm_srli_si128(blueGreen, 8)));
  red = reinterpret_cast<Ints>(_mm256_cvtepu8_epi32(redRest));
}

// (x * multiplier) >> (32 + shift) for 0 <= x < 2^24: the even lanes' and
// the odd lanes' 64-bit products, each shifted so that the quotient lands in
// its own lane's word, then the words interleaved.
template <uint32_t kMultiplier, int kShift>
KELO_GROUP_FUNCTION Ints MultiplyHigh(Ints x) {
  const __m256i multiplier = _mm256_set1_epi32(static_cast<int>(kMultiplier));
  const auto lanes = reinterpret_cast<__m256i>(x);
  const __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(lanes, multiplier), 32 + kShift);
  const __m256i odd = _mm256_mul_epu32(_mm256_srli_epi64(lanes, 32), multiplier);
  return reinterpret_cast<Ints>(
      _mm256_blend_epi32(even, kShift == 0 ? odd : _mm256_srli_epi64(odd, kShift), 0xAA));
}

// HsvToRgb's red, green and blue for hue sectors 0..5 out of the value, q
// or t and p, as indices 255 - component into the colour tone table: the
// three complements as bytes 0..2 of each lane, put in the sector's order by
// one byte shuffle whose control comes from a table of six words.
KELO_GROUP_FUNCTION void ToneIndices(Ints sector, Ints value, Ints qt, Ints p, Ints& red,
                                     Ints& green, Ints& blue) {
  const __m256i packed = reinterpret_cast<__m256i>((value | p << 8 | qt << 16) ^ 0xFFFFFF);
  // Per sector, the bytes (0 value, 1 p, 2 q or t) that make red, green
  // and blue; 0x80 clears the top byte.
  const __m256i orders = _mm256_setr_epi32(0x80010200, 0x80010002, 0x80020001, 0x80000201,
                                           0x80000102, 0x80020100, 0, 0);
  // The byte shuffle works within 16-byte halves: lane i's bytes start at 4 (i % 4).
  const __m256i laneBytes = _mm256_setr_epi32(0, 0x04040404, 0x08080808, 0x0C0C0C0C, 0,
                                              0x04040404, 0x08080808, 0x0C0C0C0C);
  const __m256i order = _mm256_add_epi32(
      _mm256_permutevar8x32_epi32(orders, reinterpret_cast<__m256i>(sector)), laneBytes);
  const auto picked = reinterpret_cast<Ints>(_mm256_shuffle_epi8(packed, order));
  red = picked & 0xFF;
  green = (picked >> 8) & 0xFF;
  blue = picked >> 16;
}

#include "raster/separation_group.h"
#undef KELO_GROUP_FUNCTION

}  // namespace avx2
#endif

}  // namespace

bool VectorSeparationBuilt() { return true; }

bool SeparateGroupsVector(const RasterState& r, const BYTE* bgr, int groups) {
  return baseline::SeparateGroups(r, bgr, groups);
}

bool GreyGroupsVector(const RasterState& r, const BYTE* bgr, int groups) {
  return baseline::GreyGroups(r, bgr, groups);
}

#if defined(KELO_AVX2_SEPARATION)
__attribute__((target("avx2"))) bool SeparateGroupsAvx2(const RasterState& r, const BYTE* bgr,
                                                        int groups) {
  return avx2::SeparateGroups(r, bgr, groups);
}

__attribute__((target("avx2"))) bool GreyGroupsAvx2(const RasterState& r, const BYTE* bgr,
                                                    int groups) {
  return avx2::GreyGroups(r, bgr, groups);
}

bool Avx2Available() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}
#else
bool SeparateGroupsAvx2(const RasterState&, const BYTE*, int) { return false; }
bool GreyGroupsAvx2(const RasterState&, const BYTE*, int) { return false; }
bool Avx2Available() { return false; }
#endif

#else  // no vector support in this compiler

bool VectorSeparationBuilt() { return false; }
bool SeparateGroupsVector(const RasterState&, const BYTE*, int) { return false; }
bool SeparateGroupsAvx2(const RasterState&, const BYTE*, int) { return false; }
bool GreyGroupsVector(const RasterState&, const BYTE*, int) { return false; }
bool GreyGroupsAvx2(const RasterState&, const BYTE*, int) { return false; }
bool Avx2Available() { return false; }

#endif
