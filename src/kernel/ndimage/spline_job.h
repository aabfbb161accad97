#ifndef VOXWARPKIT_KERNEL_NDIMAGE_SPLINE_JOB_H
#define VOXWARPKIT_KERNEL_NDIMAGE_SPLINE_JOB_H

// One run of the index-space spline path (voxwarpkit.ndimage) as plain data:
// positions in double from the output's whole indices, scipy.ndimage's
// boundary modes and the B-splines of orders 0 to 5, values read and blended
// in double. Up to three axes move; a stack's leading axis is its volumes,
// which share every position.

#include "kernel/element_types.h"
#include "kernel/ndimage/spline_modes.h"
#include "kernel/run_jobs.h"

#include <cstddef>
#include <cstdint>

// How an output index becomes an input position.
enum class spline_positions : int32_t {
    // position h = ((shift[h] + c0 * m[h][0]) + c1 * m[h][1]) + c2 * m[h][2] over the output's axes
    affine,
    // along each axis alone: c, plus shift[h] when there is one, then times zoom[h] when there is one
    // (with grid_mode: ((c + 0.5) * zoom) - 0.5)
    zoom_shift,
    // read from `coordinates`: (input rank, output positions) in C order, doubles
    coordinates,
};

// The C++ side of the element types a spline job writes: as
// voxwarpkit.ndimage's results take scipy's casts (integers rounded half away
// from zero and saturated, a NaN 0; bool any value not 0).
struct spline_job {
    // A window of the input: its element at `input_origin` (a whole index of the input) of the
    // first volume. The modes and taps use the whole input's extent; the window must hold every
    // voxel the positions read.
    const void *source;
    element_type source_type;  // float32, float64, uint8, uint16 or int16
    int32_t input_rank;        // 1 to 3: the last input_rank of the three axes below
    int64_t input_extent[3];   // the whole input's, array order, slowest first; 1 on an axis it lacks
    int64_t input_origin[3];
    int64_t window_extent[3];
    ptrdiff_t input_stride[3], input_volume;  // the window's, in elements
    // A block of the output, whose first element is the output's whole index `output_origin`:
    // positions are made from whole indices, so blocks give the bits of the whole.
    void *target;
    element_type target_type;
    int32_t output_rank;       // 1 to 3
    int64_t output_extent[3];  // the block's
    int64_t output_origin[3];
    ptrdiff_t output_stride[3], output_volume;  // in elements
    int64_t volumes;
    int32_t order;  // 0 to 5
    spline_mode mode;
    double cval;
    double prepad;  // added to every position: the voxels the coefficients were padded by
    spline_positions kind;
    double matrix[9];  // affine: row h of input_rank rows, column l of output_rank columns, at 3 h + l
    double shift[3];   // affine and zoom_shift, along the input's axes
    double zoom[3];    // zoom_shift
    bool has_shift, has_zoom, grid_mode;
    const double *coordinates;  // coordinates: (input_rank, the block's voxels), C order
    // Whether lanes of columns may run in the processor's vector form where it has one
    // (spline_lanes.h), which gives the scalar loop's bits; false runs the scalar loop alone.
    bool vectors;
};

// Whether a job's fields are in range (ranks, order, types, mode, extents).
bool spline_job_is_sound(const spline_job &job);

// What stopped a run.
enum class spline_stop { none, checked, out_of_memory, window_missed };

// Runs the sound `job` on up to `threads` threads, each under the default
// floating-point environment; every position is computed from its global
// index alone. `none` when every position was written; `checked` when `check`
// stopped it (the target then partly written); `out_of_memory` when working
// memory could not be had (nothing written); `window_missed` when a position
// reads a voxel the window lacks (the target then partly written, those
// positions never read outside the window).
spline_stop run_spline_job(const spline_job &job, int threads, progress_check check);

#endif
