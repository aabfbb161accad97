#ifndef VOXWARPKIT_RESAMPLE_POSITION_H
#define VOXWARPKIT_RESAMPLE_POSITION_H

// The exact arithmetic of one output position, shared by the scalar kernel and
// every vectorised variant (which hand it the positions they do not take
// themselves). Each single-precision step has its own named float so that no
// compiler can fuse, reorder or widen it; doubles are combined left to right.

#include "kernel/resample_job.h"
#include "kernel/result_types.h"
#include "kernel/truncate.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// Everything here has internal linkage: each instruction-set variant compiles
// its own copy with its own flags, and the linker must never swap one copy for
// another (a variant's copy may use instructions the processor lacks).
namespace voxwarp {
namespace {

// Everything about a job that does not change from position to position.
// Source offsets are relative to the window's first element; output offsets
// to the target box's.
struct job_constants {
    const void *input;
    void *output;
    int32_t nvol;
    int32_t nx, ny, nz;  // the source's full extent
    int32_t wx, wy, wz;  // the window's origin in the source
    ptrdiff_t row_size;  // source strides, in elements
    ptrdiff_t slice_size;
    ptrdiff_t volume_size;
    ptrdiff_t out_row, out_slice, out_volume;
    float sx, sy, sz;     // source spacing: divides the mapped position
    float osx, osy, osz;  // output spacing: makes X, Y, Z from indices
    float m[12];
    const chain_step *chain;  // steps after the matrix: none for an affine job
    int32_t chain_length;
    bool clamp;  // linear interpolation with the clamped edge rule
    bool write_fill;
    unsigned char fill[8];
};

// The job's constants, copied out of the job once per run.
inline job_constants make_job_constants(const resample_job &job)
{
    job_constants jc{};
    jc.input = job.source.data;
    jc.output = job.target.data;
    jc.nvol = job.nvol;
    jc.nx = job.source.full_extent.x;
    jc.ny = job.source.full_extent.y;
    jc.nz = job.source.full_extent.z;
    jc.wx = job.source.origin.x;
    jc.wy = job.source.origin.y;
    jc.wz = job.source.origin.z;
    jc.row_size = job.source.row;
    jc.slice_size = job.source.slice;
    jc.volume_size = job.source.volume;
    jc.out_row = job.target.row;
    jc.out_slice = job.target.slice;
    jc.out_volume = job.target.volume;
    jc.sx = job.source.spacing[0];
    jc.sy = job.source.spacing[1];
    jc.sz = job.source.spacing[2];
    jc.osx = job.target.spacing[0];
    jc.osy = job.target.spacing[1];
    jc.osz = job.target.spacing[2];
    for (int i = 0; i < 12; ++i) {
        jc.m[i] = job.matrix[i];
    }
    jc.chain = job.chain;
    jc.chain_length = job.chain_length;
    jc.clamp = job.edges == edge_rule::clamp;
    jc.write_fill = job.write_fill;
    std::memcpy(jc.fill, job.fill, sizeof jc.fill);
    return jc;
}

// The products of a row's Y and Z with the matrix: the same for every column,
// so they are formed once per row. y and z are global output indices.
struct row_terms {
    float m1y, m5y, m9y;
    float m2z, m6z, m10z;
};

inline row_terms make_row_terms(const job_constants &jc, int32_t y, int32_t z)
{
    const float Y = static_cast<float>(y) * jc.osy;
    const float Z = static_cast<float>(z) * jc.osz;
    row_terms r;
    r.m1y = jc.m[1] * Y;
    r.m5y = jc.m[5] * Y;
    r.m9y = jc.m[9] * Y;
    r.m2z = jc.m[2] * Z;
    r.m6z = jc.m[6] * Z;
    r.m10z = jc.m[10] * Z;
    return r;
}

// One coordinate of a matrix times a position: ((a*X + bY) + cZ) + d.
inline float matrix_row(float a, float X, float bY, float cZ, float d)
{
    const float aX = a * X;
    const float sum1 = aX + bY;
    const float sum2 = sum1 + cZ;
    const float sum3 = sum2 + d;
    return sum3;
}

// Fractional source index along one axis: (((a*X + bY) + cZ) + d) / spacing.
inline float source_index(float a, float X, float bY, float cZ, float d, float spacing)
{
    const float index = matrix_row(a, X, bY, cZ, d) / spacing;
    return index;
}

// Where a position falls along one axis once it has passed the gate.
enum class band { inside, low, high };

// The band of a position whose upper neighbour along an axis of n is i1, with
// 0 <= i1 <= n: low at 0, high at n, inside otherwise.
inline band band_of(int32_t i1, int32_t n)
{
    if (i1 == 0) {
        return band::low;
    }
    if (i1 == n) {
        return band::high;
    }
    return band::inside;
}

// How a sampled position blends: all axes inside, or one axis in a band, whose
// face is then read alone. Low and high bands of an axis list their terms in
// the same order and differ only in the face they read.
enum class blend_kind { interior, x_face, y_face, z_face };

// A position that passed the gate: its neighbours as element offsets within a
// volume of the window (column, row, slice, each less the window's origin and
// times its stride) and its weights. For a face, the "0" offset of the banded
// axis is the face read: index 0 for the low band, n - 1 for the high band.
struct sample_point {
    blend_kind kind;
    ptrdiff_t x0, x1, row0, row1, slice0, slice1;
    double fx, fy, fz, gx, gy, gz;
};

// The nearest voxel along an axis of n: floor(I), one up when the fraction is
// 0.5 or more (ties go up); -1 when I is NaN or infinite or that voxel is not
// in [0, n - 1], so that the sampled interval is [-0.5, n - 0.5). The range
// test comes first: floor of a value past 2**31 does not fit the integer.
inline int32_t nearest_index(float I, int32_t n)
{
    if (!(I >= -1.0f && I < 2147483648.0f)) {
        return -1;
    }
    const float below = std::floor(I);
    const float fraction = I - below;  // exact
    const int32_t index = static_cast<int32_t>(below) + (fraction >= 0.5f ? 1 : 0);
    return index < n ? index : -1;
}

// One axis under the clamped edge rule: false unless the nearest voxel of I
// lies in [0, n - 1]; else the neighbours floor(I) and floor(I) + 1, each
// clamped to [0, n - 1], and the weight I - floor(I) of the second.
inline bool clamped_axis(float I, int32_t n, int32_t &i0, int32_t &i1, float &fraction)
{
    if (nearest_index(I, n) < 0) {
        return false;
    }
    const float below = std::floor(I);  // from -1 to n - 1: the nearest voxel is in range
    fraction = I - below;               // exact
    const int32_t lower = static_cast<int32_t>(below);
    i0 = lower < 0 ? 0 : lower;
    i1 = lower + 1 > n - 1 ? n - 1 : lower + 1;
    return true;
}

// The neighbours and weights of (I, J, K) under the clamped edge rule: always
// an interior blend, whose pairs repeat a voxel where they are clamped.
inline bool locate_clamped(const job_constants &jc, float I, float J, float K, sample_point &p)
{
    int32_t x0, x1, y0, y1, z0, z1;
    float fx_single, fy_single, fz_single;
    if (!clamped_axis(I, jc.nx, x0, x1, fx_single) || !clamped_axis(J, jc.ny, y0, y1, fy_single)
        || !clamped_axis(K, jc.nz, z0, z1, fz_single)) {
        return false;
    }
    p.kind = blend_kind::interior;
    p.fx = fx_single;
    p.fy = fy_single;
    p.fz = fz_single;
    p.gx = 1.0 - p.fx;
    p.gy = 1.0 - p.fy;
    p.gz = 1.0 - p.fz;
    p.x0 = ptrdiff_t{x0} - jc.wx;
    p.x1 = ptrdiff_t{x1} - jc.wx;
    p.row0 = (ptrdiff_t{y0} - jc.wy) * jc.row_size;
    p.row1 = (ptrdiff_t{y1} - jc.wy) * jc.row_size;
    p.slice0 = (ptrdiff_t{z0} - jc.wz) * jc.slice_size;
    p.slice1 = (ptrdiff_t{z1} - jc.wz) * jc.slice_size;
    return true;
}

// Finds the neighbours and weights of source position (I, J, K) under the
// job's edge rule; false when the position is not sampled (for the bands: an
// axis outside, or more than one in a band).
inline bool locate(const job_constants &jc, float I, float J, float K, sample_point &p)
{
    if (jc.clamp) {
        return locate_clamped(jc, I, J, K, p);
    }
    const int32_t x0 = truncate_to_int32(I);
    const int32_t y0 = truncate_to_int32(J);
    const int32_t z0 = truncate_to_int32(K);
    const int32_t x1 = x0 + 1;
    const int32_t y1 = y0 + 1;
    const int32_t z1 = z0 + 1;
    if (x1 < 0 || y1 < 0 || z1 < 0 || x1 > jc.nx || y1 > jc.ny || z1 > jc.nz) {
        return false;
    }
    const band bx = band_of(x1, jc.nx);
    const band by = band_of(y1, jc.ny);
    const band bz = band_of(z1, jc.nz);
    const int banded = (bx != band::inside) + (by != band::inside) + (bz != band::inside);
    if (banded > 1) {
        return false;
    }
    p.kind = banded == 0          ? blend_kind::interior
             : bx != band::inside ? blend_kind::x_face
             : by != band::inside ? blend_kind::y_face
                                  : blend_kind::z_face;

    // The differences are exact; negative below index 0, where the blend extrapolates.
    const float fx_single = I - static_cast<float>(x0);
    const float fy_single = J - static_cast<float>(y0);
    const float fz_single = K - static_cast<float>(z0);
    p.fx = fx_single;
    p.fy = fy_single;
    p.fz = fz_single;
    p.gx = 1.0 - p.fx;
    p.gy = 1.0 - p.fy;
    p.gz = 1.0 - p.fz;

    p.x0 = ptrdiff_t{bx == band::low ? 0 : x0} - jc.wx;
    p.x1 = ptrdiff_t{x1} - jc.wx;
    p.row0 = (ptrdiff_t{by == band::low ? 0 : y0} - jc.wy) * jc.row_size;
    p.row1 = (ptrdiff_t{y1} - jc.wy) * jc.row_size;
    p.slice0 = (ptrdiff_t{bz == band::low ? 0 : z0} - jc.wz) * jc.slice_size;
    p.slice1 = (ptrdiff_t{z1} - jc.wz) * jc.slice_size;
    return true;
}

// Plain double arithmetic, as the hardware does it.
struct hardware_math {
    static double widen(float value) { return value; }
    static double multiply(double a, double b) { return a * b; }
    static double add(double a, double b) { return a + b; }
};

// Which NaN an operation returns is left open by IEEE 754, and compilers swap
// the operands of + and *. A blend whose result is NaN is therefore replayed
// with the rule of SSE written out: the first NaN operand, made quiet; a NaN
// made from numbers (inf * 0, inf - inf) is the default NaN.
struct first_nan_math {
    static constexpr uint64_t quiet_bit = uint64_t{1} << 51;
    static constexpr uint64_t default_nan = 0xFFF8000000000000u;

    static double from_bits(uint64_t bits)
    {
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    static uint64_t to_bits(double value)
    {
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        return bits;
    }
    static double widen(float value)
    {
        if (value == value) {
            return value;
        }
        uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        const uint64_t sign = static_cast<uint64_t>(bits >> 31) << 63;
        const uint64_t payload = static_cast<uint64_t>(bits & 0x7FFFFFu) << 29;
        return from_bits(sign | 0x7FF0000000000000u | quiet_bit | payload);
    }
    static double pick(double a, double b, double result)
    {
        if (a != a) {
            return from_bits(to_bits(a) | quiet_bit);
        }
        if (b != b) {
            return from_bits(to_bits(b) | quiet_bit);
        }
        if (result != result) {
            return from_bits(default_nan);
        }
        return result;
    }
    static double multiply(double a, double b) { return pick(a, b, a * b); }
    static double add(double a, double b) { return pick(a, b, a + b); }
    // double -> float for a NaN: sign and the top of the payload, made quiet.
    static float narrow_nan(double value) { return narrowed_nan(to_bits(value)); }
};

// One term: the element widened, then its weights from left to right.
template <typename Math>
inline double term(float value, double w1, double w2)
{
    return Math::multiply(Math::multiply(Math::widen(value), w1), w2);
}

template <typename Math>
inline double term(float value, double w1, double w2, double w3)
{
    return Math::multiply(term<Math>(value, w1, w2), w3);
}

// The blend of volume `v` at `p`: terms added in this order, weights of 0
// included, since every other order gives other bits. `Source` reads the
// elements as floats: a float pointer, or a converted source of another type.
template <typename Math, typename Source>
inline double blend(Source v, const sample_point &p)
{
    double sum;
    switch (p.kind) {
    case blend_kind::interior:
        sum = term<Math>(v[p.slice0 + p.row0 + p.x0], p.gx, p.gy, p.gz);
        sum = Math::add(sum, term<Math>(v[p.slice0 + p.row0 + p.x1], p.fx, p.gy, p.gz));
        sum = Math::add(sum, term<Math>(v[p.slice0 + p.row1 + p.x0], p.gx, p.fy, p.gz));
        sum = Math::add(sum, term<Math>(v[p.slice0 + p.row1 + p.x1], p.fx, p.fy, p.gz));
        sum = Math::add(sum, term<Math>(v[p.slice1 + p.row0 + p.x0], p.gx, p.gy, p.fz));
        sum = Math::add(sum, term<Math>(v[p.slice1 + p.row0 + p.x1], p.fx, p.gy, p.fz));
        sum = Math::add(sum, term<Math>(v[p.slice1 + p.row1 + p.x0], p.gx, p.fy, p.fz));
        sum = Math::add(sum, term<Math>(v[p.slice1 + p.row1 + p.x1], p.fx, p.fy, p.fz));
        return sum;
    case blend_kind::x_face:
        sum = term<Math>(v[p.slice0 + p.row0 + p.x0], p.gy, p.gz);
        sum = Math::add(sum, term<Math>(v[p.slice0 + p.row1 + p.x0], p.fy, p.gz));
        sum = Math::add(sum, term<Math>(v[p.slice1 + p.row0 + p.x0], p.gy, p.fz));
        sum = Math::add(sum, term<Math>(v[p.slice1 + p.row1 + p.x0], p.fy, p.fz));
        return sum;
    case blend_kind::y_face:
        sum = term<Math>(v[p.slice0 + p.row0 + p.x1], p.fx, p.gz);
        sum = Math::add(sum, term<Math>(v[p.slice0 + p.row0 + p.x0], p.gx, p.gz));
        sum = Math::add(sum, term<Math>(v[p.slice1 + p.row0 + p.x0], p.gx, p.fz));
        sum = Math::add(sum, term<Math>(v[p.slice1 + p.row0 + p.x1], p.fx, p.fz));
        return sum;
    case blend_kind::z_face:
        sum = term<Math>(v[p.slice0 + p.row0 + p.x1], p.fx, p.gy);
        sum = Math::add(sum, term<Math>(v[p.slice0 + p.row0 + p.x0], p.gx, p.gy));
        sum = Math::add(sum, term<Math>(v[p.slice0 + p.row1 + p.x0], p.gx, p.fy));
        sum = Math::add(sum, term<Math>(v[p.slice0 + p.row1 + p.x1], p.fx, p.fy));
        return sum;
    }
    return 0.0;
}

// The blend rounded once to float, with a NaN result made independent of the
// compiler and the processor.
template <typename Source>
inline float blend_volume(Source v, const sample_point &p)
{
    const double sum = blend<hardware_math>(v, p);
    if (sum == sum) {
        return static_cast<float>(sum);
    }
    return first_nan_math::narrow_nan(blend<first_nan_math>(v, p));
}

// The blend's sum, with a NaN sum replayed for bits that do not depend on the
// compiler or the processor: what every result type is made from.
template <typename Source>
inline double blend_sum(Source v, const sample_point &p)
{
    const double sum = blend<hardware_math>(v, p);
    if (sum == sum) {
        return sum;
    }
    return blend<first_nan_math>(v, p);
}

// Element `offset` of every volume of the target gets `value`.
template <typename T>
inline void store_in_every_volume(const job_constants &jc, ptrdiff_t offset, T value)
{
    T *output = static_cast<T *>(jc.output);
    for (int32_t vol = 0; vol < jc.nvol; ++vol) {
        output[vol * jc.out_volume + offset] = value;
    }
}

// The fill element as a value of the target's element type.
template <typename T>
inline T fill_value(const job_constants &jc)
{
    T value;
    std::memcpy(&value, jc.fill, sizeof value);
    return value;
}

// Samples the target position at `offset`, whose source indices are I, J, K,
// in every volume of the stack. A position that is not sampled gets the fill
// when the job asks for one and is otherwise left untouched: the output keeps
// the 0 the caller put there. `Source` reads the job's elements as floats;
// `Result` writes the elements of the job's result type.
template <typename Source, typename Result = float32_results>
inline void resample_position(const job_constants &jc, ptrdiff_t offset, float I, float J, float K)
{
    using stored = typename Result::stored;
    sample_point p;
    if (!locate(jc, I, J, K, p)) {
        if (jc.write_fill) {
            store_in_every_volume(jc, offset, fill_value<stored>(jc));
        }
        return;
    }
    const Source input = static_cast<Source>(jc.input);
    stored *output = static_cast<stored *>(jc.output);
    if constexpr (std::is_same_v<Result, float32_results>) {
        for (int32_t vol = 0; vol < jc.nvol; ++vol) {
            output[vol * jc.out_volume + offset] = blend_volume(input + vol * jc.volume_size, p);
        }
    } else {
        const stored fill = fill_value<stored>(jc);
        for (int32_t vol = 0; vol < jc.nvol; ++vol) {
            output[vol * jc.out_volume + offset] = Result::of_double(blend_sum(input + vol * jc.volume_size, p), fill);
        }
    }
}

// Element offset, within a volume of the window, of the nearest voxel of
// source position (I, J, K); false when it is not sampled.
inline bool locate_nearest(const job_constants &jc, float I, float J, float K, ptrdiff_t &offset)
{
    const int32_t x = nearest_index(I, jc.nx);
    const int32_t y = nearest_index(J, jc.ny);
    const int32_t z = nearest_index(K, jc.nz);
    if (x < 0 || y < 0 || z < 0) {
        return false;
    }
    offset = (ptrdiff_t{z} - jc.wz) * jc.slice_size + (ptrdiff_t{y} - jc.wy) * jc.row_size + (ptrdiff_t{x} - jc.wx);
    return true;
}

// Copies the nearest source element of each volume, bit for bit, into the
// target position at `offset`; T is an unsigned integer of the element's size.
template <typename T>
inline void nearest_position(const job_constants &jc, ptrdiff_t offset, float I, float J, float K)
{
    ptrdiff_t source;
    if (!locate_nearest(jc, I, J, K, source)) {
        if (jc.write_fill) {
            store_in_every_volume(jc, offset, fill_value<T>(jc));
        }
        return;
    }
    const T *input = static_cast<const T *>(jc.input);
    T *output = static_cast<T *>(jc.output);
    for (int32_t vol = 0; vol < jc.nvol; ++vol) {
        output[vol * jc.out_volume + offset] = input[vol * jc.volume_size + source];
    }
}

// p <- A p for a row-major 3x4 A, each coordinate as matrix_row forms it.
inline void apply_matrix(const float *a, float p[3])
{
    float moved[3];
    for (int row = 0; row < 3; ++row) {
        const float bY = a[4 * row + 1] * p[1];
        const float cZ = a[4 * row + 2] * p[2];
        moved[row] = matrix_row(a[4 * row], p[0], bY, cZ, a[4 * row + 3]);
    }
    p[0] = moved[0];
    p[1] = moved[1];
    p[2] = moved[2];
}

// p <- p + d(p). The field's index along each axis is (p - origin) / spacing;
// d is the clamped linear blend of each component there (the clamped edge
// rule's neighbours, weights and term order), rounded once to float. Where
// the nearest field voxel lies outside the field's grid, and for NaN or
// infinite positions, there is no displacement, as in ITK's
// displacement-field transform.
inline void apply_field(const displacement_field &field, float p[3])
{
    float index[3];
    for (int axis = 0; axis < 3; ++axis) {
        const float shifted = p[axis] - field.origin[axis];
        index[axis] = shifted / field.spacing[axis];
    }
    job_constants grid;  // only what locate_clamped reads
    grid.nx = field.extent.x;
    grid.ny = field.extent.y;
    grid.nz = field.extent.z;
    grid.wx = grid.wy = grid.wz = 0;
    grid.row_size = field.extent.x;
    grid.slice_size = grid.row_size * field.extent.y;
    sample_point s;
    if (!locate_clamped(grid, index[0], index[1], index[2], s)) {
        return;
    }
    const ptrdiff_t volume = grid.slice_size * field.extent.z;
    for (int axis = 0; axis < 3; ++axis) {
        const float displacement = blend_volume(field.data + axis * volume, s);
        p[axis] = p[axis] + displacement;
    }
}

// The source indices of the output position at X on a row of `r` in a job
// with a chain: the job's matrix as for any job, then every step in order,
// then the division by the source spacing.
inline void chain_indices(const job_constants &jc, const row_terms &r, float X, float &I, float &J, float &K)
{
    float p[3] = {matrix_row(jc.m[0], X, r.m1y, r.m2z, jc.m[3]), matrix_row(jc.m[4], X, r.m5y, r.m6z, jc.m[7]),
                  matrix_row(jc.m[8], X, r.m9y, r.m10z, jc.m[11])};
    for (int32_t step = 0; step < jc.chain_length; ++step) {
        if (jc.chain[step].matrix != nullptr) {
            apply_matrix(jc.chain[step].matrix, p);
        } else {
            apply_field(jc.chain[step].field, p);
        }
    }
    I = p[0] / jc.sx;
    J = p[1] / jc.sy;
    K = p[2] / jc.sz;
}

// The source indices of the output position at X on a row of `r`.
inline void position_indices(const job_constants &jc, const row_terms &r, float X, float &I, float &J, float &K)
{
    if (jc.chain_length > 0) {
        chain_indices(jc, r, X, I, J, K);
        return;
    }
    I = source_index(jc.m[0], X, r.m1y, r.m2z, jc.m[3], jc.sx);
    J = source_index(jc.m[4], X, r.m5y, r.m6z, jc.m[7], jc.sy);
    K = source_index(jc.m[8], X, r.m9y, r.m10z, jc.m[11], jc.sz);
}

// Calls sample(jc, offset, I, J, K) for every position of the job's target box,
// in C order: the scalar kernel, and the way to the nearest copy of elements
// of any size.
template <typename Sample>
inline void for_each_position(const job_constants &jc, const target_box &box, Sample &&sample)
{
    for (int32_t k = 0; k < box.extent.z; ++k) {
        const int32_t z = box.origin.z + k;
        for (int32_t j = 0; j < box.extent.y; ++j) {
            const int32_t y = box.origin.y + j;
            const row_terms r = make_row_terms(jc, y, z);
            const ptrdiff_t row_offset = k * box.slice + j * box.row;
            for (int32_t i = 0; i < box.extent.x; ++i) {
                const int32_t x = box.origin.x + i;
                const float X = static_cast<float>(x) * jc.osx;
                float I, J, K;
                position_indices(jc, r, X, I, J, K);
                sample(jc, row_offset + i, I, J, K);
            }
        }
    }
}

// The element label interpolation picks in one volume (`input`) from the
// neighbours at `source`, x fastest, then y, then z (the interior blend's
// order), for the fractions fx, fy, fz of the clamped rule. Each neighbour's
// weight is (wx * wy) * wz in double (wx = 1 - fx for the first of the pair,
// fx for the second). For each distinct element (by its bits) the weights of
// the neighbours holding it are summed in that order, and the element with
// the largest sum wins; of several with equal sums, the nearest voxel's
// element if it is one of them (so a position on a voxel takes that voxel),
// else the first in that order. T is an unsigned integer of the element's size.
template <typename T>
inline T label_choice(const T *input, const ptrdiff_t source[8], float fx, float fy, float fz)
{
    T value[8];
    for (int k = 0; k < 8; ++k) {
        value[k] = input[source[k]];
    }
    // Inside a region all eight hold one element: the only candidate, so it
    // wins whatever the weights, and no weight need be formed.
    bool uniform = true;
    for (int k = 1; k < 8; ++k) {
        uniform = uniform && value[k] == value[0];
    }
    if (uniform) {
        return value[0];
    }
    const double wx[2] = {1.0 - double{fx}, double{fx}};
    const double wy[2] = {1.0 - double{fy}, double{fy}};
    const double wz[2] = {1.0 - double{fz}, double{fz}};
    double sum[8];
    int owner[8];  // the first neighbour holding the same element
    for (int k = 0; k < 8; ++k) {
        const int i = k & 1, j = (k >> 1) & 1, l = k >> 2;
        const double wxy = wx[i] * wy[j];
        const double weight = wxy * wz[l];
        owner[k] = k;
        for (int m = 0; m < k; ++m) {
            if (value[m] == value[k]) {
                owner[k] = owner[m];
                break;
            }
        }
        sum[k] = 0.0;
        sum[owner[k]] += weight;
    }
    // The nearest voxel is the second of a pair where the fraction is 0.5 or more.
    const int nearest = (fx >= 0.5f ? 1 : 0) | (fy >= 0.5f ? 2 : 0) | (fz >= 0.5f ? 4 : 0);
    double largest = sum[owner[nearest]];
    for (int k = 0; k < 8; ++k) {
        largest = owner[k] == k && sum[k] > largest ? sum[k] : largest;
    }
    int chosen = owner[nearest];
    if (sum[chosen] != largest) {
        for (int k = 0; k < 8; ++k) {
            if (owner[k] == k && sum[k] == largest) {
                chosen = k;
                break;
            }
        }
    }
    return value[chosen];
}

// The offsets, within a volume of the window, of the eight neighbours from
// the pairs x, y, z, in label_choice's order.
inline void label_neighbours(const job_constants &jc, const int32_t x[2], const int32_t y[2], const int32_t z[2],
                             ptrdiff_t source[8])
{
    for (int k = 0; k < 8; ++k) {
        const int i = k & 1, j = (k >> 1) & 1, l = k >> 2;
        source[k] = (ptrdiff_t{z[l]} - jc.wz) * jc.slice_size + (ptrdiff_t{y[j]} - jc.wy) * jc.row_size
                    + (ptrdiff_t{x[i]} - jc.wx);
    }
}

// Label interpolation at source position (I, J, K), for the target position at
// `offset` of every volume: label_choice of the neighbours of the clamped
// rule, sampled where that rule samples. T is an unsigned integer of the
// element's size.
template <typename T>
inline void label_position(const job_constants &jc, ptrdiff_t offset, float I, float J, float K)
{
    int32_t x[2], y[2], z[2];
    float fx, fy, fz;
    if (!clamped_axis(I, jc.nx, x[0], x[1], fx) || !clamped_axis(J, jc.ny, y[0], y[1], fy)
        || !clamped_axis(K, jc.nz, z[0], z[1], fz)) {
        if (jc.write_fill) {
            store_in_every_volume(jc, offset, fill_value<T>(jc));
        }
        return;
    }
    ptrdiff_t source[8];
    label_neighbours(jc, x, y, z, source);
    const T *input = static_cast<const T *>(jc.input);
    T *output = static_cast<T *>(jc.output);
    for (int32_t vol = 0; vol < jc.nvol; ++vol) {
        output[vol * jc.out_volume + offset] = label_choice(input + vol * jc.volume_size, source, fx, fy, fz);
    }
}

// Runs a label job position by position, for elements of its size: the
// scalar kernel's label.
inline void label_job(const job_constants &jc, const resample_job &job)
{
    switch (job.element_size) {
    case 1: for_each_position(jc, job.target, label_position<uint8_t>); return;
    case 2: for_each_position(jc, job.target, label_position<uint16_t>); return;
    case 4: for_each_position(jc, job.target, label_position<uint32_t>); return;
    case 8: for_each_position(jc, job.target, label_position<uint64_t>); return;
    }
}

// True when the job writes nothing: no volume, no position, or a source without
// voxels (whose positions the driver fills itself, since none can be read).
inline bool job_is_empty(const resample_job &job)
{
    return job.nvol <= 0 || job.target.extent.x <= 0 || job.target.extent.y <= 0 || job.target.extent.z <= 0
           || job.source.full_extent.x <= 0 || job.source.full_extent.y <= 0 || job.source.full_extent.z <= 0;
}

}  // namespace
}  // namespace voxwarp

#endif
