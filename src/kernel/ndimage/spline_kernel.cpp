#include "kernel/ndimage/spline_job.h"

#include "kernel/float_environment.h"
#include "kernel/ndimage/spline_lanes.h"
#include "kernel/ndimage/spline_weights.h"
#include "kernel/resample_position.h"
#include "kernel/result_types.h"
#include "kernel/separable.h"
#include "kernel/simd/cpu_x86.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace {

using voxwarp::first_nan_math;
using voxwarp::hardware_math;
using voxwarp::most_spline_taps;

// One axis of a position: whether it is sampled, and each tap's element
// offset along the axis and weight; a tap outside the input under
// grid-constant has its bit in `outside` and reads cval.
struct axis_taps {
    bool sampled;
    uint32_t outside;
    ptrdiff_t offset[most_spline_taps];
    double weight[most_spline_taps];
};

// An input axis as the taps see it: the whole input's extent, and the
// window's first voxel, extent and stride (in elements).
struct axis_frame {
    int64_t n;
    int64_t origin, window;
    ptrdiff_t stride;
    std::atomic<bool> *missed;  // set when a position reads a voxel outside the window
};

// The taps of `position` along an axis: the prepadding added, a position
// outside brought back by the mode (nearest and grid-constant keep theirs),
// not sampled when the mode leaves it at -1 or less (constant beyond the
// edges) or when it is NaN, infinite or 2**52 or more in magnitude.
void locate_axis(const spline_job &job, double position, const axis_frame &a, axis_taps &t)
{
    double c = position + job.prepad;
    t.outside = 0;
    t.sampled = false;
    if (!(std::fabs(c) < voxwarp::largest_position)) {
        return;
    }
    const bool kept = job.mode == spline_mode::grid_constant || job.mode == spline_mode::nearest;
    if (!kept) {
        c = voxwarp::mapped_position(c, a.n, job.mode);
        if (!(c > -1.0)) {
            return;
        }
    }
    const int order = job.order;
    const int64_t start = voxwarp::first_tap(c, order);
    voxwarp::spline_weights(c, order, t.weight);
    const bool remapped = start < 0 || start + order >= a.n;
    const spline_mode tap_mode = voxwarp::tap_mode_of(job.mode);
    for (int k = 0; k <= order; ++k) {
        int64_t voxel = start + k;
        if (job.mode == spline_mode::grid_constant) {
            if (voxel < 0 || voxel >= a.n) {
                t.outside |= 1u << k;
                t.offset[k] = 0;
                continue;
            }
        } else if (remapped) {
            voxel = voxwarp::tap_voxel(voxel, a.n, tap_mode);
        }
        const int64_t in_window = voxel - a.origin;
        if (in_window < 0 || in_window >= a.window) {
            a.missed->store(true, std::memory_order_relaxed);
            return;
        }
        t.offset[k] = static_cast<ptrdiff_t>(in_window) * a.stride;
    }
    t.sampled = true;
}

// The taps of position c (the prepadding added) when they all lie in the
// window and c in [0, n - 1], where every mode reads them as they are, and
// true; false for any other position, which locate_axis then places.
template <int Order>
inline bool locate_interior(double c, const axis_frame &a, axis_taps &t)
{
    if (!(c >= 0.0 && c <= static_cast<double>(a.n - 1))) {
        return false;
    }
    const double base = voxwarp::tap_base<Order>(c);
    const int64_t start = static_cast<int64_t>(base) - Order / 2 - a.origin;
    if (start < 0 || start + Order >= a.window) {
        return false;
    }
    voxwarp::spline_weights_at<Order>(c - base, t.weight);
    for (int k = 0; k <= Order; ++k) {
        t.offset[k] = static_cast<ptrdiff_t>(start + k) * a.stride;
    }
    t.outside = 0;
    t.sampled = true;
    return true;
}

// Elements read as doubles: exactly, for every type a job reads.
template <typename Stored>
struct double_source {
    const Stored *data;
    double operator[](ptrdiff_t i) const { return static_cast<double>(data[i]); }
    double_source operator+(ptrdiff_t i) const { return {data + i}; }
};

// The taps of one axis weighed and added from the left; with `Outside`, a
// row whose slower axes lie outside (`row_outside`), or a tap outside, reads
// cval (grid-constant), and without it every tap reads the source.
template <typename Math, int Taps, bool Outside, typename Source>
inline double axis_sum(Source v, const axis_taps &x, bool row_outside, double cval)
{
    double values[Taps];
    for (int k = 0; k < Taps; ++k) {
        if constexpr (Outside) {
            const bool outside = row_outside || ((x.outside >> k) & 1u) != 0;
            values[k] = outside ? cval : v[x.offset[k]];
        } else {
            values[k] = v[x.offset[k]];
        }
    }
    return voxwarp::weighted_sum<Math, Taps>(values, x.weight);
}

// The blend axis by axis, the fastest first: each row of taps along the last
// axis weighed into a row sum, those along the axis before, and so on, every
// sum added from the left. `axes` holds the moving axes, slowest first.
template <typename Math, int Taps, int Rank, bool Outside, typename Source>
inline double spline_sum(Source v, const axis_taps *const axes[3], double cval)
{
    const axis_taps &x = *axes[Rank - 1];
    if constexpr (Rank == 1) {
        return axis_sum<Math, Taps, Outside>(v, x, false, cval);
    } else if constexpr (Rank == 2) {
        const axis_taps &y = *axes[0];
        double rows[Taps];
        for (int ky = 0; ky < Taps; ++ky) {
            rows[ky] = axis_sum<Math, Taps, Outside>(v + y.offset[ky], x, ((y.outside >> ky) & 1u) != 0, cval);
        }
        return voxwarp::weighted_sum<Math, Taps>(rows, y.weight);
    } else {
        const axis_taps &z = *axes[0];
        const axis_taps &y = *axes[1];
        double planes[Taps];
        for (int kz = 0; kz < Taps; ++kz) {
            double rows[Taps];
            for (int ky = 0; ky < Taps; ++ky) {
                const bool outside = (((z.outside >> kz) | (y.outside >> ky)) & 1u) != 0;
                rows[ky] = axis_sum<Math, Taps, Outside>(v + (z.offset[kz] + y.offset[ky]), x, outside, cval);
            }
            planes[kz] = voxwarp::weighted_sum<Math, Taps>(rows, y.weight);
        }
        return voxwarp::weighted_sum<Math, Taps>(planes, z.weight);
    }
}

// The first-NaN replay of a sum that came out NaN: rare, and kept out of
// the loops so that their values stay in registers.
#if defined(__GNUC__)
#define VOXWARPKIT_RARELY_CALLED __attribute__((noinline, cold))
#else
#define VOXWARPKIT_RARELY_CALLED
#endif
template <int Taps, int Rank, bool Outside, typename Source>
VOXWARPKIT_RARELY_CALLED double replayed(Source v, const axis_taps *const axes[3], double cval)
{
    return spline_sum<first_nan_math, Taps, Rank, Outside>(v, axes, cval);
}

// The sum, with a NaN sum replayed by the first-NaN rule so that its bits
// depend on neither the compiler nor the processor.
template <int Taps, int Rank, bool Outside, typename Source>
inline double blend(Source v, const axis_taps *const axes[3], double cval)
{
    const double sum = spline_sum<hardware_math, Taps, Rank, Outside>(v, axes, cval);
    return sum == sum ? sum : replayed<Taps, Rank, Outside>(v, axes, cval);
}

// Every volume's sum at positions `c` (the prepadding added) along the
// moving axes when all their taps lie in the window and no sum is NaN, into
// sums[vol * piece], and true; false, with nothing written, for any other
// position, which the general path then samples. The taps and weights stay in
// locals, and the sum is spline_sum's, in its order.
template <int Taps, int Rank, typename Source>
inline bool interior_sums(const double c[Rank], const axis_frame frames[3], decltype(Source::data) first_volume,
                          int64_t volumes, ptrdiff_t volume_stride, double *sums, ptrdiff_t piece)
{
    constexpr int order = Taps - 1;
    ptrdiff_t offset[Rank][Taps];
    double weight[Rank][Taps];
    for (int h = 0; h < Rank; ++h) {
        const axis_frame &a = frames[h];
        if (!(c[h] >= 0.0 && c[h] <= static_cast<double>(a.n - 1))) {
            return false;
        }
        const double base = voxwarp::tap_base<order>(c[h]);
        const int64_t start = static_cast<int64_t>(base) - order / 2 - a.origin;
        if (start < 0 || start + order >= a.window) {
            return false;
        }
        voxwarp::spline_weights_at<order>(c[h] - base, weight[h]);
        for (int k = 0; k < Taps; ++k) {
            offset[h][k] = static_cast<ptrdiff_t>(start + k) * a.stride;
        }
    }
    for (int64_t vol = 0; vol < volumes; ++vol) {
        const Source v{first_volume + vol * volume_stride};
        double sum;
        if constexpr (Rank == 1) {
            double values[Taps];
            for (int k = 0; k < Taps; ++k) {
                values[k] = v[offset[0][k]];
            }
            sum = voxwarp::weighted_sum<hardware_math, Taps>(values, weight[0]);
        } else if constexpr (Rank == 2) {
            double rows[Taps];
            for (int ky = 0; ky < Taps; ++ky) {
                double values[Taps];
                for (int kx = 0; kx < Taps; ++kx) {
                    values[kx] = v[offset[0][ky] + offset[1][kx]];
                }
                rows[ky] = voxwarp::weighted_sum<hardware_math, Taps>(values, weight[1]);
            }
            sum = voxwarp::weighted_sum<hardware_math, Taps>(rows, weight[0]);
        } else {
            double planes[Taps];
            for (int kz = 0; kz < Taps; ++kz) {
                double rows[Taps];
                for (int ky = 0; ky < Taps; ++ky) {
                    double values[Taps];
                    for (int kx = 0; kx < Taps; ++kx) {
                        values[kx] = v[offset[0][kz] + offset[1][ky] + offset[2][kx]];
                    }
                    rows[ky] = voxwarp::weighted_sum<hardware_math, Taps>(values, weight[2]);
                }
                planes[kz] = voxwarp::weighted_sum<hardware_math, Taps>(rows, weight[1]);
            }
            sum = voxwarp::weighted_sum<hardware_math, Taps>(planes, weight[0]);
        }
        if (sum != sum) {
            return false;  // the general path replays it; the sums written so far it writes again
        }
        sums[vol * piece] = sum;
    }
    return true;
}

// A double as an integer by scipy's cast: half away from zero (half up for
// the unsigned), saturated, a NaN 0.
template <typename Int>
inline Int integer_of_sum(double sum)
{
    constexpr bool is_signed = std::numeric_limits<Int>::is_signed;
    constexpr double lowest = static_cast<double>(std::numeric_limits<Int>::min());
    constexpr double past_highest = static_cast<double>(std::numeric_limits<Int>::max()) + 1.0;  // 2**k, rounded
    if (sum != sum) {
        return 0;
    }
    const double rounded = sum > 0.0 ? sum + 0.5 : (is_signed ? sum - 0.5 : 0.0);
    if (rounded >= past_highest) {
        return std::numeric_limits<Int>::max();
    }
    if (rounded <= lowest - 1.0) {
        return std::numeric_limits<Int>::min();
    }
    return static_cast<Int>(rounded);  // truncated toward zero, as C's cast
}

template <typename T>
void write_as(const double *sums, int64_t count, void *target, ptrdiff_t stride)
{
    T *out = static_cast<T *>(target);
    for (int64_t i = 0; i < count; ++i) {
        T value;
        if constexpr (std::is_same_v<T, float>) {
            value = voxwarp::float_of_double(sums[i]);
        } else if constexpr (std::is_same_v<T, double>) {
            value = sums[i];
        } else {
            value = integer_of_sum<T>(sums[i]);
        }
        out[i * stride] = value;
    }
}

void write_bools(const double *sums, int64_t count, void *target, ptrdiff_t stride)
{
    uint8_t *out = static_cast<uint8_t *>(target);
    for (int64_t i = 0; i < count; ++i) {
        out[i * stride] = sums[i] == 0.0 ? 0 : 1;  // a NaN is not 0: true, as C's cast
    }
}

void write_halves(const double *sums, int64_t count, void *target, ptrdiff_t stride)
{
    uint16_t *out = static_cast<uint16_t *>(target);
    for (int64_t i = 0; i < count; ++i) {
        out[i * stride] = voxwarp::half_of_double(sums[i]);
    }
}

using results_writer = void (*)(const double *sums, int64_t count, void *target, ptrdiff_t stride);

results_writer writer_of(element_type type)
{
    switch (type) {
    case element_type::float32: return write_as<float>;
    case element_type::float64: return write_as<double>;
    case element_type::boolean: return write_bools;
    case element_type::int8: return write_as<int8_t>;
    case element_type::uint8: return write_as<uint8_t>;
    case element_type::int16: return write_as<int16_t>;
    case element_type::uint16: return write_as<uint16_t>;
    case element_type::int32: return write_as<int32_t>;
    case element_type::uint32: return write_as<uint32_t>;
    case element_type::int64: return write_as<int64_t>;
    case element_type::uint64: return write_as<uint64_t>;
    case element_type::float16: return write_halves;
    }
    return nullptr;
}

// What every unit of a run reads: the job, its axes and, for zoom_shift, each
// output index's taps along each axis, made once.
struct run_frame {
    const spline_job &job;
    axis_frame axes[3];               // the moving input axes, slowest first
    int64_t pieces_per_row, piece;    // a tile's output columns
    std::vector<axis_taps> table[3];  // zoom_shift: the taps of every output index along each axis
    results_writer write;
    std::vector<std::unique_ptr<double[]>> work;  // per worker: volumes * piece sums
    bool lanes;  // order-1 and 3 columns go through spline_lanes (affine, coordinates) or tabled_lanes (zoom_shift)
    // zoom_shift with lanes: the table of x as tabled_lanes reads it
    std::vector<int32_t> x_first;
    std::vector<double> x_weights;
};

// tabled_lanes' mark of a column whose x taps it does not hold.
constexpr int32_t column_not_held = INT32_MIN;

// The input positions of output row (o0, o1) at column o2 along each moving axis.
struct row_positions {
    double partial[3];  // affine: the row's part of each position, before the last output axis's term
    int64_t flat;       // coordinates: the row's first output voxel, in C order
};

// The most output columns of a tile.
constexpr int64_t largest_piece = 2048;

// The `count` columns of a row through `lanes` (spline_lanes or tabled_lanes)
// into `sums`, then every column they left through `scalar`.
template <typename Lanes, typename Scalar>
void lanes_then_scalar(Lanes &lanes, void (*sums_of)(const Lanes &), int64_t count, double *sums, Scalar scalar)
{
    uint8_t taken[largest_piece / 8];
    lanes.count = count;
    lanes.sums = sums;
    lanes.taken = taken;
    sums_of(lanes);
    for (int64_t i = 0; i < count; ++i) {
        if ((taken[i / 8] & (1u << (i % 8))) == 0) {
            scalar(i);
        }
    }
}

// Output rows per tile: a tile of `piece` columns by this many rows runs
// through every slice, so that the input its positions read stays in the
// cache from one slice to the next.
constexpr int64_t tile_rows = 16;

// Whether the vector form serves these taps, rank and source: linear and
// cubic over a volume of float32 or float64 coefficients.
template <int Taps, int Rank, typename Source>
constexpr bool has_lanes =
    (Taps == 2 || Taps == 4) && Rank == 3
    && (std::is_same_v<Source, double_source<float>> || std::is_same_v<Source, double_source<double>>);

// The columns first .. first + piece of output row (o0, o1), the block's own
// indices, into every volume of the target.
template <int Taps, int Rank, typename Source>
void run_piece(const run_frame &f, int64_t o0, int64_t o1, int64_t first, double *sums)
{
    const spline_job &job = f.job;
    const int64_t count = std::min(f.piece, job.output_extent[2] - first);
    const int64_t index[3] = {job.output_origin[0] + o0, job.output_origin[1] + o1, 0};
    const int in_rank = job.input_rank, out_rank = job.output_rank;
    const double *m = job.matrix;
    row_positions r{};
    if (job.kind == spline_positions::affine) {
        for (int h = 0; h < in_rank; ++h) {
            double sum = job.shift[h];
            for (int l = 0; l + 1 < out_rank; ++l) {
                const double c = static_cast<double>(index[3 - out_rank + l]);
                sum = sum + c * m[3 * h + l];
            }
            r.partial[h] = sum;
        }
    } else if (job.kind == spline_positions::coordinates) {
        r.flat = (o0 * job.output_extent[1] + o1) * job.output_extent[2] + first;
    }
    const int64_t total = job.output_extent[0] * job.output_extent[1] * job.output_extent[2];
    // What the loop reads, in locals: the stores to `sums` could otherwise alias the job's doubles.
    const double cval = job.cval, prepad = job.prepad;
    const int64_t volumes = job.volumes;
    const ptrdiff_t volume_stride = job.input_volume, piece = f.piece;
    double last_column[3] = {0.0, 0.0, 0.0};
    axis_frame frames[3];
    for (int h = 0; h < Rank; ++h) {
        last_column[h] = m[3 * h + out_rank - 1];
        frames[h] = f.axes[3 - Rank + h];
    }
    using pointer = decltype(Source::data);
    const pointer first_volume = static_cast<pointer>(job.source);
    axis_taps located[3];
    const axis_taps *axes[3];
    // Samples every volume at output column i, whose axes' taps are in `axes`.
    const auto sample = [&](int64_t i) {
        bool sampled = true;
        uint32_t outside = 0;
        for (int h = 0; h < Rank; ++h) {
            sampled = sampled && axes[h]->sampled;
            outside |= axes[h]->outside;
        }
        for (int64_t vol = 0; vol < volumes; ++vol) {
            double value = cval;
            if (sampled) {
                const Source v{first_volume + vol * volume_stride};
                value = outside == 0 ? blend<Taps, Rank, false>(v, axes, cval) : blend<Taps, Rank, true>(v, axes, cval);
            }
            sums[vol * piece + i] = value;
        }
    };
    // The taps of `position` along moving axis h.
    const auto locate = [&](int h, double position) {
        if (!locate_interior<Taps - 1>(position + prepad, frames[h], located[h])) {
            locate_axis(job, position, frames[h], located[h]);
        }
        axes[h] = &located[h];
    };
    switch (job.kind) {
    case spline_positions::affine:
    case spline_positions::coordinates: {
        // The position of column i along moving axis h.
        const auto position_at = [&](int h, int64_t i) {
            if (job.kind == spline_positions::coordinates) {
                return job.coordinates[h * total + r.flat + i];
            }
            const double column = static_cast<double>(job.output_origin[2] + first + i);
            return r.partial[h] + column * last_column[h];
        };
        // Column i by the scalar loop: inside from locals, else by the general path.
        const auto scalar_column = [&](int64_t i) {
            double positions[Rank], padded[Rank];
            for (int h = 0; h < Rank; ++h) {
                positions[h] = position_at(h, i);
                padded[h] = positions[h] + prepad;
            }
            if (interior_sums<Taps, Rank, Source>(padded, frames, first_volume, volumes, volume_stride, sums + i,
                                                  piece)) {
                return;
            }
            for (int h = 0; h < Rank; ++h) {
                locate(h, positions[h]);
            }
            sample(i);
        };
        int64_t done = 0;
#if defined(VOXWARPKIT_HAVE_AVX512)
        if constexpr (has_lanes<Taps, Rank, Source>) {
            if (f.lanes) {
                spline_lanes lanes{};
                lanes.order = Taps - 1;
                lanes.source = first_volume;
                lanes.double_source = std::is_same_v<Source, double_source<double>>;
                lanes.volumes = volumes;
                lanes.volume_stride = volume_stride;
                lanes.prepad = prepad;
                lanes.piece = piece;
                for (int h = 0; h < 3; ++h) {
                    lanes.partial[h] = r.partial[h];
                    lanes.last_column[h] = last_column[h];
                    lanes.n[h] = static_cast<double>(frames[h].n);
                    lanes.origin[h] = static_cast<double>(frames[h].origin);
                    lanes.window[h] = static_cast<double>(frames[h].window);
                    lanes.stride[h] = static_cast<int32_t>(frames[h].stride);
                }
                const bool given = job.kind == spline_positions::coordinates;
                for (int h = 0; h < 3; ++h) {
                    lanes.positions[h] = given ? job.coordinates + (h * total + r.flat) : nullptr;
                }
                lanes.cval_outside = job.mode == spline_mode::constant;
                lanes.cval = cval;
                lanes.first_column = job.output_origin[2] + first;
                lanes_then_scalar(lanes, voxwarp::avx512::spline_lanes_sums, count, sums, scalar_column);
                done = count;
            }
        }
#endif
        for (int64_t i = done; i < count; ++i) {
            scalar_column(i);
        }
        break;
    }
    case spline_positions::zoom_shift: {
        for (int h = 0; h + 1 < Rank; ++h) {
            const int axis = 3 - Rank + h;
            axes[h] = &f.table[axis][static_cast<size_t>(axis == 0 ? o0 : o1)];
        }
        int64_t done = 0;
#if defined(VOXWARPKIT_HAVE_AVX512)
        if constexpr (has_lanes<Taps, Rank, Source>) {
            const axis_taps &z = *axes[0], &y = *axes[1];
            if (f.lanes && z.sampled && y.sampled && (z.outside | y.outside) == 0) {
                tabled_lanes lanes{};
                lanes.order = Taps - 1;
                lanes.source = first_volume;
                lanes.double_source = std::is_same_v<Source, double_source<double>>;
                lanes.volumes = volumes;
                lanes.volume_stride = volume_stride;
                lanes.stride_x = static_cast<int32_t>(frames[2].stride);
                lanes.x_first = f.x_first.data();
                lanes.x_weights = f.x_weights.data();
                lanes.columns = job.output_extent[2];
                for (int kz = 0; kz < Taps; ++kz) {
                    lanes.z_weights[kz] = z.weight[kz];
                    lanes.y_weights[kz] = y.weight[kz];
                    for (int ky = 0; ky < Taps; ++ky) {
                        lanes.row_offsets[kz * Taps + ky] = static_cast<int32_t>(z.offset[kz] + y.offset[ky]);
                    }
                }
                lanes.first = first;
                lanes.piece = piece;
                lanes_then_scalar(lanes, voxwarp::avx512::tabled_lanes_sums, count, sums, [&](int64_t i) {
                    axes[Rank - 1] = &f.table[2][static_cast<size_t>(first + i)];
                    sample(i);
                });
                done = count;
            }
        }
#endif
        for (int64_t i = done; i < count; ++i) {
            axes[Rank - 1] = &f.table[2][static_cast<size_t>(first + i)];
            sample(i);
        }
        break;
    }
    }
    for (int64_t vol = 0; vol < job.volumes; ++vol) {
        const int64_t at = vol * job.output_volume + o0 * job.output_stride[0] + o1 * job.output_stride[1]
                           + first * job.output_stride[2];
        char *target = static_cast<char *>(job.target) + at * element_size_of(job.target_type);
        f.write(sums + vol * f.piece, count, target, job.output_stride[2]);
    }
}

// One unit of a run: a tile of the output, through every slice.
template <int Taps, int Rank, typename Source>
void run_tile(const run_frame &f, int64_t unit, double *sums)
{
    const spline_job &job = f.job;
    const int64_t first_row = (unit / f.pieces_per_row) * tile_rows;
    const int64_t first = (unit % f.pieces_per_row) * f.piece;
    const int64_t end_row = std::min(first_row + tile_rows, job.output_extent[1]);
    for (int64_t o0 = 0; o0 < job.output_extent[0]; ++o0) {
        for (int64_t o1 = first_row; o1 < end_row; ++o1) {
            run_piece<Taps, Rank, Source>(f, o0, o1, first, sums);
        }
    }
}

using unit_function = void (*)(const run_frame &f, int64_t unit, double *sums);

template <int Taps, int Rank>
unit_function unit_of_source(element_type type)
{
    switch (type) {
    case element_type::float64: return run_tile<Taps, Rank, double_source<double>>;
    case element_type::float32: return run_tile<Taps, Rank, double_source<float>>;
    case element_type::uint8: return run_tile<Taps, Rank, double_source<uint8_t>>;
    case element_type::uint16: return run_tile<Taps, Rank, double_source<uint16_t>>;
    case element_type::int16: return run_tile<Taps, Rank, double_source<int16_t>>;
    default: return nullptr;
    }
}

template <int Taps>
unit_function unit_of_rank(int rank, element_type type)
{
    switch (rank) {
    case 1: return unit_of_source<Taps, 1>(type);
    case 2: return unit_of_source<Taps, 2>(type);
    default: return unit_of_source<Taps, 3>(type);
    }
}

// The unit of the job's order, rank and source type, chosen once per run.
unit_function unit_of(const spline_job &job)
{
    switch (job.order) {
    case 0: return unit_of_rank<1>(job.input_rank, job.source_type);
    case 1: return unit_of_rank<2>(job.input_rank, job.source_type);
    case 2: return unit_of_rank<3>(job.input_rank, job.source_type);
    case 3: return unit_of_rank<4>(job.input_rank, job.source_type);
    case 4: return unit_of_rank<5>(job.input_rank, job.source_type);
    default: return unit_of_rank<6>(job.input_rank, job.source_type);
    }
}

// A tile's output columns: 128, fewer where the volumes' sums would crowd the
// cache; many more for an output of one row (map_coordinates' points), whose
// tiles are pieces of that row.
int64_t piece_of(const spline_job &job)
{
    const int64_t widest = job.output_extent[0] * job.output_extent[1] == 1 ? largest_piece : 256;
    const int64_t by_volumes = std::max<int64_t>(16, 16384 / std::max<int64_t>(job.volumes, 1));
    return std::min<int64_t>(std::min<int64_t>(widest, by_volumes), std::max<int64_t>(job.output_extent[2], 1));
}

// The x table of tabled_lanes from the taps of every output column along x:
// a column's taps are held when they are sampled, read the source and follow
// one another along the axis (not remapped at an edge).
void fill_x_table(run_frame &f)
{
    const std::vector<axis_taps> &columns = f.table[2];
    const size_t n = columns.size();
    const int taps = f.job.order + 1;
    const ptrdiff_t stride = f.axes[2].stride;
    f.x_first.assign(n, column_not_held);
    f.x_weights.assign(n * static_cast<size_t>(taps), 0.0);
    for (size_t i = 0; i < n; ++i) {
        const axis_taps &t = columns[i];
        bool held = t.sampled && t.outside == 0;
        for (int k = 1; held && k < taps; ++k) {
            held = t.offset[k] == t.offset[0] + k * stride;
        }
        if (!held) {
            continue;
        }
        f.x_first[i] = static_cast<int32_t>(t.offset[0]);
        for (int k = 0; k < taps; ++k) {
            f.x_weights[static_cast<size_t>(k) * n + i] = t.weight[k];
        }
    }
}

// zoom_shift's position of output index k along moving axis h.
double zoom_shift_position(const spline_job &job, int h, int64_t k)
{
    double c = static_cast<double>(k);
    if (job.has_shift) {
        c = c + job.shift[h];
    }
    if (job.has_zoom) {
        if (job.grid_mode) {
            const double centre = c + 0.5;
            const double zoomed = centre * job.zoom[h];
            c = zoomed - 0.5;
        } else {
            c = c * job.zoom[h];
        }
    }
    return c;
}

struct unit_run {
    const run_frame &frame;
    unit_function unit;
    static void work(void *context, int64_t index, int worker)
    {
        const unit_run &self = *static_cast<unit_run *>(context);
        self.unit(self.frame, index, self.frame.work[static_cast<size_t>(worker)].get());
    }
};

// Whether the job's order-1 or 3 columns can go through the lanes here: three moving axes, a float
// source whose every window offset fits an int32.
bool lanes_apply(const spline_job &job)
{
    if (!job.vectors || (job.order != 1 && job.order != 3) || job.input_rank != 3
        || (job.source_type != element_type::float32 && job.source_type != element_type::float64)
        || !spline_lanes_usable()) {
        return false;
    }
    double reach = 0.0;
    for (int a = 0; a < 3; ++a) {
        const double stride = static_cast<double>(job.input_stride[a] < 0 ? -job.input_stride[a] : job.input_stride[a]);
        reach = reach + stride * static_cast<double>(job.window_extent[a]);
    }
    return reach < 2147483647.0;
}

bool is_spline_source(element_type type)
{
    return type == element_type::float64 || type == element_type::float32 || type == element_type::uint8
           || type == element_type::uint16 || type == element_type::int16;
}

}  // namespace

bool spline_lanes_usable()
{
#if defined(VOXWARPKIT_HAVE_AVX512)
    return cpu_supports_avx512();
#else
    return false;
#endif
}

bool spline_job_is_sound(const spline_job &job)
{
    if (job.input_rank < 1 || job.input_rank > 3 || job.output_rank < 1 || job.output_rank > 3 || job.order < 0
        || job.order > voxwarp::largest_spline_order || job.volumes < 0 || !is_spline_source(job.source_type)
        || writer_of(job.target_type) == nullptr || static_cast<int32_t>(job.mode) < 0
        || static_cast<int32_t>(job.mode) >= spline_mode_count) {
        return false;
    }
    if (job.kind == spline_positions::zoom_shift && job.input_rank != job.output_rank) {
        return false;
    }
    for (int a = 0; a < 3; ++a) {
        const bool moving_in = a >= 3 - job.input_rank, moving_out = a >= 3 - job.output_rank;
        if (job.input_extent[a] < 1 || (!moving_in && job.input_extent[a] != 1) || job.output_extent[a] < 0
            || (!moving_out && job.output_extent[a] != 1)) {
            return false;
        }
    }
    return job.kind != spline_positions::coordinates || job.coordinates != nullptr;
}

spline_stop run_spline_job(const spline_job &job, int threads, progress_check check)
{
    const int64_t rows = job.output_extent[0] * job.output_extent[1];
    if (rows <= 0 || job.output_extent[2] <= 0 || job.volumes <= 0) {
        return spline_stop::none;
    }
    std::atomic<bool> missed{false};
    run_frame frame{job, {}, 0, piece_of(job), {}, writer_of(job.target_type), {}, lanes_apply(job)};
    for (int a = 0; a < 3; ++a) {
        frame.axes[a] = {job.input_extent[a], job.input_origin[a], job.window_extent[a], job.input_stride[a], &missed};
    }
    frame.pieces_per_row = (job.output_extent[2] + frame.piece - 1) / frame.piece;
    const int64_t count = (job.output_extent[1] + tile_rows - 1) / tile_rows * frame.pieces_per_row;
    const size_t workers = static_cast<size_t>(std::min<int64_t>(std::max(threads, 1), count));
    try {
        // The tables are positions too: made under the default environment, the caller's flags kept.
        const ieee_default_environment environment;
        if (job.kind == spline_positions::zoom_shift) {
            for (int h = 0; h < job.input_rank; ++h) {
                const int axis = 3 - job.input_rank + h;
                frame.table[axis].resize(static_cast<size_t>(job.output_extent[axis]));
                for (int64_t k = 0; k < job.output_extent[axis]; ++k) {
                    const int64_t whole = job.output_origin[axis] + k;
                    locate_axis(job, zoom_shift_position(job, h, whole), frame.axes[axis],
                                frame.table[axis][static_cast<size_t>(k)]);
                }
            }
            if (frame.lanes) {
                fill_x_table(frame);
            }
        }
        for (size_t i = 0; i < workers; ++i) {
            frame.work.emplace_back(new double[static_cast<size_t>(job.volumes * frame.piece)]);
        }
    } catch (const std::bad_alloc &) {
        return spline_stop::out_of_memory;
    }
    unit_run run{frame, unit_of(job)};
    const bool finished = run_units(count, static_cast<int>(frame.work.size()), check, {unit_run::work, &run});
    if (missed.load()) {
        return spline_stop::window_missed;
    }
    return finished ? spline_stop::none : spline_stop::checked;
}
