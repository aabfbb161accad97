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

namespace voxwarp {

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

// Samples the position at `offset` within a volume, whose source indices are
// I, J, K, in every volume of the stack. Positions with an axis outside, or
// with more than one axis in a band, are left untouched: the output keeps the
// 0 the caller put there.
inline void resample_position(const grid &g, ptrdiff_t offset, float I, float J, float K)
{
    const int32_t x0 = truncate_to_int32(I);
    const int32_t y0 = truncate_to_int32(J);
    const int32_t z0 = truncate_to_int32(K);
    const int32_t x1 = x0 + 1;
    const int32_t y1 = y0 + 1;
    const int32_t z1 = z0 + 1;
    if (x1 < 0 || y1 < 0 || z1 < 0 || x1 > g.nx || y1 > g.ny || z1 > g.nz) {
        return;
    }

    // The differences are exact; negative below index 0, where the blend extrapolates.
    const float fx_single = I - static_cast<float>(x0);
    const float fy_single = J - static_cast<float>(y0);
    const float fz_single = K - static_cast<float>(z0);
    const double fx = fx_single;
    const double fy = fy_single;
    const double fz = fz_single;
    const double gx = 1.0 - fx;
    const double gy = 1.0 - fy;
    const double gz = 1.0 - fz;

    const band bx = band_of(x1, g.nx);
    const band by = band_of(y1, g.ny);
    const band bz = band_of(z1, g.nz);
    const int banded = (bx != band::inside) + (by != band::inside) + (bz != band::inside);
    if (banded > 1) {
        return;
    }

    const ptrdiff_t row0 = y0 * g.row_size;
    const ptrdiff_t row1 = y1 * g.row_size;
    const ptrdiff_t slice0 = z0 * g.slice_size;
    const ptrdiff_t slice1 = z1 * g.slice_size;

    for (int32_t vol = 0; vol < g.nvol; ++vol) {
        const float *v = g.input + vol * g.volume_size;
        // Each term's weights multiply left to right; the terms add in this
        // order, weights of 0 included, since every order gives other bits.
        double sum;
        if (banded == 0) {
            sum = static_cast<double>(v[slice0 + row0 + x0]) * gx * gy * gz;
            sum = sum + static_cast<double>(v[slice0 + row0 + x1]) * fx * gy * gz;
            sum = sum + static_cast<double>(v[slice0 + row1 + x0]) * gx * fy * gz;
            sum = sum + static_cast<double>(v[slice0 + row1 + x1]) * fx * fy * gz;
            sum = sum + static_cast<double>(v[slice1 + row0 + x0]) * gx * gy * fz;
            sum = sum + static_cast<double>(v[slice1 + row0 + x1]) * fx * gy * fz;
            sum = sum + static_cast<double>(v[slice1 + row1 + x0]) * gx * fy * fz;
            sum = sum + static_cast<double>(v[slice1 + row1 + x1]) * fx * fy * fz;
        } else if (bx != band::inside) {
            // Column 0 for the low band (x1 == 0), the last column x0 for the high band.
            const int32_t column = bx == band::low ? 0 : x0;
            sum = static_cast<double>(v[slice0 + row0 + column]) * gy * gz;
            sum = sum + static_cast<double>(v[slice0 + row1 + column]) * fy * gz;
            sum = sum + static_cast<double>(v[slice1 + row0 + column]) * gy * fz;
            sum = sum + static_cast<double>(v[slice1 + row1 + column]) * fy * fz;
        } else if (by != band::inside) {
            const ptrdiff_t row = by == band::low ? 0 : row0;
            sum = static_cast<double>(v[slice0 + row + x1]) * fx * gz;
            sum = sum + static_cast<double>(v[slice0 + row + x0]) * gx * gz;
            sum = sum + static_cast<double>(v[slice1 + row + x0]) * gx * fz;
            sum = sum + static_cast<double>(v[slice1 + row + x1]) * fx * fz;
        } else {
            const ptrdiff_t slice = bz == band::low ? 0 : slice0;
            sum = static_cast<double>(v[slice + row0 + x1]) * fx * gy;
            sum = sum + static_cast<double>(v[slice + row0 + x0]) * gx * gy;
            sum = sum + static_cast<double>(v[slice + row1 + x0]) * gx * fy;
            sum = sum + static_cast<double>(v[slice + row1 + x1]) * fx * fy;
        }
        g.output[vol * g.volume_size + offset] = static_cast<float>(sum);
    }
}

}  // namespace voxwarp

#endif
