#ifndef VOXWARPKIT_KERNEL_NDIMAGE_SPLINE_LANES_H
#define VOXWARPKIT_KERNEL_NDIMAGE_SPLINE_LANES_H

// A run of columns of a row, eight at a time, for the spline path's commonest
// cases: orders 1 and 3, affine positions or given coordinates, three moving
// axes, a float32 or float64 source.
// The vector form computes each lane as spline_kernel.cpp's scalar loop
// computes that column, operation for operation, and leaves to it every lane
// that is not inside the window on all three axes or whose sum is NaN. Under
// constant, a lane whose position lies outside the input on some axis takes
// cval, as the scalar loop gives it.

#include <cstddef>
#include <cstdint>

struct spline_lanes {
    int order;           // 1 or 3
    const void *source;  // the window's first element of the first volume
    bool double_source;  // float64 elements, else float32
    int64_t volumes;
    ptrdiff_t volume_stride;
    double partial[3];           // each moving axis's part of the position before the last column's term
    double last_column[3];       // the matrix's last column
    const double *positions[3];  // or, when not null, the first column's position along each axis, the others after it
    double prepad;
    bool cval_outside;  // constant: positions outside the input take cval
    double cval;
    int64_t first_column;               // the run's first whole output column
    int64_t count;                      // columns in the run
    uint8_t *taken;                     // bit i of taken[k]: column 8 k + i was computed
    double n[3], origin[3], window[3];  // the moving axes, slowest first, as doubles (exact)
    int32_t stride[3];                  // in elements; every offset in the window below 2**31
    double *sums;                       // column i of volume v at sums[v * piece + i]
    ptrdiff_t piece;
};

// A run of columns of a row whose taps were placed beforehand (zoom and
// shift, whose every axis's taps depend on that axis's index alone): along x
// from a table of the columns, along y and z the row's own. Each column's sum
// is the scalar loop's, in its order; a column whose x taps the table does not
// hold (x_first INT32_MIN), or whose sum is NaN, is left to the scalar loop.
struct tabled_lanes {
    int order;  // 1 or 3
    const void *source;
    bool double_source;
    int64_t volumes;
    ptrdiff_t volume_stride;
    int32_t stride_x;
    const int32_t *x_first;   // column i's first tap along x, an element offset in the window, or INT32_MIN
    const double *x_weights;  // tap k of column i at x_weights[k * columns + i]
    int64_t columns;
    int32_t row_offsets[16];  // the rows of taps of y and z, tap (kz, ky) at kz * taps + ky
    double y_weights[4], z_weights[4];
    int64_t first, count;  // the run: columns first .. first + count - 1 of the table
    double *sums;          // column first + i of volume v at sums[v * piece + i]
    ptrdiff_t piece;
    uint8_t *taken;  // bit i of taken[k]: column first + 8 k + i was computed
};

// Whether the vector form can run on this processor.
bool spline_lanes_usable();

namespace voxwarp {
namespace avx512 {
// The sums of the columns it takes, and their bits in `taken`; the others are left untouched.
void spline_lanes_sums(const spline_lanes &lanes);
void tabled_lanes_sums(const tabled_lanes &lanes);
}  // namespace avx512
}  // namespace voxwarp

#endif
