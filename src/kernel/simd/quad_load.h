#ifndef VOXWARPKIT_QUAD_LOAD_H
#define VOXWARPKIT_QUAD_LOAD_H

// Included by each kernel variant's file; internal linkage, so each compiles
// its own copy with its own instruction-set flags.

#include <xmmintrin.h>

namespace voxwarp {
namespace {

// The four floats at each of a, b, c and d, turned so that out[k] holds
// (a[k] b[k] c[k] d[k]): four lanes' runs of four neighbours along x, one
// vector per tap. Float data is only 4-byte aligned: unaligned loads.
inline void load_four_quads(const float *a, const float *b, const float *c, const float *d, __m128 out[4])
{
    __m128 r0 = _mm_loadu_ps(a);
    __m128 r1 = _mm_loadu_ps(b);
    __m128 r2 = _mm_loadu_ps(c);
    __m128 r3 = _mm_loadu_ps(d);
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    out[0] = r0;
    out[1] = r1;
    out[2] = r2;
    out[3] = r3;
}

}  // namespace
}  // namespace voxwarp

#endif
