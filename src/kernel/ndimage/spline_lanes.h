#ifndef VOXWARPKIT_KERNEL_NDIMAGE_SPLINE_LANES_H
#define VOXWARPKIT_KERNEL_NDIMAGE_SPLINE_LANES_H

// Eight columns of a row at a time for the spline path's commonest cases:
// order 1, affine positions or given coordinates, three moving axes, a float32
// or float64 source.
// The vector form computes each lane as spline_kernel.cpp's scalar loop
// computes that column, operation for operation, and leaves to it every lane
// that is not inside the window on all three axes or whose sum is NaN.

#include <cstddef>
#include <cstdint>

struct linear_lanes {
    const void *source;  // the window's first element of the first volume
    bool double_source;  // float64 elements, else float32
    int64_t volumes;
    ptrdiff_t volume_stride;
    double partial[3];           // each moving axis's part of the position before the last column's term
    double last_column[3];       // the matrix's last column
    const double *positions[3];  // or, when not null, lane 0's position along each axis, the others after it
    double prepad;
    int64_t first_column;               // lane 0's whole output column
    int count;                          // lanes to compute, 1 to 8
    double n[3], origin[3], window[3];  // the moving axes, slowest first, as doubles (exact)
    int32_t stride[3];                  // in elements; every offset in the window below 2**31
    double *sums;                       // lane i of volume v at sums[v * piece + i]
    ptrdiff_t piece;
};

// Whether the vector form can run on this processor.
bool linear_lanes_usable();

namespace voxwarp {
namespace avx512 {
// The sums of the lanes it takes, and their bits; the others are left untouched.
unsigned linear_lanes_sums(const linear_lanes &lanes);
}  // namespace avx512
}  // namespace voxwarp

#endif
