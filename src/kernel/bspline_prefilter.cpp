#include "kernel/bspline_prefilter.h"

#include "kernel/line_filter.h"

namespace {

constexpr double pole = -0.2679491924311227;  // sqrt(3) - 2, the double nearest to it
constexpr double gain = 6.0;                  // (1 - z)(1 - 1/z)
constexpr int horizon = 28;                   // terms of the causal start

}  // namespace

void bspline_filter_lines(float *first, ptrdiff_t n, ptrdiff_t step, ptrdiff_t width, double *work)
{
    for (ptrdiff_t i = 0; i < n; ++i) {
        for (ptrdiff_t c = 0; c < width; ++c) {
            work[i * width + c] = static_cast<double>(first[i * step + c]) * gain;
        }
    }
    double powers[horizon];
    powers[0] = 1.0;
    for (int k = 1; k < horizon; ++k) {
        powers[k] = powers[k - 1] * pole;
    }
    const double zz = pole * pole;
    const double zz_less_one = zz - 1.0;
    const double end_factor = pole / zz_less_one;
    for (ptrdiff_t c = 0; c < width; ++c) {
        double *line = work + c;
        double start = line[0];
        for (int k = 1; k < horizon; ++k) {
            const double term = powers[k] * line[mirrored(k, n) * width];
            start = start + term;
        }
        line[0] = start;
    }
    for (ptrdiff_t i = 1; i < n; ++i) {
        double *at = work + i * width;
        const double *before = at - width;
        for (ptrdiff_t c = 0; c < width; ++c) {
            const double carried = pole * before[c];
            at[c] = at[c] + carried;
        }
    }
    double *last = work + (n - 1) * width;
    for (ptrdiff_t c = 0; c < width; ++c) {
        const double scaled = pole * last[c - width];
        const double sum = scaled + last[c];
        last[c] = end_factor * sum;
    }
    for (ptrdiff_t i = n - 2; i >= 0; --i) {
        double *at = work + i * width;
        const double *after = at + width;
        for (ptrdiff_t c = 0; c < width; ++c) {
            const double difference = after[c] - at[c];
            at[c] = pole * difference;
        }
    }
    for (ptrdiff_t i = 0; i < n; ++i) {
        for (ptrdiff_t c = 0; c < width; ++c) {
            first[i * step + c] = stored_line_value(work[i * width + c]);
        }
    }
}
