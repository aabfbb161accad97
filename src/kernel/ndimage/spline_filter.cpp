#include "kernel/ndimage/spline_filter.h"

#include "kernel/ndimage/spline_weights.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace {

using voxwarp::spline_poles;

// z**k for k >= 1 by k - 1 products from the left.
double power(double z, int64_t k)
{
    double p = z;
    for (int64_t i = 1; i < k; ++i) {
        p = p * z;
    }
    return p;
}

void causal_mirror(double *c, int64_t n, double z)
{
    const double z_last = power(z, n - 1);
    double sum = c[0] + z_last * c[n - 1];
    double z_i = z;
    for (int64_t i = 1; i < n - 1; ++i) {
        const double pair = c[i] + z_last * c[n - 1 - i];
        sum = sum + z_i * pair;
        z_i = z_i * z;
    }
    c[0] = sum / (1.0 - z_last * z_last);
}

void anticausal_mirror(double *c, int64_t n, double z)
{
    const double pair = z * c[n - 2] + c[n - 1];
    c[n - 1] = (pair * z) / (z * z - 1.0);
}

void causal_wrap(double *c, int64_t n, double z)
{
    double sum = c[0];
    double z_i = z;
    for (int64_t i = 1; i < n; ++i) {
        sum = sum + z_i * c[n - i];
        z_i = z_i * z;
    }
    c[0] = sum / (1.0 - z_i);  // z_i is z**n
}

void anticausal_wrap(double *c, int64_t n, double z)
{
    double sum = c[n - 1];
    double z_i = z;
    for (int64_t i = 0; i < n - 1; ++i) {
        sum = sum + z_i * c[i];
        z_i = z_i * z;
    }
    c[n - 1] = sum * (z / (z_i - 1.0));
}

void causal_reflect(double *c, int64_t n, double z)
{
    const double z_n = power(z, n);
    const double first = c[0];
    double sum = c[0] + z_n * c[n - 1];
    double z_i = z;
    for (int64_t i = 1; i < n; ++i) {
        const double pair = c[i] + z_n * c[n - 1 - i];
        sum = sum + z_i * pair;
        z_i = z_i * z;
    }
    sum = sum * (z / (1.0 - z_n * z_n));
    c[0] = sum + first;
}

void anticausal_reflect(double *c, int64_t n, double z)
{
    c[n - 1] = c[n - 1] * (z / (z - 1.0));
}

}  // namespace

void spline_filter_line(double *c, int64_t n, int order, filter_boundary boundary)
{
    double poles[2];
    const int count = spline_poles(order, poles);
    double gain = 1.0;
    for (int p = 0; p < count; ++p) {
        const double z = poles[p];
        gain = gain * ((1.0 - z) * (1.0 - 1.0 / z));
    }
    for (int64_t i = 0; i < n; ++i) {
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
            c[i] = c[i] + z * c[i - 1];
        }
        switch (boundary) {
        case filter_boundary::mirror: anticausal_mirror(c, n, z); break;
        case filter_boundary::reflect: anticausal_reflect(c, n, z); break;
        case filter_boundary::wrap: anticausal_wrap(c, n, z); break;
        }
        for (int64_t i = n - 2; i >= 0; --i) {
            c[i] = z * (c[i + 1] - c[i]);
        }
    }
    // Which NaN an operation makes differs between processors: every NaN is stored as one.
    const double quiet_nan = std::numeric_limits<double>::quiet_NaN();
    for (int64_t i = 0; i < n; ++i) {
        c[i] = c[i] == c[i] ? c[i] : quiet_nan;
    }
}

namespace {

// Lines gathered side by side from the axes after `axis`, so that a pass
// along a slow axis reads whole cache lines.
constexpr int64_t batch_width = 16;

struct filter_run {
    const spline_filter_job &job;
    int64_t batches_per_outer;
    std::vector<std::unique_ptr<double[]>> &work;

    static void unit(void *context, int64_t index, int worker)
    {
        const filter_run &self = *static_cast<filter_run *>(context);
        const spline_filter_job &job = self.job;
        const int64_t outer = index / self.batches_per_outer;
        const int64_t first = (index % self.batches_per_outer) * batch_width;
        const int64_t width = std::min(batch_width, job.after - first);
        double *start = job.data + outer * job.length * job.after + first;
        double *lines = self.work[static_cast<size_t>(worker)].get();
        for (int64_t i = 0; i < job.length; ++i) {
            for (int64_t c = 0; c < width; ++c) {
                lines[c * job.length + i] = start[i * job.after + c];
            }
        }
        for (int64_t c = 0; c < width; ++c) {
            spline_filter_line(lines + c * job.length, job.length, job.order, job.boundary);
        }
        for (int64_t i = 0; i < job.length; ++i) {
            for (int64_t c = 0; c < width; ++c) {
                start[i * job.after + c] = lines[c * job.length + i];
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
    const int64_t batches_per_outer = (job.after + batch_width - 1) / batch_width;
    const int64_t count = job.before * batches_per_outer;
    const size_t workers = static_cast<size_t>(std::min<int64_t>(std::max(threads, 1), count));
    std::vector<std::unique_ptr<double[]>> work;
    try {
        for (size_t i = 0; i < workers; ++i) {
            work.emplace_back(new double[static_cast<size_t>(job.length * batch_width)]);
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
