#ifndef VOXWARPKIT_RESAMPLE_POSITION_H
#define VOXWARPKIT_RESAMPLE_POSITION_H

// The exact arithmetic of one output position, shared by the scalar kernel and
// every vectorised variant (which hand it the positions they do not take
// themselves). Each single-precision step has its own named float so that no
// compiler can fuse, reorder or widen it; doubles are combined left to right.

#include "truncate.h"
#include "voxwarpkit.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// Everything here has internal linkage: each instruction-set variant compiles
// its own copy with its own flags, and the linker must never swap one copy for
// another (a variant's copy may use instructions the processor lacks).
namespace voxwarp {
namespace {

// Everything about a call that does not change from position to position.
struct grid {
    const float *input;
    float *output;
    int32_t nvol, nz, ny, nx;
    ptrdiff_t row_size;     // nx
    ptrdiff_t slice_size;   // ny * nx
    ptrdiff_t volume_size;  // nz * ny * nx
    float sx, sy, sz;
    float m[12];
};

inline grid make_grid(const float *input, const volume_shape &shape, const float *voxel_size,
                      const float *matrix, float *output)
{
    grid g{};
    g.input = input;
    g.output = output;
    g.nvol = shape.nvol;
    g.nz = shape.nz;
    g.ny = shape.ny;
    g.nx = shape.nx;
    g.row_size = shape.nx;
    g.slice_size = g.row_size * shape.ny;
    g.volume_size = g.slice_size * shape.nz;
    g.sx = voxel_size[0];
    g.sy = voxel_size[1];
    g.sz = voxel_size[2];
    for (int i = 0; i < 12; ++i) {
        g.m[i] = matrix[i];
    }
    return g;
}

// The products of a row's Y and Z with the matrix: the same for every column,
// so they are formed once per row.
struct row_terms {
    float m1y, m5y, m9y;
    float m2z, m6z, m10z;
};

inline row_terms make_row_terms(const grid &g, int32_t y, int32_t z)
{
    const float Y = static_cast<float>(y) * g.sy;
    const float Z = static_cast<float>(z) * g.sz;
    row_terms r;
    r.m1y = g.m[1] * Y;
    r.m5y = g.m[5] * Y;
    r.m9y = g.m[9] * Y;
    r.m2z = g.m[2] * Z;
    r.m6z = g.m[6] * Z;
    r.m10z = g.m[10] * Z;
    return r;
}

// Fractional source index along one axis: (((a*X + bY) + cZ) + d) / spacing.
inline float source_index(float a, float X, float bY, float cZ, float d, float spacing)
{
    const float aX = a * X;
    const float sum1 = aX + bY;
    const float sum2 = sum1 + cZ;
    const float sum3 = sum2 + d;
    const float index = sum3 / spacing;
    return index;
}

// Where a position falls along one axis once it has passed the gate.
enum class band { inside, low, high };

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
// volume (column, row * nx, slice * ny * nx) and its weights. For a face, the
// "0" offset of the banded axis is the face read: index 0 for the low band,
// n - 1 for the high band.
struct sample_point {
    blend_kind kind;
    ptrdiff_t x0, x1, row0, row1, slice0, slice1;
    double fx, fy, fz, gx, gy, gz;
};

// Finds the neighbours and weights of source position (I, J, K); false when
// the position is not sampled (an axis outside, or more than one in a band).
inline bool locate(const grid &g, float I, float J, float K, sample_point &p)
{
    const int32_t x0 = truncate_to_int32(I);
    const int32_t y0 = truncate_to_int32(J);
    const int32_t z0 = truncate_to_int32(K);
    const int32_t x1 = x0 + 1;
    const int32_t y1 = y0 + 1;
    const int32_t z1 = z0 + 1;
    if (x1 < 0 || y1 < 0 || z1 < 0 || x1 > g.nx || y1 > g.ny || z1 > g.nz) {
        return false;
    }
    const band bx = band_of(x1, g.nx);
    const band by = band_of(y1, g.ny);
    const band bz = band_of(z1, g.nz);
    const int banded = (bx != band::inside) + (by != band::inside) + (bz != band::inside);
    if (banded > 1) {
        return false;
    }
    p.kind = banded == 0            ? blend_kind::interior
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

    p.x0 = bx == band::low ? 0 : x0;
    p.x1 = x1;
    p.row0 = (by == band::low ? 0 : y0) * g.row_size;
    p.row1 = y1 * g.row_size;
    p.slice0 = (bz == band::low ? 0 : z0) * g.slice_size;
    p.slice1 = z1 * g.slice_size;
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
    static float narrow_nan(double value)
    {
        const uint64_t bits = to_bits(value);
        const uint32_t narrow = static_cast<uint32_t>(bits >> 63) << 31 | 0x7FC00000u
                                | static_cast<uint32_t>((bits >> 29) & 0x3FFFFFu);
        float result;
        std::memcpy(&result, &narrow, sizeof result);
        return result;
    }
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
// included, since every other order gives other bits.
template <typename Math>
inline double blend(const float *v, const sample_point &p)
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
inline float blend_volume(const float *v, const sample_point &p)
{
    const double sum = blend<hardware_math>(v, p);
    if (sum == sum) {
        return static_cast<float>(sum);
    }
    return first_nan_math::narrow_nan(blend<first_nan_math>(v, p));
}

// Samples the position at `offset` within a volume, whose source indices are
// I, J, K, in every volume of the stack. Positions that are not sampled are
// left untouched: the output keeps the 0 the caller put there.
inline void resample_position(const grid &g, ptrdiff_t offset, float I, float J, float K)
{
    sample_point p;
    if (!locate(g, I, J, K, p)) {
        return;
    }
    for (int32_t vol = 0; vol < g.nvol; ++vol) {
        g.output[vol * g.volume_size + offset] = blend_volume(g.input + vol * g.volume_size, p);
    }
}

}  // namespace
}  // namespace voxwarp

#endif
