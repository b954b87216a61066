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
  return baseline::SeparateGroups(r, bgr, groups);
}

#if defined(KELO_AVX2_SEPARATION)
__attribute__((target("avx2"))) bool SeparateGroupsAvx2(const RasterState& r, const BYTE* bgr,
                                                        int groups) {
  return avx2::SeparateGroups(r, bgr, groups);
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
