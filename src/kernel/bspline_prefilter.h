#ifndef VOXWARPKIT_KERNEL_BSPLINE_PREFILTER_H
#define VOXWARPKIT_KERNEL_BSPLINE_PREFILTER_H

// The cubic B-spline coefficients of an image, made in place one axis at a
// time (line_filter.h) by the recursive filter of pole z = sqrt(3) - 2, with
// mirror-symmetric boundaries (sample -k is sample k; sample n - 1 + k is
// sample n - 1 - k). Each line of n samples is filtered in double and rounded
// to float32 once at the end, which is what a pass stores:
//   c[i] = 6 x[i]                                     gain
//   c[0] = sum over k = 0 .. 27 of z^k c[mirror(k)]    z^k by repeated products,
//                                                     added from k = 0; z^28 < 1e-16
//   c[i] = c[i] + z c[i - 1]                          i = 1 .. n - 1
//   c[n - 1] = (z / (z z - 1)) (z c[n - 2] + c[n - 1])
//   c[i] = z (c[i + 1] - c[i])                        i = n - 2 .. 0
// The coefficients depend only on the image and the axes' order: x, then y,
// then z.

#include <cstddef>

// Filters `width` lines of n >= 2 samples that start at first, first + 1,
// ..., with `step` elements between a line's samples; `work` holds n * width
// doubles, sample i of line c at i * width + c.
void bspline_filter_lines(float *first, ptrdiff_t n, ptrdiff_t step, ptrdiff_t width, double *work);

#endif
