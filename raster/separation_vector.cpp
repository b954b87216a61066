#include "raster/separation_vector.h"

#include <cstdint>
#include <cstring>

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
// two group functions, so GCC's warning and note that such arguments change
// the ABI without AVX do not apply (raster/CMakeLists.txt gives this file
// -Wno-psabi; the note yields to nothing else).

namespace {

// Eight lanes, one per pixel.
typedef int32_t Ints __attribute__((vector_size(32)));
typedef float Floats __attribute__((vector_size(32)));
typedef int16_t Tones __attribute__((vector_size(16)));
typedef uint8_t Bytes16 __attribute__((vector_size(16)));
constexpr int kLanes = 8;

#define KELO_INLINE inline __attribute__((always_inline))

// The line's tables widened to a lane's width, so that a lookup is a load
// of a whole word (one gather instruction where the processor has it).
struct Tables {
  int32_t grey[256];
  int32_t colour[256];
  int32_t valueCurve[256];
  int blueWarp;
  int greenWarp;
};

KELO_INLINE void Widen(const RasterState& r, Tables& t) {
  for (int i = 0; i < 256; ++i) t.grey[i] = r.greyTone[i];
  for (int i = 0; i < 256; ++i) t.colour[i] = r.colourTone[i];
  for (int i = 0; i < 256; ++i) t.valueCurve[i] = r.valueCurve[i];
  t.blueWarp = r.blueHueWarp;
  t.greenWarp = r.greenHueWarp;
}

namespace baseline {

#define KELO_GROUP_FUNCTION KELO_INLINE

KELO_GROUP_FUNCTION Ints Lookup(const int32_t* table, Ints index) {
  Ints out;
  for (int i = 0; i < kLanes; ++i) out[i] = table[index[i]];
  return out;
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

#include "raster/separation_group.h"
#undef KELO_GROUP_FUNCTION

}  // namespace avx2
#endif

}  // namespace

bool VectorSeparationBuilt() { return true; }

bool SeparateGroupsVector(const RasterState& r, const BYTE* bgr, int groups) {
  baseline::SeparateGroups(r, bgr, groups);
  return true;
}

#if defined(KELO_AVX2_SEPARATION)
__attribute__((target("avx2"))) bool SeparateGroupsAvx2(const RasterState& r, const BYTE* bgr,
                                                        int groups) {
  avx2::SeparateGroups(r, bgr, groups);
  return true;
}

bool Avx2Available() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}
#else
bool SeparateGroupsAvx2(const RasterState&, const BYTE*, int) { return false; }
bool Avx2Available() { return false; }
#endif

#else  // no vector support in this compiler

bool VectorSeparationBuilt() { return false; }
bool SeparateGroupsVector(const RasterState&, const BYTE*, int) { return false; }
bool SeparateGroupsAvx2(const RasterState&, const BYTE*, int) { return false; }
bool Avx2Available() { return false; }

#endif
