#ifndef VOXWARPKIT_PAIR_LOAD_H
#define VOXWARPKIT_PAIR_LOAD_H

// Included by each kernel variant's file; internal linkage, so each compiles
// its own copy with its own instruction-set flags.

#include <emmintrin.h>

#include <cstdint>
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

// The 16-bit pairs at a, b, c and d (an element and the next), one 32-bit
// load each, as the four 32-bit lanes of one vector, the first element of
// each pair in its lane's low half.
inline __m128i load_four_word_pairs(const uint16_t *a, const uint16_t *b, const uint16_t *c, const uint16_t *d)
{
    int32_t pairs[4];
    std::memcpy(&pairs[0], a, sizeof pairs[0]);
    std::memcpy(&pairs[1], b, sizeof pairs[1]);
    std::memcpy(&pairs[2], c, sizeof pairs[2]);
    std::memcpy(&pairs[3], d, sizeof pairs[3]);
    return _mm_setr_epi32(pairs[0], pairs[1], pairs[2], pairs[3]);
}

}  // namespace
}  // namespace voxwarp

#endif
