#ifndef VOXWARPKIT_PAIR_LOAD_H
#define VOXWARPKIT_PAIR_LOAD_H

// Included by each kernel variant's file; internal linkage, so each compiles
// its own copy with its own instruction-set flags.

#include <emmintrin.h>

#include <cstring>

namespace voxwarp {
namespace {

// The two floats at `a` and the two at `b`, as (a[0] a[1] b[0] b[1]). Float
// data is only 4-byte aligned, so each pair is copied as bytes rather than read
// through a double pointer; compilers still emit one 64-bit load per pair.
inline __m128d load_two_pairs(const float *a, const float *b)
{
    double low;
    double high;
    std::memcpy(&low, a, sizeof low);
    std::memcpy(&high, b, sizeof high);
    return _mm_setr_pd(low, high);
}

}  // namespace
}  // namespace voxwarp

#endif
