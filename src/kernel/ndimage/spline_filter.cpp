#include "kernel/ndimage/spline_filter.h"

#include "kernel/ndimage/spline_weights.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace {

using voxwarp::spline_poles;

// Lines are filtered side by side, `lanes` of them in lockstep: sample i of
// lane l at c[i * lanes + l]. Each lane takes exactly the operations of one
// line filtered alone, so the bits do not depend on which lines share a
// batch, while the lanes' independent recursions keep the processor busy
// (one line alone waits on each step's multiply and add) and vectorise.
constexpr int64_t lanes = 16;

// z**k for k >= 1 by k - 1 products from the left.
double power(double z, int64_t k)
{
    double p = z;
    for (int64_t i = 1; i < k; ++i) {
        p = p * z;
    }
    return p;
}

inline double *sample(double *c, int64_t i)
{
    return c + i * lanes;
}

void causal_mirror(double *c, int64_t n, double z)
{
    const double z_last = power(z, n - 1);
    double sum[lanes];
    for (int64_t l = 0; l < lanes; ++l) {
        sum[l] = sample(c, 0)[l] + z_last * sample(c, n - 1)[l];
    }
    double z_i = z;
    for (int64_t i = 1; i < n - 1; ++i) {
        const double *ahead = sample(c, i), *behind = sample(c, n - 1 - i);
        for (int64_t l = 0; l < lanes; ++l) {
            const double pair = ahead[l] + z_last * behind[l];
            sum[l] = sum[l] + z_i * pair;
        }
        z_i = z_i * z;
    }
    const double divisor = 1.0 - z_last * z_last;
    for (int64_t l = 0; l < lanes; ++l) {
        sample(c, 0)[l] = sum[l] / divisor;
    }
}

void anticausal_mirror(double *c, int64_t n, double z)
{
    const double divisor = z * z - 1.0;
    double *last = sample(c, n - 1);
    const double *before = sample(c, n - 2);
    for (int64_t l = 0; l < lanes; ++l) {
        const double pair = z * before[l] + last[l];
        last[l] = (pair * z) / divisor;
    }
}

void causal_wrap(double *c, int64_t n, double z)
{
    double sum[lanes];
    for (int64_t l = 0; l < lanes; ++l) {
        sum[l] = sample(c, 0)[l];
    }
    double z_i = z;
    for (int64_t i = 1; i < n; ++i) {
        const double *wrapped = sample(c, n - i);
        for (int64_t l = 0; l < lanes; ++l) {
            sum[l] = sum[l] + z_i * wrapped[l];
        }
        z_i = z_i * z;
    }
    const double divisor = 1.0 - z_i;  // z_i is z**n
    for (int64_t l = 0; l < lanes; ++l) {
        sample(c, 0)[l] = sum[l] / divisor;
    }
}

void anticausal_wrap(double *c, int64_t n, double z)
{
    double sum[lanes];
    for (int64_t l = 0; l < lanes; ++l) {
        sum[l] = sample(c, n - 1)[l];
    }
    double z_i = z;
    for (int64_t i = 0; i < n - 1; ++i) {
        const double *wrapped = sample(c, i);
        for (int64_t l = 0; l < lanes; ++l) {
            sum[l] = sum[l] + z_i * wrapped[l];
        }
        z_i = z_i * z;
    }
    const double factor = z / (z_i - 1.0);
    for (int64_t l = 0; l < lanes; ++l) {
        sample(c, n - 1)[l] = sum[l] * factor;
    }
}

void causal_reflect(double *c, int64_t n, double z)
{
    const double z_n = power(z, n);
    double first[lanes], sum[lanes];
    for (int64_t l = 0; l < lanes; ++l) {
        first[l] = sample(c, 0)[l];
        sum[l] = sample(c, 0)[l] + z_n * sample(c, n - 1)[l];
    }
    double z_i = z;
    for (int64_t i = 1; i < n; ++i) {
        const double *ahead = sample(c, i), *behind = sample(c, n - 1 - i);
        for (int64_t l = 0; l < lanes; ++l) {
            const double pair = ahead[l] + z_n * behind[l];
            sum[l] = sum[l] + z_i * pair;
        }
        z_i = z_i * z;
    }
    const double factor = z / (1.0 - z_n * z_n);
    for (int64_t l = 0; l < lanes; ++l) {
        sample(c, 0)[l] = sum[l] * factor + first[l];
    }
}

void anticausal_reflect(double *c, int64_t n, double z)
{
    const double factor = z / (z - 1.0);
    for (int64_t l = 0; l < lanes; ++l) {
        sample(c, n - 1)[l] = sample(c, n - 1)[l] * factor;
    }
}

// The `lanes` lines of n >= 2 samples at c, filtered in place.
void filter_lanes(double *c, int64_t n, int order, filter_boundary boundary)
{
    double poles[2];
    const int count = spline_poles(order, poles);
    double gain = 1.0;
    for (int p = 0; p < count; ++p) {
        const double z = poles[p];
        gain = gain * ((1.0 - z) * (1.0 - 1.0 / z));
    }
    for (int64_t i = 0; i < n * lanes; ++i) {
        c[i] = c[i] * gain;
    }
    for (int p = 0; p < count; ++p) {
        const double z = poles[p];
        switch (boundary) {
        case filter_boundary::mirror: causal_mirror(c, n, z); break;
        case filter_boundary::reflect: causal_reflect(c, n, z); break;
        case filter_boundary::wrap: causal_wrap(c, n, z); break;
        }
        for (int64_t i = 1; i < n; ++i) {
            double *now = sample(c, i);
            const double *before = sample(c, i - 1);
            for (int64_t l = 0; l < lanes; ++l) {
                now[l] = now[l] + z * before[l];
            }
        }
        switch (boundary) {
        case filter_boundary::mirror: anticausal_mirror(c, n, z); break;
        case filter_boundary::reflect: anticausal_reflect(c, n, z); break;
        case filter_boundary::wrap: anticausal_wrap(c, n, z); break;
        }
        for (int64_t i = n - 2; i >= 0; --i) {
            double *now = sample(c, i);
            const double *after = sample(c, i + 1);
            for (int64_t l = 0; l < lanes; ++l) {
                now[l] = z * (after[l] - now[l]);
            }
        }
    }
    // Which NaN an operation makes differs between processors: every NaN is stored as one.
    const double quiet_nan = std::numeric_limits<double>::quiet_NaN();
    for (int64_t i = 0; i < n * lanes; ++i) {
        c[i] = c[i] == c[i] ? c[i] : quiet_nan;
    }
}

// A batch of up to `lanes` lines: the first's first sample, how far apart two
// lines' starts are and two samples of a line (in elements).
struct line_batch {
    double *first;
    int64_t count;
    ptrdiff_t between_lines, between_samples;
};

struct filter_run {
    const spline_filter_job &job;
    int64_t batches_per_outer;
    std::vector<std::unique_ptr<double[]>> &work;

    // Lines along a slow axis lie side by side (the axes after it), so that
    // a batch reads whole cache lines; along the last axis they are
    // consecutive rows.
    line_batch batch(int64_t index) const
    {
        if (job.after == 1) {
            const int64_t first = index * lanes;
            return {job.data + first * job.length, std::min(lanes, job.before - first), job.length, 1};
        }
        const int64_t outer = index / batches_per_outer;
        const int64_t first = (index % batches_per_outer) * lanes;
        return {job.data + outer * job.length * job.after + first, std::min(lanes, job.after - first), 1, job.after};
    }

    static void unit(void *context, int64_t index, int worker)
    {
        const filter_run &self = *static_cast<filter_run *>(context);
        const spline_filter_job &job = self.job;
        const line_batch b = self.batch(index);
        double *lines = self.work[static_cast<size_t>(worker)].get();
        for (int64_t i = 0; i < job.length; ++i) {
            double *at = sample(lines, i);
            const double *from = b.first + i * b.between_samples;
            for (int64_t l = 0; l < lanes; ++l) {
                at[l] = l < b.count ? from[l * b.between_lines] : 0.0;
            }
        }
        filter_lanes(lines, job.length, job.order, job.boundary);
        for (int64_t i = 0; i < job.length; ++i) {
            const double *at = sample(lines, i);
            double *to = b.first + i * b.between_samples;
            for (int64_t l = 0; l < b.count; ++l) {
                to[l * b.between_lines] = at[l];
            }
        }
    }
};

}  // namespace

bool spline_filter_along_axis(const spline_filter_job &job, int threads, progress_check check, bool &out_of_memory)
{
    out_of_memory = false;
    if (job.length <= 1 || job.before <= 0 || job.after <= 0) {
        return true;
    }
    const int64_t batches_per_outer = (job.after + lanes - 1) / lanes;
    const int64_t count = job.after == 1 ? (job.before + lanes - 1) / lanes : job.before * batches_per_outer;
    const size_t workers = static_cast<size_t>(std::min<int64_t>(std::max(threads, 1), count));
    std::vector<std::unique_ptr<double[]>> work;
    try {
        for (size_t i = 0; i < workers; ++i) {
            work.emplace_back(new double[static_cast<size_t>(job.length * lanes)]);
        }
    } catch (const std::bad_alloc &) {
        if (work.empty()) {
            out_of_memory = true;
            return false;
        }
    }
    filter_run run{job, batches_per_outer, work};
    return run_units(count, static_cast<int>(work.size()), check, {filter_run::unit, &run});
}
