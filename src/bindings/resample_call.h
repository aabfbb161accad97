#ifndef VOXWARPKIT_RESAMPLE_CALL_H
#define VOXWARPKIT_RESAMPLE_CALL_H

// The Python-facing part of the general resampler: its arguments checked and
// read, its result created and the jobs that fill it. The package's Python
// code has already put the arguments into these plain forms; the checks here
// keep a wrong call from reaching the kernel all the same.

#include "arrays/float_buffer.h"
#include "bindings/chain_arguments.h"
#include "kernel/resample_job.h"

#include <Python.h>

#include <vector>

// What one call of the engine's resample holds between its checks and its
// return: the buffer it owns, the result and the jobs that write the result.
struct resample_call {
    owned_float_buffer source_numbers;    // the window as floats, when a blend cannot read it in place
    PyObject *result = nullptr;           // a new reference, released unless taken
    std::vector<resample_job> jobs;       // one per matrix
    chain_arguments chain;                // the chain as read: its B-spline steps' grids, which the steps point into
    std::vector<chain_step> chain_steps;  // the jobs' chains, which the jobs point into

    resample_call() = default;
    resample_call(const resample_call &) = delete;
    resample_call &operator=(const resample_call &) = delete;
    ~resample_call() { Py_XDECREF(result); }
};

// Reads the positional arguments
//   (source, source_origin, source_grid, source_spacing, matrices, target_shape, target_origin, target_spacing,
//    interpolation, edges, fill)
// source: rank-4 array (volumes, z, y, x), the window of the source grid the
//     jobs read; for nearest and label C-contiguous, aligned and native.
// source_origin, source_grid: (z, y, x) ints, the window's global origin and
//     the grid's true extent. target_shape, target_origin: (z, y, x) ints, the
//     output block and its global origin.
// source_spacing, target_spacing: (sx, sy, sz) floats.
// matrices: C-contiguous float32 of shape (1, 12) or (volumes, 12).
// interpolation: the code of the enum `interpolation`: 0 linear, 3 Lanczos or
//     4 cubic B-spline (the source holding the coefficients), each with a
//     float32 result unless result_type says otherwise; 1 nearest or 2 label,
//     each with the source's type.
// edges: the code of the enum `edge_rule` for linear: 0 transform's bands,
//     1 clamp.
// fill: bytes of one element of the result's type.
// out (optional): None, or the array the result is written into, of its shape
//     (volumes, z, y, x) and type, C-contiguous, aligned, writeable, native.
// chain (optional): None, or the steps applied after the matrix, as
//     read_chain reads them; a step of one matrix per volume makes one job
//     per volume, as matrices of one per volume do.
// result_type (optional): None for the float32 result, or for linear, Lanczos
//     and cubic the code of the enum `element_type` of the result's number
//     type (any but boolean), each element made once from the blend's double
//     sum as result_types.h makes it.
// Creates the result (volumes, z, y, x), zero-filled, and its jobs; false with
// a Python error set. A window that does not hold what the block reads is a
// ValueError. A source grid without voxels leaves no job: its result is
// filled here.
bool prepare_resample(PyObject *args, resample_call &call);

// Reads (source_grid, source_spacing, matrices, target_shape, target_origin,
// target_spacing, interpolation, edges[, chain]) as above and returns the source box that block
// reads, ((z0, z1), (y0, y1), (x0, x1)) half-open, or None when it reads
// nothing; null with a Python error set.
PyObject *source_box_of(PyObject *args);

#endif
