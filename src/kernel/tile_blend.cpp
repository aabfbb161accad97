#include "kernel/tile_blend.h"

#include "kernel/float_environment.h"
#include "kernel/result_types.h"

#include <cstddef>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// Taylor coefficients (-1)^k / (2k+1)! of the sine, each the double nearest
// to it. With |x| <= pi/2 the first left out, x^21 / 21!, is below 3e-16.
constexpr double sine_terms[9] = {
    -0x1.5555555555555p-3,   // -1/3!
    0x1.1111111111111p-7,    // 1/5!
    -0x1.a01a01a01a01ap-13,  // -1/7!
    0x1.71de3a556c734p-19,   // 1/9!
    -0x1.ae64567f544e4p-26,  // -1/11!
    0x1.6124613a86d09p-33,   // 1/13!
    -0x1.ae7f3e733b81fp-41,  // -1/15!
    0x1.952c77030ad4ap-49,   // 1/17!
    -0x1.2f49b46814157p-57,  // -1/19!
};
constexpr double pi = 0x1.921fb54442d18p+1;

// sin(x) for |x| <= pi/2: x + x * (x^2 * (c1 + x^2 * (c2 + ... + x^2 * c9))),
// evaluated from the innermost term out.
double sine(double x)
{
    const double x2 = x * x;
    double sum = sine_terms[8];
    for (int k = 7; k >= 0; --k) {
        sum = sine_terms[k] + x2 * sum;
    }
    return x + x * (x2 * sum);
}

// The weight of one axis: `index` the position along it, `last` the index of
// its last voxel centre. The distance counts from one voxel beyond the
// outermost centre, so that every voxel the tile holds weighs more than 0.
inline double axis_weight(tile_blending blending, double index, double last, double scale)
{
    const double inner = last - index;
    const double nearer = index < inner ? index : inner;
    const double t = (nearer + 1.0) * scale;
    if (!(t < 1.0)) {
        return 1.0;
    }
    if (blending == tile_blending::linear) {
        return t;
    }
    return 0.5 - 0.5 * cos_pi(t);
}

}  // namespace

double cos_pi(double t)
{
    return sine(pi * (0.5 - t));
}

namespace {

// What the weights need of a job, read once: the last voxel centre and the scale along x, y, z.
struct tile_frame {
    double last[3];
    double scale[3];
    tile_blending blending;
};

tile_frame frame_of(const tile_blend_job &job)
{
    tile_frame frame{};
    for (int a = 0; a < 3; ++a) {
        frame.last[a] = static_cast<double>(job.tile_extent[a] - 1);
        frame.scale[a] = job.scale[a];
    }
    frame.blending = job.blending;
    return frame;
}

inline double weight_at(const tile_frame &frame, double px, double py, double pz)
{
    const bool inside =
        px >= 0.0 && px <= frame.last[0] && py >= 0.0 && py <= frame.last[1] && pz >= 0.0 && pz <= frame.last[2];
    if (!inside) {
        return 0.0;
    }
    if (frame.blending == tile_blending::average || frame.blending == tile_blending::maximum) {
        return 1.0;
    }
    const double wx = axis_weight(frame.blending, px, frame.last[0], frame.scale[0]);
    const double wy = axis_weight(frame.blending, py, frame.last[1], frame.scale[1]);
    const double wz = axis_weight(frame.blending, pz, frame.last[2], frame.scale[2]);
    return (wx * wy) * wz;
}

}  // namespace

namespace {

// Half-open ranges of a row's voxels.
struct span {
    int32_t begin, end;
};

span intersected(span a, span b)
{
    const span both{a.begin > b.begin ? a.begin : b.begin, a.end < b.end ? a.end : b.end};
    return both.begin < both.end ? both : span{0, 0};
}

// The first i in [begin, end) where `holds` is true, for a `holds` that is false and then true
// over the range; `end` when it never holds.
template <typename Holds>
int32_t first_holding(int32_t begin, int32_t end, Holds holds)
{
    while (begin < end) {
        const int32_t middle = begin + (end - begin) / 2;
        if (holds(middle)) {
            end = middle;
        } else {
            begin = middle + 1;
        }
    }
    return begin;
}

// The voxels of a row of `n` where both `low` and `high` hold, each a test of the position p(i)
// along one axis: `low` true from some p up, `high` true up to some p. p is m * x + r in double:
// rounding keeps it monotonic in i, rising with a positive m, so each test changes at most once
// along the row, and where both hold is one span, found by bisection with the tests themselves.
template <typename Low, typename High>
span where_both(int32_t n, double m, Low low, High high)
{
    if (m > 0.0) {
        return span{first_holding(0, n, low), first_holding(0, n, [&](int32_t i) { return !high(i); })};
    }
    if (m < 0.0) {
        return span{first_holding(0, n, high), first_holding(0, n, [&](int32_t i) { return !low(i); })};
    }
    return low(0) && high(0) ? span{0, n} : span{0, 0};
}

// Each index of a row's voxel x is m[4a] * x + ((m[4a+1] * y + m[4a+2] * z) + m[4a+3]): the row's part first.
void row_part_of(const double m[12], double y, double z, double part[3])
{
    for (int a = 0; a < 3; ++a) {
        part[a] = (m[4 * a + 1] * y + m[4 * a + 2] * z) + m[4 * a + 3];
    }
}

// The voxels x0 + i, i in [0, n), of a row that the tile holds: one span (see where_both).
span inside_of_row(const tile_frame &frame, const double m[12], const double row_part[3], int64_t x0, int32_t n)
{
    const auto position = [&](int a, int32_t i) { return m[4 * a] * static_cast<double>(x0 + i) + row_part[a]; };
    span inside{0, n};
    for (int a = 0; a < 3; ++a) {
        const double last = frame.last[a];
        inside = intersected(inside, where_both(
                                         n, m[4 * a], [&](int32_t i) { return position(a, i) >= 0.0; },
                                         [&](int32_t i) { return position(a, i) <= last; }));
    }
    return inside;
}

// One row's weights: 0 outside the tile, 1 where every axis is past its ramp, else weight_at's.
// Both sets are spans (see where_both), found once per row; the weights themselves are the ones
// weight_at gives voxel by voxel.
span row_weights_of(const tile_frame &frame, const double m[12], const double row_part[3], int64_t x0, int32_t n,
                    double *weights)
{
    const auto position = [&](int a, int32_t i) { return m[4 * a] * static_cast<double>(x0 + i) + row_part[a]; };
    const span inside = inside_of_row(frame, m, row_part, x0, n);
    span full{0, n};
    for (int a = 0; a < 3; ++a) {
        const double last = frame.last[a];
        const double scale = frame.scale[a];
        full = intersected(full, where_both(
                                     n, m[4 * a], [&](int32_t i) { return (position(a, i) + 1.0) * scale >= 1.0; },
                                     [&](int32_t i) { return ((last - position(a, i)) + 1.0) * scale >= 1.0; }));
    }
    const bool flat = frame.blending == tile_blending::average || frame.blending == tile_blending::maximum;
    full = flat ? inside : intersected(full, inside);
    for (int32_t i = inside.begin; i < inside.end; ++i) {
        weights[i] =
            i >= full.begin && i < full.end ? 1.0 : weight_at(frame, position(0, i), position(1, i), position(2, i));
    }
    return inside;
}

// One row's weights at positions given voxel by voxel: weight_at's, 0 outside the tile. Positions
// through a field need not move monotonically along the row, so every voxel is tested.
span row_weights_at(const tile_frame &frame, const double *px, const double *py, const double *pz, int32_t n,
                    double *weights)
{
    for (int32_t i = 0; i < n; ++i) {
        weights[i] = weight_at(frame, px[i], py[i], pz[i]);
    }
    return span{0, n};
}

}  // namespace

bool tile_cover(const tile_blend_job &job, int32_t begin[3], int32_t end[3])
{
    const ieee_default_environment environment;
    const tile_frame frame = frame_of(job);
    bool any = false;
    for (int a = 0; a < 3; ++a) {
        begin[a] = job.extent[a];
        end[a] = 0;
    }
    for (int32_t k = 0; k < job.extent[2]; ++k) {
        const double z = static_cast<double>(job.origin[2] + k);
        for (int32_t j = 0; j < job.extent[1]; ++j) {
            double row_part[3];
            row_part_of(job.matrix, static_cast<double>(job.origin[1] + j), z, row_part);
            const span inside = inside_of_row(frame, job.matrix, row_part, job.origin[0], job.extent[0]);
            if (inside.begin < inside.end) {
                any = true;
                begin[0] = inside.begin < begin[0] ? inside.begin : begin[0];
                end[0] = inside.end > end[0] ? inside.end : end[0];
                begin[1] = j < begin[1] ? j : begin[1];
                end[1] = j + 1 > end[1] ? j + 1 : end[1];  // rows of a later plane may end sooner
                begin[2] = k < begin[2] ? k : begin[2];
                end[2] = k + 1;
            }
        }
    }
    return any;
}

void blend_tile(const tile_blend_job &job)
{
    const ieee_default_environment environment;
    const ptrdiff_t row = job.extent[0];
    const ptrdiff_t slice = row * job.extent[1];
    const ptrdiff_t volume = slice * job.extent[2];
    const int32_t *box = job.values_begin;
    const ptrdiff_t values_row = job.values_extent[0];
    const ptrdiff_t values_volume = values_row * job.values_extent[1] * job.values_extent[2];
    const tile_frame frame = frame_of(job);
    double m[12];
    std::memcpy(m, job.matrix, sizeof m);
    const ptrdiff_t component = values_volume;  // of the positions
    std::vector<double> row_weights(static_cast<size_t>(values_row));
    for (int32_t k = 0; k < job.values_extent[2]; ++k) {
        const double z = static_cast<double>(job.origin[2] + box[2] + k);  // the matrix's; unused with positions
        for (int32_t j = 0; j < job.values_extent[1]; ++j) {
            const ptrdiff_t first_value = (k * static_cast<ptrdiff_t>(job.values_extent[1]) + j) * values_row;
            span inside;
            if (job.positions == nullptr) {
                double row_part[3];
                row_part_of(m, static_cast<double>(job.origin[1] + box[1] + j), z, row_part);
                inside = row_weights_of(frame, m, row_part, job.origin[0] + box[0], job.values_extent[0],
                                        row_weights.data());
            } else {
                const double *px = job.positions + first_value;
                inside = row_weights_at(frame, px, px + component, px + 2 * component, job.values_extent[0],
                                        row_weights.data());
            }
            const ptrdiff_t first = (box[2] + k) * slice + (box[1] + j) * row + box[0];
            double *weights = job.weights + first;
            for (int64_t v = 0; v < job.volumes; ++v) {
                const double *values = job.values + v * values_volume + first_value;
                double *sums = job.sums + v * volume + first;
                if (job.blending == tile_blending::maximum) {
                    for (ptrdiff_t i = inside.begin; i < inside.end; ++i) {
                        // np.maximum's rule: a NaN wins, and the first NaN stays. A voxel of weight 0
                        // lies outside the tile (given positions cover the whole row).
                        const double value = values[i];
                        if (row_weights[i] != 0.0
                            && (weights[i] == 0.0 || (sums[i] == sums[i] && (value != value || value > sums[i])))) {
                            sums[i] = value;
                        }
                    }
                } else {
                    for (ptrdiff_t i = inside.begin; i < inside.end; ++i) {
                        // A weight that rounds to 0 adds nothing, not even a NaN or an infinity.
                        if (row_weights[i] != 0.0) {
                            sums[i] += row_weights[i] * values[i];
                        }
                    }
                }
            }
            for (ptrdiff_t i = inside.begin; i < inside.end; ++i) {
                weights[i] += row_weights[i];
            }
        }
    }
}

namespace {

template <typename Result>
void finish_as(const blend_finish_job &job)
{
    using stored = typename Result::stored;
    stored fill;
    std::memcpy(&fill, job.fill, sizeof fill);
    stored *result = static_cast<stored *>(job.result);
    for (int64_t v = 0; v < job.volumes; ++v) {
        const double *sums = job.sums + v * job.voxels;
        stored *out = result + v * job.voxels;
        for (int64_t i = 0; i < job.voxels; ++i) {
            const double weight = job.weights[i];
            if (!(weight > 0.0)) {
                out[i] = fill;
                continue;
            }
            double mean = job.maximum ? sums[i] : sums[i] / weight;
            if (mean != mean) {
                mean = std::numeric_limits<double>::quiet_NaN();
            }
            out[i] = Result::of_double(mean, fill);
        }
    }
}

}  // namespace

void finish_blend(const blend_finish_job &job)
{
    const ieee_default_environment environment;
    voxwarp::visit_result_type(job.result_type, [&](auto tag) { finish_as<typename decltype(tag)::type>(job); });
}
