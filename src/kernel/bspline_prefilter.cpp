#include "kernel/bspline_prefilter.h"

#include "kernel/float_environment.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

namespace {

constexpr double pole = -0.2679491924311227;  // sqrt(3) - 2, the double nearest to it
constexpr double gain = 6.0;                  // (1 - z)(1 - 1/z)
constexpr int horizon = 28;                   // terms of the causal start
// Lines filtered side by side when they lie next to each other in memory
// (passes along y and z): each step then reads and writes whole cache lines.
constexpr int batch_width = 64;

// Index k of the mirror-symmetric extension of a line of n >= 2 samples.
ptrdiff_t mirror(ptrdiff_t k, ptrdiff_t n)
{
    const ptrdiff_t period = 2 * (n - 1);
    const ptrdiff_t within = k % period;
    return within < n ? within : period - within;
}

float stored(double coefficient)
{
    if (coefficient == coefficient) {
        return static_cast<float>(coefficient);
    }
    const uint32_t quiet_nan = 0x7FC00000u;
    float value;
    std::memcpy(&value, &quiet_nan, sizeof value);
    return value;
}

// Filters `width` lines of n samples that start at first, first + 1, ...,
// with `step` elements between a line's samples; `work` holds n * width
// doubles, sample i of line c at i * width + c.
void filter_lines(float *first, ptrdiff_t n, ptrdiff_t step, ptrdiff_t width, double *work)
{
    if (n == 1) {
        return;
    }
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
            const double term = powers[k] * line[mirror(k, n) * width];
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
            first[i * step + c] = stored(work[i * width + c]);
        }
    }
}

// The lines of a job come in units that threads take one at a time: a slice
// of a volume for passes along x and y, a row of slices' columns for z.
struct unit_layout {
    int64_t count;
    ptrdiff_t length, step;  // samples per line and elements between them
};

unit_layout layout_of(const prefilter_job &job)
{
    const ptrdiff_t row = job.extent.x, slice = row * job.extent.y;
    switch (job.axis) {
    case 0: return {job.volumes * job.extent.z, job.extent.x, 1};
    case 1: return {job.volumes * job.extent.z, job.extent.y, row};
    default: return {job.volumes * job.extent.y, job.extent.z, slice};
    }
}

void filter_unit(const prefilter_job &job, const unit_layout &layout, int64_t unit, double *work)
{
    const ptrdiff_t row = job.extent.x, slice = row * job.extent.y, volume = slice * job.extent.z;
    if (job.axis == 0) {
        float *rows = job.data + unit * slice;
        for (int32_t y = 0; y < job.extent.y; ++y) {
            filter_lines(rows + y * row, layout.length, 1, 1, work);
        }
        return;
    }
    // Along y a unit is slice `unit`; along z, row y = unit % ny of volume unit / ny.
    float *start = job.axis == 1 ? job.data + unit * slice
                                 : job.data + (unit / job.extent.y) * volume + (unit % job.extent.y) * row;
    for (ptrdiff_t x = 0; x < row; x += batch_width) {
        filter_lines(start + x, layout.length, layout.step, std::min<ptrdiff_t>(batch_width, row - x), work);
    }
}

}  // namespace

bool bspline_prefilter(const prefilter_job &job, int threads, progress_check check, bool &out_of_memory)
{
    out_of_memory = false;
    const unit_layout layout = layout_of(job);
    if (layout.count <= 0 || layout.length <= 1 || job.extent.x <= 0) {
        return true;
    }
    const size_t workers_wanted = static_cast<size_t>(std::min<int64_t>(std::max(threads, 1), layout.count));
    const size_t work_size = static_cast<size_t>(layout.length) * (job.axis == 0 ? 1 : batch_width);
    std::vector<std::unique_ptr<double[]>> work;
    try {
        for (size_t i = 0; i < workers_wanted; ++i) {
            work.emplace_back(new double[work_size]);
        }
    } catch (const std::bad_alloc &) {
        if (work.empty()) {
            out_of_memory = true;
            return false;
        }
    }
    std::atomic<int64_t> next{0};
    std::atomic<bool> stopped{false};
    const auto run = [&](double *buffer) {
        const ieee_default_environment environment;
        for (;;) {
            const int64_t unit = next.fetch_add(1);
            if (unit >= layout.count || stopped.load()) {
                return;
            }
            filter_unit(job, layout, unit, buffer);
        }
    };
    std::vector<std::thread> workers;
    try {
        for (size_t i = 1; i < work.size(); ++i) {
            workers.emplace_back(run, work[i].get());
        }
    } catch (...) {
        // Fewer threads than asked for: those started and this one share the lines.
    }
    {
        const ieee_default_environment environment;
        using clock = std::chrono::steady_clock;
        auto last_check = clock::now();
        for (;;) {
            const int64_t unit = next.fetch_add(1);
            if (unit >= layout.count || stopped.load()) {
                break;
            }
            filter_unit(job, layout, unit, work[0].get());
            if (check.keep_going != nullptr && clock::now() - last_check >= std::chrono::milliseconds(50)) {
                if (!check.keep_going(check.context)) {
                    stopped.store(true);
                }
                last_check = clock::now();
            }
        }
    }
    for (std::thread &worker : workers) {
        worker.join();
    }
    return !stopped.load();
}
