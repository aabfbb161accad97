// The kernel with AVX-512F: sixteen columns at a time, eight doubles per blend
// vector. Built with -mavx512f on this file alone; reached only when the
// processor and OS support AVX-512.

#include "kernel/simd/kernel_variants.h"
#include "kernel/simd/pair_load.h"
#include "kernel/simd/quad_load.h"
#include "kernel/simd/resample_simd.h"

#include <immintrin.h>

namespace voxwarp {
namespace avx512 {
namespace {

// Eight pairs, each the two floats of a lane as one double, in one vector.
inline __m512d eight_pairs(const __m128d two[4])
{
    const __m256d p0123 = _mm256_insertf128_pd(_mm256_castpd128_pd256(two[0]), two[1], 1);
    const __m256d p4567 = _mm256_insertf128_pd(_mm256_castpd128_pd256(two[2]), two[3], 1);
    return _mm512_insertf64x4(_mm512_castpd256_pd512(p0123), p4567, 1);
}

struct ops {
    static constexpr int lanes = 16;
    using floats = __m512;
    using ints = __m512i;
    using mask = __mmask16;
    using doubles = __m512d;  // half of the lanes

    static floats broadcast(float value) { return _mm512_set1_ps(value); }
    static ints broadcast_int(int32_t value) { return _mm512_set1_epi32(value); }
    static doubles broadcast_double(double value) { return _mm512_set1_pd(value); }
    static ints lane_indices() { return _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15); }

    static floats mul(floats a, floats b) { return _mm512_mul_ps(a, b); }
    static floats add(floats a, floats b) { return _mm512_add_ps(a, b); }
    static floats sub(floats a, floats b) { return _mm512_sub_ps(a, b); }
    static floats div(floats a, floats b) { return _mm512_div_ps(a, b); }
    static floats to_float(ints a) { return _mm512_cvtepi32_ps(a); }
    // vcvttps2dq gives INT32_MIN for NaN and out-of-range values, as the scalar rule does.
    static ints truncate(floats a) { return _mm512_cvttps_epi32(a); }
    static floats floor(floats a) { return _mm512_roundscale_ps(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
    static ints add_int(ints a, ints b) { return _mm512_add_epi32(a, b); }
    static ints sub_int(ints a, ints b) { return _mm512_sub_epi32(a, b); }
    static ints add_where(ints a, mask m, ints b) { return _mm512_mask_add_epi32(a, m, a, b); }
    static ints mul_int(ints a, ints b) { return _mm512_mullo_epi32(a, b); }

    static mask first_lanes(int32_t count)
    {
        return count >= lanes ? mask(0xFFFF) : count <= 0 ? mask(0) : mask((1u << count) - 1u);
    }
    // 0 <= value <= high for lanes of high >= 0: one unsigned comparison.
    static mask at_most_unsigned(ints value, ints high) { return _mm512_cmp_epu32_mask(value, high, _MM_CMPINT_LE); }
    static mask in_range(ints value, int32_t low, int32_t high)
    {
        const mask above_low = _mm512_cmp_epi32_mask(value, _mm512_set1_epi32(low), _MM_CMPINT_NLT);
        return _mm512_mask_cmp_epi32_mask(above_low, value, _mm512_set1_epi32(high), _MM_CMPINT_LE);
    }
    // Ordered comparisons: false for NaN.
    static mask at_least(floats a, float b) { return _mm512_cmp_ps_mask(a, broadcast(b), _CMP_GE_OQ); }
    static mask below(floats a, float b) { return _mm512_cmp_ps_mask(a, broadcast(b), _CMP_LT_OQ); }
    static mask both(mask a, mask b) { return static_cast<mask>(a & b); }
    static mask but_not(mask a, mask b) { return static_cast<mask>(a & ~b); }
    static unsigned bits(mask m) { return m; }

    static void store_offsets(int32_t *out, ints offsets, mask m)
    {
        _mm512_store_si512(out, _mm512_maskz_mov_epi32(m, offsets));
    }

    // The elements at each lane's offset and the next. Each lane's pair is one
    // 64-bit load from its own address: cheaper than a hardware gather on
    // many processors.
    static void load_pairs(const float *v, const int32_t *offsets, floats &at_first, floats &at_second)
    {
        const auto pair = [v, offsets](int lane) { return v + offsets[lane]; };
        const auto eight_lanes = [&pair](int lane) {
            const __m128d p01 = load_two_pairs(pair(lane), pair(lane + 1));
            const __m128d p23 = load_two_pairs(pair(lane + 2), pair(lane + 3));
            const __m128d p45 = load_two_pairs(pair(lane + 4), pair(lane + 5));
            const __m128d p67 = load_two_pairs(pair(lane + 6), pair(lane + 7));
            const __m256d p0123 = _mm256_insertf128_pd(_mm256_castpd128_pd256(p01), p23, 1);
            const __m256d p4567 = _mm256_insertf128_pd(_mm256_castpd128_pd256(p45), p67, 1);
            return _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castpd256_pd512(p0123), p4567, 1));
        };
        const __m512 low = eight_lanes(0);
        const __m512 high = eight_lanes(8);
        const __m512i firsts = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
        const __m512i seconds = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
        at_first = _mm512_permutex2var_ps(low, firsts, high);
        at_second = _mm512_permutex2var_ps(low, seconds, high);
    }
    // The pairs of load_pairs from the four rows of the interior blend,
    // (row 0, slice 0), (row 1, slice 0), (row 0, slice 1), (row 1, slice 1),
    // lane by lane: each offset is read once for its four rows.
    static void load_pair_rows(const float *v, ptrdiff_t row, ptrdiff_t slice, const int32_t *offsets,
                               floats at_first[4], floats at_second[4])
    {
        const float *rows[4] = {v, v + row, v + slice, v + slice + row};
        __m128d two[4][8];
        for (int k = 0; k < 8; ++k) {
            const int32_t a = offsets[2 * k];
            const int32_t b = offsets[2 * k + 1];
            for (int r = 0; r < 4; ++r) {
                two[r][k] = load_two_pairs(rows[r] + a, rows[r] + b);
            }
        }
        const __m512i firsts = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
        const __m512i seconds = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
        for (int r = 0; r < 4; ++r) {
            const __m512 low = _mm512_castpd_ps(eight_pairs(two[r]));
            const __m512 high = _mm512_castpd_ps(eight_pairs(two[r] + 4));
            at_first[r] = _mm512_permutex2var_ps(low, firsts, high);
            at_second[r] = _mm512_permutex2var_ps(low, seconds, high);
        }
    }
    // The 16-bit pairs (element, next element) of the four rows, as
    // load_pair_rows reads them, one 32-bit load per lane and row: the first
    // element in the low half of each lane.
    static void load_word_pair_rows(const uint16_t *v, ptrdiff_t row, ptrdiff_t slice, const int32_t *offsets,
                                    ints pairs[4])
    {
        const uint16_t *rows[4] = {v, v + row, v + slice, v + slice + row};
        __m128i four[4][4];
        for (int k = 0; k < 4; ++k) {
            const int32_t *o = offsets + 4 * k;
            for (int r = 0; r < 4; ++r) {
                four[r][k] = load_four_word_pairs(rows[r] + o[0], rows[r] + o[1], rows[r] + o[2], rows[r] + o[3]);
            }
        }
        for (int r = 0; r < 4; ++r) {
            const __m512i low = _mm512_inserti32x4(_mm512_castsi128_si512(four[r][0]), four[r][1], 1);
            const __m512i middle = _mm512_inserti32x4(low, four[r][2], 2);
            pairs[r] = _mm512_inserti32x4(middle, four[r][3], 3);
        }
    }
    // Both halves of each lane's 16-bit pair as floats, exactly: unsigned or signed.
    static void unsigned_words(ints pairs, floats &at_first, floats &at_second)
    {
        at_first = _mm512_cvtepi32_ps(_mm512_and_si512(pairs, _mm512_set1_epi32(0xFFFF)));
        at_second = _mm512_cvtepi32_ps(_mm512_srli_epi32(pairs, 16));
    }
    static void signed_words(ints pairs, floats &at_first, floats &at_second)
    {
        at_first = _mm512_cvtepi32_ps(_mm512_srai_epi32(_mm512_slli_epi32(pairs, 16), 16));
        at_second = _mm512_cvtepi32_ps(_mm512_srai_epi32(pairs, 16));
    }
    // The four elements from each lane's offset on, as one vector per tap.
    static void load_quads(const float *v, const int32_t *offsets, floats taps[4])
    {
        __m128 group[4][4];
        for (int g = 0; g < 4; ++g) {
            const int32_t *o = offsets + 4 * g;
            load_four_quads(v + o[0], v + o[1], v + o[2], v + o[3], group[g]);
        }
        for (int k = 0; k < 4; ++k) {
            const __m512 low = _mm512_insertf32x4(_mm512_castps128_ps512(group[0][k]), group[1][k], 1);
            const __m512 middle = _mm512_insertf32x4(low, group[2][k], 2);
            taps[k] = _mm512_insertf32x4(middle, group[3][k], 3);
        }
    }
    static doubles low_half(floats a) { return _mm512_cvtps_pd(_mm512_castps512_ps256(a)); }
    static doubles high_half(floats a)
    {
        return _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(a), 1)));
    }
    static doubles mul_double(doubles a, doubles b) { return _mm512_mul_pd(a, b); }
    static doubles add_double(doubles a, doubles b) { return _mm512_add_pd(a, b); }
    static doubles sub_double(doubles a, doubles b) { return _mm512_sub_pd(a, b); }
    static doubles div_double(doubles a, doubles b) { return _mm512_div_pd(a, b); }
    // Ordered comparisons of doubles, false for NaN, and a choice by them.
    using double_mask = __mmask8;
    static double_mask greater_double(doubles a, doubles b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static double_mask equal_double(doubles a, doubles b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static doubles select_double(double_mask m, doubles if_set, doubles if_not)
    {
        return _mm512_mask_blend_pd(m, if_not, if_set);
    }
    static floats narrow(doubles low, doubles high)
    {
        const __m512d low_half_wide = _mm512_castpd256_pd512(_mm256_castps_pd(_mm512_cvtpd_ps(low)));
        return _mm512_castpd_ps(_mm512_insertf64x4(low_half_wide, _mm256_castps_pd(_mm512_cvtpd_ps(high)), 1));
    }
    static unsigned nan_bits(doubles low, doubles high)
    {
        const unsigned low_bits = _mm512_cmp_pd_mask(low, low, _CMP_UNORD_Q);
        const unsigned high_bits = _mm512_cmp_pd_mask(high, high, _CMP_UNORD_Q);
        return low_bits | (high_bits << 8);
    }
    static void store(float *address, floats value, mask m) { _mm512_mask_storeu_ps(address, m, value); }
    static void store_all(float *address, floats value) { _mm512_storeu_ps(address, value); }
    static void store_doubles(double *address, doubles value) { _mm512_storeu_pd(address, value); }
    // A hint to bring the line of `address` into the cache; never faults.
    static void prefetch(uintptr_t address) { _mm_prefetch(reinterpret_cast<const char *>(address), _MM_HINT_T0); }
    static floats load_all(const float *address) { return _mm512_loadu_ps(address); }
};

}  // namespace

void resample(const resample_job &job)
{
    resample_job_simd<ops>(job);
}

}  // namespace avx512
}  // namespace voxwarp
