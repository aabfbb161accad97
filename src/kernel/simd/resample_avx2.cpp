// The kernel with AVX2: sixteen columns at a time, as two vectors of eight
// side by side, four doubles per blend vector. Built with -mavx2 on this file
// alone; reached only when the processor and OS support AVX2. Two vectors
// side by side keep more loads in flight than one (the speed page has the
// figures); AVX-512 gains nothing from the same.

#include "kernel/simd/kernel_variants.h"
#include "kernel/simd/pair_load.h"
#include "kernel/simd/quad_load.h"
#include "kernel/simd/doubled_ops.h"
#include "kernel/simd/resample_simd.h"

#include <immintrin.h>

namespace voxwarp {
namespace avx2 {
namespace {

struct ops {
    static constexpr int lanes = 8;
    using floats = __m256;
    using ints = __m256i;
    using mask = __m256i;     // all ones in a selected lane
    using doubles = __m256d;  // half of the lanes

    static floats broadcast(float value) { return _mm256_set1_ps(value); }
    static ints broadcast_int(int32_t value) { return _mm256_set1_epi32(value); }
    static doubles broadcast_double(double value) { return _mm256_set1_pd(value); }
    static ints lane_indices() { return _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7); }

    static floats mul(floats a, floats b) { return _mm256_mul_ps(a, b); }
    static floats add(floats a, floats b) { return _mm256_add_ps(a, b); }
    static floats sub(floats a, floats b) { return _mm256_sub_ps(a, b); }
    static floats div(floats a, floats b) { return _mm256_div_ps(a, b); }
    static floats to_float(ints a) { return _mm256_cvtepi32_ps(a); }
    // cvttps2dq gives INT32_MIN for NaN and out-of-range values, as the scalar rule does.
    static ints truncate(floats a) { return _mm256_cvttps_epi32(a); }
    static floats floor(floats a) { return _mm256_floor_ps(a); }
    static ints add_int(ints a, ints b) { return _mm256_add_epi32(a, b); }
    static ints sub_int(ints a, ints b) { return _mm256_sub_epi32(a, b); }
    // a + b in the lanes of m, a elsewhere: a selected lane is all ones, -1.
    static ints add_where(ints a, mask m, ints b) { return _mm256_add_epi32(a, _mm256_and_si256(m, b)); }
    static ints mul_int(ints a, ints b) { return _mm256_mullo_epi32(a, b); }

    static mask first_lanes(int32_t count) { return _mm256_cmpgt_epi32(_mm256_set1_epi32(count), lane_indices()); }
    // low <= value <= high, with low >= 0, so low - 1 cannot overflow.
    // 0 <= value <= high for lanes of high >= 0: one unsigned comparison.
    static mask at_most_unsigned(ints value, ints high)
    {
        return _mm256_cmpeq_epi32(_mm256_min_epu32(value, high), value);
    }
    static mask in_range(ints value, int32_t low, int32_t high)
    {
        const __m256i above_low = _mm256_cmpgt_epi32(value, _mm256_set1_epi32(low - 1));
        const __m256i above_high = _mm256_cmpgt_epi32(value, _mm256_set1_epi32(high));
        return _mm256_andnot_si256(above_high, above_low);
    }
    // Ordered comparisons: false for NaN.
    static mask at_least(floats a, float b) { return _mm256_castps_si256(_mm256_cmp_ps(a, broadcast(b), _CMP_GE_OQ)); }
    static mask below(floats a, float b) { return _mm256_castps_si256(_mm256_cmp_ps(a, broadcast(b), _CMP_LT_OQ)); }
    static mask both(mask a, mask b) { return _mm256_and_si256(a, b); }
    static mask but_not(mask a, mask b) { return _mm256_andnot_si256(b, a); }
    static unsigned bits(mask m) { return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(m))); }

    static void store_offsets(int32_t *out, ints offsets, mask m)
    {
        _mm256_store_si256(reinterpret_cast<__m256i *>(out), _mm256_and_si256(offsets, m));
    }

    // The elements at each lane's offset and the next. Each lane's pair is one
    // 64-bit load from its own address: cheaper than a hardware gather on
    // many processors.
    static void load_pairs(const float *v, const int32_t *offsets, floats &at_first, floats &at_second)
    {
        const auto pair = [v, offsets](int lane) { return v + offsets[lane]; };
        const auto four_lanes = [&pair](int lane) {
            const __m128d p01 = load_two_pairs(pair(lane), pair(lane + 1));
            const __m128d p23 = load_two_pairs(pair(lane + 2), pair(lane + 3));
            return _mm256_castpd_ps(_mm256_insertf128_pd(_mm256_castpd128_pd256(p01), p23, 1));
        };
        // Pairs of lanes 0-3 and 4-7 as (a0 b0 a1 b1 | a2 b2 a3 b3): the shuffles
        // take the a's and the b's, and the permute restores the lane order.
        const __m256 low = four_lanes(0);
        const __m256 high = four_lanes(4);
        const __m256 firsts = _mm256_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0));
        const __m256 seconds = _mm256_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1));
        at_first = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(firsts), _MM_SHUFFLE(3, 1, 2, 0)));
        at_second = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(seconds), _MM_SHUFFLE(3, 1, 2, 0)));
    }
    // The pairs of load_pairs from the four rows of the interior blend,
    // (row 0, slice 0), (row 1, slice 0), (row 0, slice 1), (row 1, slice 1),
    // lane by lane: each offset is read once for its four rows.
    static void load_pair_rows(const float *v, ptrdiff_t row, ptrdiff_t slice, const int32_t *offsets,
                               floats at_first[4], floats at_second[4])
    {
        const float *rows[4] = {v, v + row, v + slice, v + slice + row};
        __m128d two[4][4];
        for (int k = 0; k < 4; ++k) {
            const int32_t a = offsets[2 * k];
            const int32_t b = offsets[2 * k + 1];
            for (int r = 0; r < 4; ++r) {
                two[r][k] = load_two_pairs(rows[r] + a, rows[r] + b);
            }
        }
        for (int r = 0; r < 4; ++r) {
            const __m256 low = _mm256_castpd_ps(_mm256_insertf128_pd(_mm256_castpd128_pd256(two[r][0]), two[r][1], 1));
            const __m256 high = _mm256_castpd_ps(_mm256_insertf128_pd(_mm256_castpd128_pd256(two[r][2]), two[r][3], 1));
            const __m256 firsts = _mm256_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0));
            const __m256 seconds = _mm256_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1));
            at_first[r] = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(firsts), _MM_SHUFFLE(3, 1, 2, 0)));
            at_second[r] = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(seconds), _MM_SHUFFLE(3, 1, 2, 0)));
        }
    }
    // The 16-bit pairs (element, next element) of the four rows, as
    // load_pair_rows reads them, one 32-bit load per lane and row: the first
    // element in the low half of each lane.
    static void load_word_pair_rows(const uint16_t *v, ptrdiff_t row, ptrdiff_t slice, const int32_t *offsets,
                                    ints pairs[4])
    {
        const uint16_t *rows[4] = {v, v + row, v + slice, v + slice + row};
        __m128i four[4][2];
        for (int k = 0; k < 2; ++k) {
            const int32_t *o = offsets + 4 * k;
            for (int r = 0; r < 4; ++r) {
                four[r][k] = load_four_word_pairs(rows[r] + o[0], rows[r] + o[1], rows[r] + o[2], rows[r] + o[3]);
            }
        }
        for (int r = 0; r < 4; ++r) {
            pairs[r] = _mm256_inserti128_si256(_mm256_castsi128_si256(four[r][0]), four[r][1], 1);
        }
    }
    // Both halves of each lane's 16-bit pair as floats, exactly: unsigned or signed.
    static void unsigned_words(ints pairs, floats &at_first, floats &at_second)
    {
        at_first = _mm256_cvtepi32_ps(_mm256_and_si256(pairs, _mm256_set1_epi32(0xFFFF)));
        at_second = _mm256_cvtepi32_ps(_mm256_srli_epi32(pairs, 16));
    }
    static void signed_words(ints pairs, floats &at_first, floats &at_second)
    {
        at_first = _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(pairs, 16), 16));
        at_second = _mm256_cvtepi32_ps(_mm256_srai_epi32(pairs, 16));
    }
    // The four elements from each lane's offset on, as one vector per tap.
    static void load_quads(const float *v, const int32_t *offsets, floats taps[4])
    {
        __m128 low[4], high[4];
        load_four_quads(v + offsets[0], v + offsets[1], v + offsets[2], v + offsets[3], low);
        load_four_quads(v + offsets[4], v + offsets[5], v + offsets[6], v + offsets[7], high);
        for (int k = 0; k < 4; ++k) {
            taps[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(low[k]), high[k], 1);
        }
    }
    static doubles low_half(floats a) { return _mm256_cvtps_pd(_mm256_castps256_ps128(a)); }
    static doubles high_half(floats a) { return _mm256_cvtps_pd(_mm256_extractf128_ps(a, 1)); }
    static doubles mul_double(doubles a, doubles b) { return _mm256_mul_pd(a, b); }
    static doubles add_double(doubles a, doubles b) { return _mm256_add_pd(a, b); }
    static doubles sub_double(doubles a, doubles b) { return _mm256_sub_pd(a, b); }
    static doubles div_double(doubles a, doubles b) { return _mm256_div_pd(a, b); }
    // Ordered comparisons of doubles, false for NaN, and a choice by them.
    using double_mask = __m256d;  // all ones in a selected lane
    static double_mask greater_double(doubles a, doubles b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    static double_mask equal_double(doubles a, doubles b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static doubles select_double(double_mask m, doubles if_set, doubles if_not)
    {
        return _mm256_blendv_pd(if_not, if_set, m);
    }
    static floats narrow(doubles low, doubles high)
    {
        return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(low)), _mm256_cvtpd_ps(high), 1);
    }
    static unsigned nan_bits(doubles low, doubles high)
    {
        const int low_bits = _mm256_movemask_pd(_mm256_cmp_pd(low, low, _CMP_UNORD_Q));
        const int high_bits = _mm256_movemask_pd(_mm256_cmp_pd(high, high, _CMP_UNORD_Q));
        return static_cast<unsigned>(low_bits | (high_bits << 4));
    }
    static void store(float *address, floats value, mask m) { _mm256_maskstore_ps(address, m, value); }
    static void store_all(float *address, floats value) { _mm256_storeu_ps(address, value); }
    static void store_doubles(double *address, doubles value) { _mm256_storeu_pd(address, value); }
    // A hint to bring the line of `address` into the cache; never faults.
    static void prefetch(uintptr_t address) { _mm_prefetch(reinterpret_cast<const char *>(address), _MM_HINT_T0); }
    static floats load_all(const float *address) { return _mm256_loadu_ps(address); }
};

}  // namespace

void resample(const resample_job &job)
{
    resample_job_simd<doubled_ops<ops>>(job);
}

}  // namespace avx2
}  // namespace voxwarp
