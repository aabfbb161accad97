#include "kernel/run_jobs.h"

#include "kernel/float_environment.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

// Pieces smaller than this cost more to hand out than they gain.
constexpr int64_t smallest_piece = 1 << 15;
// Pieces per thread: enough that threads finishing at different speeds even
// out, and that the calling thread gets back to its check often.
constexpr int64_t pieces_per_thread = 8;
// And never more than about this many voxels, so that a check comes round in
// a few milliseconds whatever the size of the call.
constexpr int64_t largest_piece = 1 << 18;
// Columns and rows go to pieces in whole tiles of the vector kernels.
constexpr int32_t column_tile = 256;
constexpr int32_t row_tile = 64;

int64_t voxels_of(const resample_job &job)
{
    const target_box &box = job.target;
    return int64_t{job.nvol} * box.extent.x * box.extent.y * box.extent.z;
}

// Start of part `i` of `parts` equal parts of `length`.
int32_t part_start(int32_t length, int32_t parts, int32_t i)
{
    return static_cast<int32_t>(int64_t{length} * i / parts);
}

// The job restricted to the part of its target box from `start` with `extent`
// (indices relative to the box).
resample_job piece_of(const resample_job &job, xyz start, xyz extent)
{
    resample_job piece = job;
    target_box &box = piece.target;
    const ptrdiff_t offset = start.z * box.slice + start.y * box.row + start.x;
    box.data = static_cast<char *>(box.data) + offset * job.element_size;
    box.origin = {box.origin.x + start.x, box.origin.y + start.y, box.origin.z + start.z};
    box.extent = extent;
    return piece;
}

// Splits `job` into about `wanted` boxes: bands of whole row tiles first, then
// slices, then tiles of columns, as the target's shape allows. The vector
// kernels walk a tile of rows through every slice of a box, reusing the
// neighbours of one slice for the next: a box of few slices would lose that.
void split_job(const resample_job &job, int64_t wanted, std::vector<resample_job> &pieces)
{
    const xyz extent = job.target.extent;
    const int32_t column_tiles = (extent.x + column_tile - 1) / column_tile;
    const int32_t row_tiles = (extent.y + row_tile - 1) / row_tile;
    const int32_t parts_y = static_cast<int32_t>(std::min<int64_t>(row_tiles, wanted));
    const int64_t per_band = (wanted + parts_y - 1) / parts_y;
    const int32_t parts_z = static_cast<int32_t>(std::min<int64_t>(extent.z, per_band));
    const int64_t per_slab = (per_band + parts_z - 1) / parts_z;
    const int32_t parts_x = static_cast<int32_t>(std::min<int64_t>(column_tiles, per_slab));
    for (int32_t j = 0; j < parts_y; ++j) {
        const int32_t y0 = std::min(extent.y, part_start(row_tiles, parts_y, j) * row_tile);
        const int32_t y1 = std::min(extent.y, part_start(row_tiles, parts_y, j + 1) * row_tile);
        for (int32_t k = 0; k < parts_z; ++k) {
            const int32_t z0 = part_start(extent.z, parts_z, k), z1 = part_start(extent.z, parts_z, k + 1);
            for (int32_t i = 0; i < parts_x; ++i) {
                const int32_t x0 = std::min(extent.x, part_start(column_tiles, parts_x, i) * column_tile);
                const int32_t x1 = std::min(extent.x, part_start(column_tiles, parts_x, i + 1) * column_tile);
                pieces.push_back(piece_of(job, {x0, y0, z0}, {x1 - x0, y1 - y0, z1 - z0}));
            }
        }
    }
}

std::vector<resample_job> split_jobs(const resample_job *jobs, size_t count, int threads)
{
    int64_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        total += voxels_of(jobs[i]);
    }
    const int64_t by_threads = std::min(int64_t{threads} * pieces_per_thread, total / smallest_piece);
    const int64_t wanted = std::max<int64_t>({by_threads, total / largest_piece, 1});
    std::vector<resample_job> pieces;
    for (size_t i = 0; i < count; ++i) {
        const int64_t voxels = voxels_of(jobs[i]);
        if (voxels > 0) {
            split_job(jobs[i], std::max<int64_t>(1, (wanted * voxels + total - 1) / total), pieces);
        }
    }
    return pieces;
}

}  // namespace

void run_resample_job(const resample_job &job, resample_function kernel)
{
    const ieee_default_environment environment;
    kernel(job);
}

bool run_units(int64_t count, int threads, progress_check check, unit_work work)
{
    std::atomic<int64_t> next{0};
    std::atomic<bool> stopped{false};
    const auto run_one = [work](int64_t unit, int worker) {
        const ieee_default_environment environment;
        work.work(work.context, unit, worker);
    };
    const auto worker_loop = [&](int worker) {
        for (;;) {
            const int64_t unit = next.fetch_add(1);
            if (unit >= count || stopped.load()) {
                return;
            }
            run_one(unit, worker);
        }
    };

    std::vector<std::thread> workers;
    const int64_t wanted_workers = std::min<int64_t>(std::max(threads, 1), count);
    try {
        for (int64_t i = 1; i < wanted_workers; ++i) {
            workers.emplace_back(worker_loop, static_cast<int>(i));
        }
    } catch (...) {
        // Fewer threads than asked for: the calling thread and those started share the work.
    }

    using clock = std::chrono::steady_clock;
    auto last_check = clock::now();
    for (;;) {
        const int64_t unit = next.fetch_add(1);
        if (unit >= count || stopped.load()) {
            break;
        }
        run_one(unit, 0);
        if (check.keep_going != nullptr && clock::now() - last_check >= std::chrono::milliseconds(50)) {
            if (!check.keep_going(check.context)) {
                stopped.store(true);
            }
            last_check = clock::now();
        }
    }
    for (std::thread &worker : workers) {
        worker.join();
    }
    return !stopped.load();
}

bool run_resample_jobs(const resample_job *jobs, size_t count, resample_function kernel, int threads,
                       progress_check check)
{
    std::vector<resample_job> pieces;
    try {
        pieces = split_jobs(jobs, count, std::max(threads, 1));
    } catch (...) {
        // No memory for the list of pieces: the jobs run whole, here.
        for (size_t i = 0; i < count; ++i) {
            run_resample_job(jobs[i], kernel);
        }
        return true;
    }
    struct run {
        const std::vector<resample_job> &pieces;
        resample_function kernel;
        static void piece(void *context, int64_t index, int)
        {
            const run &self = *static_cast<const run *>(context);
            self.kernel(self.pieces[static_cast<size_t>(index)]);
        }
    } pieces_run{pieces, kernel};
    return run_units(static_cast<int64_t>(pieces.size()), threads, check, {run::piece, &pieces_run});
}
