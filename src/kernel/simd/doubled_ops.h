#ifndef VOXWARPKIT_DOUBLED_OPS_H
#define VOXWARPKIT_DOUBLED_OPS_H

// An `ops` struct of twice the lanes, made of two vectors of `Half`: every
// operation is Half's on each. The kernel's blocks are long chains of
// dependent steps (a division, truncation, the pair loads, a blend of eight
// terms added in order); two independent chains side by side keep the
// processor busy while each waits. The arithmetic, lane by lane, is Half's.

#include <cstddef>
#include <cstdint>

namespace voxwarp {
namespace {

// Each value holds lanes 0 .. n-1 in `low` and n .. 2n-1 in `high`.
template <typename Half>
struct doubled_ops {
    static constexpr int lanes = 2 * Half::lanes;
    struct floats {
        typename Half::floats low, high;
    };
    struct ints {
        typename Half::ints low, high;
    };
    struct mask {
        typename Half::mask low, high;
    };
    // Half of the lanes as doubles: two of Half's halves.
    struct doubles {
        typename Half::doubles low, high;
    };
    struct double_mask {
        typename Half::double_mask low, high;
    };

    static floats broadcast(float value) { return {Half::broadcast(value), Half::broadcast(value)}; }
    static ints broadcast_int(int32_t value) { return {Half::broadcast_int(value), Half::broadcast_int(value)}; }
    static doubles broadcast_double(double value)
    {
        return {Half::broadcast_double(value), Half::broadcast_double(value)};
    }
    static ints lane_indices()
    {
        return {Half::lane_indices(), Half::add_int(Half::lane_indices(), Half::broadcast_int(Half::lanes))};
    }

    static floats mul(floats a, floats b) { return {Half::mul(a.low, b.low), Half::mul(a.high, b.high)}; }
    static floats add(floats a, floats b) { return {Half::add(a.low, b.low), Half::add(a.high, b.high)}; }
    static floats sub(floats a, floats b) { return {Half::sub(a.low, b.low), Half::sub(a.high, b.high)}; }
    static floats div(floats a, floats b) { return {Half::div(a.low, b.low), Half::div(a.high, b.high)}; }
    static floats to_float(ints a) { return {Half::to_float(a.low), Half::to_float(a.high)}; }
    static ints truncate(floats a) { return {Half::truncate(a.low), Half::truncate(a.high)}; }
    static floats floor(floats a) { return {Half::floor(a.low), Half::floor(a.high)}; }
    static ints add_int(ints a, ints b) { return {Half::add_int(a.low, b.low), Half::add_int(a.high, b.high)}; }
    static ints sub_int(ints a, ints b) { return {Half::sub_int(a.low, b.low), Half::sub_int(a.high, b.high)}; }
    static ints mul_int(ints a, ints b) { return {Half::mul_int(a.low, b.low), Half::mul_int(a.high, b.high)}; }
    static ints add_where(ints a, mask m, ints b)
    {
        return {Half::add_where(a.low, m.low, b.low), Half::add_where(a.high, m.high, b.high)};
    }

    static mask first_lanes(int32_t count)
    {
        // The high half's count may go negative: no lane of it then.
        return {Half::first_lanes(count), Half::first_lanes(count - Half::lanes)};
    }
    static mask in_range(ints value, int32_t low, int32_t high)
    {
        return {Half::in_range(value.low, low, high), Half::in_range(value.high, low, high)};
    }
    static mask at_most_unsigned(ints value, ints high)
    {
        return {Half::at_most_unsigned(value.low, high.low), Half::at_most_unsigned(value.high, high.high)};
    }
    static mask at_least(floats a, float b) { return {Half::at_least(a.low, b), Half::at_least(a.high, b)}; }
    static mask below(floats a, float b) { return {Half::below(a.low, b), Half::below(a.high, b)}; }
    static mask both(mask a, mask b) { return {Half::both(a.low, b.low), Half::both(a.high, b.high)}; }
    static mask but_not(mask a, mask b) { return {Half::but_not(a.low, b.low), Half::but_not(a.high, b.high)}; }
    static unsigned bits(mask m) { return Half::bits(m.low) | (Half::bits(m.high) << Half::lanes); }

    static void store_offsets(int32_t *out, ints offsets, mask m)
    {
        Half::store_offsets(out, offsets.low, m.low);
        Half::store_offsets(out + Half::lanes, offsets.high, m.high);
    }
    static void load_pairs(const float *v, const int32_t *offsets, floats &at_first, floats &at_second)
    {
        Half::load_pairs(v, offsets, at_first.low, at_second.low);
        Half::load_pairs(v, offsets + Half::lanes, at_first.high, at_second.high);
    }
    static void load_pair_rows(const float *v, ptrdiff_t row, ptrdiff_t slice, const int32_t *offsets,
                               floats at_first[4], floats at_second[4])
    {
        typename Half::floats first_low[4], second_low[4], first_high[4], second_high[4];
        Half::load_pair_rows(v, row, slice, offsets, first_low, second_low);
        Half::load_pair_rows(v, row, slice, offsets + Half::lanes, first_high, second_high);
        for (int r = 0; r < 4; ++r) {
            at_first[r] = {first_low[r], first_high[r]};
            at_second[r] = {second_low[r], second_high[r]};
        }
    }
    static void load_word_pair_rows(const uint16_t *v, ptrdiff_t row, ptrdiff_t slice, const int32_t *offsets,
                                    ints pairs[4])
    {
        typename Half::ints low[4], high[4];
        Half::load_word_pair_rows(v, row, slice, offsets, low);
        Half::load_word_pair_rows(v, row, slice, offsets + Half::lanes, high);
        for (int r = 0; r < 4; ++r) {
            pairs[r] = {low[r], high[r]};
        }
    }
    static void unsigned_words(ints pairs, floats &at_first, floats &at_second)
    {
        Half::unsigned_words(pairs.low, at_first.low, at_second.low);
        Half::unsigned_words(pairs.high, at_first.high, at_second.high);
    }
    static void signed_words(ints pairs, floats &at_first, floats &at_second)
    {
        Half::signed_words(pairs.low, at_first.low, at_second.low);
        Half::signed_words(pairs.high, at_first.high, at_second.high);
    }
    static void load_quads(const float *v, const int32_t *offsets, floats taps[4])
    {
        typename Half::floats low[4], high[4];
        Half::load_quads(v, offsets, low);
        Half::load_quads(v, offsets + Half::lanes, high);
        for (int k = 0; k < 4; ++k) {
            taps[k] = {low[k], high[k]};
        }
    }
    static doubles low_half(floats a) { return {Half::low_half(a.low), Half::high_half(a.low)}; }
    static doubles high_half(floats a) { return {Half::low_half(a.high), Half::high_half(a.high)}; }
    static doubles mul_double(doubles a, doubles b)
    {
        return {Half::mul_double(a.low, b.low), Half::mul_double(a.high, b.high)};
    }
    static doubles add_double(doubles a, doubles b)
    {
        return {Half::add_double(a.low, b.low), Half::add_double(a.high, b.high)};
    }
    static doubles sub_double(doubles a, doubles b)
    {
        return {Half::sub_double(a.low, b.low), Half::sub_double(a.high, b.high)};
    }
    static doubles div_double(doubles a, doubles b)
    {
        return {Half::div_double(a.low, b.low), Half::div_double(a.high, b.high)};
    }
    static double_mask greater_double(doubles a, doubles b)
    {
        return {Half::greater_double(a.low, b.low), Half::greater_double(a.high, b.high)};
    }
    static double_mask equal_double(doubles a, doubles b)
    {
        return {Half::equal_double(a.low, b.low), Half::equal_double(a.high, b.high)};
    }
    static doubles select_double(double_mask m, doubles if_set, doubles if_not)
    {
        return {Half::select_double(m.low, if_set.low, if_not.low),
                Half::select_double(m.high, if_set.high, if_not.high)};
    }
    static floats narrow(doubles low, doubles high)
    {
        return {Half::narrow(low.low, low.high), Half::narrow(high.low, high.high)};
    }
    static unsigned nan_bits(doubles low, doubles high)
    {
        return Half::nan_bits(low.low, low.high) | (Half::nan_bits(high.low, high.high) << Half::lanes);
    }
    static void store(float *address, floats value, mask m)
    {
        Half::store(address, value.low, m.low);
        Half::store(address + Half::lanes, value.high, m.high);
    }
    static void prefetch(uintptr_t address) { Half::prefetch(address); }
    static floats load_all(const float *address)
    {
        return {Half::load_all(address), Half::load_all(address + Half::lanes)};
    }
    static void store_doubles(double *address, doubles value)
    {
        Half::store_doubles(address, value.low);
        Half::store_doubles(address + Half::lanes / 2, value.high);
    }
    static void store_all(float *address, floats value)
    {
        Half::store_all(address, value.low);
        Half::store_all(address + Half::lanes, value.high);
    }
};

}  // namespace
}  // namespace voxwarp

#endif
