#include "kernel/line_filter.h"

#include "kernel/bspline_prefilter.h"
#include "kernel/gaussian_fir.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

namespace {

// Lines filtered side by side when they lie next to each other in memory
// (passes along y and z): each step then reads and writes whole cache lines.
constexpr int batch_width = 64;

// Rows the FIR filters together along x.
constexpr int fir_rows_together = 16;

// The lines of a job come in units that threads take one at a time: a slice
// of a volume for passes along x and y, a row of slices' columns for z.
struct unit_layout {
    int64_t count;
    ptrdiff_t length, step;  // samples per line and elements between them
};

unit_layout layout_of(const line_filter_job &job)
{
    const ptrdiff_t row = job.extent.x, slice = row * job.extent.y;
    switch (job.axis) {
    case 0: return {job.volumes * job.extent.z, job.extent.x, 1};
    case 1: return {job.volumes * job.extent.z, job.extent.y, row};
    default: return {job.volumes * job.extent.y, job.extent.z, slice};
    }
}

// Doubles of work memory for `width` lines of `length` samples.
size_t work_doubles(const line_filter_job &job, ptrdiff_t length, ptrdiff_t width)
{
    const size_t per_line =
        job.kind == line_filter_kind::bspline ? size_t(length) : size_t(length) + 2 * size_t(job.radius) + 1;
    return per_line * size_t(width);
}

// `width` lines, line c starting at first + c * line_step; the prefilter takes only lines side by side.
void filter_lines(const line_filter_job &job, float *first, ptrdiff_t n, ptrdiff_t step, ptrdiff_t width,
                  ptrdiff_t line_step, double *work)
{
    if (job.kind == line_filter_kind::bspline) {
        bspline_filter_lines(first, n, step, width, work);
    } else {
        fir_filter_lines(first, n, step, width, line_step, job.weights, job.radius, work);
    }
}

// Rows filtered together along x by the FIR, whose sums then run side by side as along y and z;
// few enough that reading a sample of each stays within the first-level cache.
ptrdiff_t rows_together(const line_filter_job &job)
{
    return job.kind == line_filter_kind::fir ? fir_rows_together : 1;
}

void filter_unit(const line_filter_job &job, const unit_layout &layout, int64_t unit, double *work)
{
    const ptrdiff_t row = job.extent.x, slice = row * job.extent.y, volume = slice * job.extent.z;
    if (job.axis == 0) {
        float *rows = job.data + unit * slice;
        const ptrdiff_t together = rows_together(job);
        for (ptrdiff_t y = 0; y < job.extent.y; y += together) {
            const ptrdiff_t width = std::min<ptrdiff_t>(together, job.extent.y - y);
            filter_lines(job, rows + y * row, layout.length, 1, width, row, work);
        }
        return;
    }
    // Along y a unit is slice `unit`; along z, row y = unit % ny of volume unit / ny.
    float *start = job.axis == 1 ? job.data + unit * slice
                                 : job.data + (unit / job.extent.y) * volume + (unit % job.extent.y) * row;
    for (ptrdiff_t x = 0; x < row; x += batch_width) {
        filter_lines(job, start + x, layout.length, layout.step, std::min<ptrdiff_t>(batch_width, row - x), 1, work);
    }
}

}  // namespace

bool filter_lines_along_axis(const line_filter_job &job, int threads, progress_check check, bool &out_of_memory)
{
    out_of_memory = false;
    const unit_layout layout = layout_of(job);
    if (layout.count <= 0 || layout.length <= 1 || job.extent.x <= 0) {
        return true;
    }
    const size_t workers_wanted = static_cast<size_t>(std::min<int64_t>(std::max(threads, 1), layout.count));
    const size_t work_size = work_doubles(job, layout.length, job.axis == 0 ? rows_together(job) : batch_width);
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
    struct run {
        const line_filter_job &job;
        const unit_layout &layout;
        std::vector<std::unique_ptr<double[]>> &work;
        static void unit(void *context, int64_t index, int worker)
        {
            run &self = *static_cast<run *>(context);
            filter_unit(self.job, self.layout, index, self.work[static_cast<size_t>(worker)].get());
        }
    } lines_run{job, layout, work};
    return run_units(layout.count, static_cast<int>(work.size()), check, {run::unit, &lines_run});
}
