// The record's hash once more, built with -mavx2 so that xxhash.h takes its
// AVX2 code (it picks its vector code from the compiler's target alone).
// Called only where the processor has AVX2; the two give the same values.
//
// Nothing but xxhash.h is included, and its functions are static here: an
// inline function this file shared with the rest of the program could be
// built with AVX2 and then be the copy the linker keeps for all of it.
#define XXH_INLINE_ALL
#include <xxhash.h>

#if XXH_VECTOR != XXH_AVX2
#error "this file must be built for AVX2 (-mavx2)"
#endif

namespace sarnelux {

XXH64_hash_t RecordHashAvx2(const unsigned char* bytes, size_t count,
                            XXH64_hash_t seed) {
  return XXH3_64bits_withSeed(bytes, count, seed);
}

void RecordHashUnitsAvx2(const unsigned char* bytes, size_t count, size_t unit,
                         XXH64_hash_t* hashes) {
  for (size_t at = 0; at < count; at += unit) {
    *hashes++ = XXH3_64bits(bytes + at, count - at < unit ? count - at : unit);
  }
}

}  // namespace sarnelux
