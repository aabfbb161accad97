#ifndef VOXWARPKIT_KERNEL_GAUSSIAN_FIR_H
#define VOXWARPKIT_KERNEL_GAUSSIAN_FIR_H

// The Gaussian of anti-aliasing as a finite filter over the lines of one axis
// (line_filter.h), with the same bits everywhere:
//   radius r = ceil(4 sigma)
//   w[k] = e(-(k k) / (2 (sigma sigma))) for k = -r .. r, each step rounded
//          in double, e the exponential below
//   s = w[-r] + w[-r + 1] + ... + w[r], added from the left
//   weight[k] = w[k] / s
//   y[i] = weight[-r] x[m(i - r)] + ... + weight[r] x[m(i + r)]
// in double, added from the left (offset -r first), rounded once to float32;
// m mirrors an index into the line (sample -k is sample k, as the B-spline
// prefilter's boundary).
//
// e(x) is not the C library's exp, whose last bit differs between systems: x
// is reduced exactly to n ln2 + t (n = floor(x / ln2 + 1/2), ln2 in two
// parts of which the first times n is exact), e(t) is the Taylor polynomial of
// degree 13 in Horner's form (its error is below 1e-17 for |t| <= ln2 / 2),
// and the result is e(t) scaled by 2^n, which is exact until it is subnormal.

#include <cstddef>
#include <cstdint>

// The largest radius a filter may have.
constexpr int32_t largest_fir_radius = 1 << 24;

// The deterministic exponential of x <= 0; 0 below -745.
double fixed_exp(double x);

// ceil(4 sigma) for a finite sigma >= 0, or -1 when it passes largest_fir_radius.
int32_t gaussian_radius(double sigma);

// The 2 radius + 1 normalised weights of sigma > 0, for offsets -radius .. radius.
void gaussian_weights(double sigma, int32_t radius, double *weights);

// Filters `width` lines of n >= 2 samples, line c starting at first + c *
// line_step, with `step` elements between a line's samples, by the
// 2 radius + 1 `weights`; `work` holds (n + 2 radius + 1) * width doubles.
void fir_filter_lines(float *first, ptrdiff_t n, ptrdiff_t step, ptrdiff_t width, ptrdiff_t line_step,
                      const double *weights, int32_t radius, double *work);

#endif
