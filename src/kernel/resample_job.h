#ifndef VOXWARPKIT_RESAMPLE_JOB_H
#define VOXWARPKIT_RESAMPLE_JOB_H

// One run of the resampling kernel as plain data, built by the Python-facing
// code and run by Python-free code: on the calling thread, on worker threads
// or block by block. Threads, chunks and interpolations change the job, never
// the kernel's signature.

#include "kernel/element_types.h"

#include <cstddef>
#include <cstdint>

// Counts or indices along x (columns), y (rows) and z (slices).
struct xyz {
    int32_t x, y, z;
};

// Where the kernel reads: `extent` voxels of the source starting at global
// index `origin`, with strides in elements. `full_extent` is the whole
// source's: gates and bands use it, so a window resamples exactly as the whole
// source would, provided it holds every voxel its positions read.
struct source_window {
    const void *data;  // the element at `origin` of the first volume
    ptrdiff_t row, slice, volume;
    xyz origin, extent, full_extent;
    float spacing[3];  // sx, sy, sz: what a source index is multiplied by
};

// Where the kernel writes: `extent` positions from global output index
// `origin`. Rows are contiguous; strides are in elements.
struct target_box {
    void *data;  // the element at `origin` of the first volume
    ptrdiff_t row, slice, volume;
    xyz origin, extent;
    float spacing[3];  // osx, osy, osz: output index times spacing is X, Y, Z
};

// How a position's value is made from the source: linear blends its eight
// neighbours (fewer in a band at an edge) into a float; nearest copies the
// element of its nearest voxel, bit for bit; label copies the element whose
// value has the largest sum of trilinear weights among the eight neighbours
// (clamped as the clamp edge rule clamps them), so a label map keeps its
// labels without eroding small structures; lanczos blends the six nearest
// voxels along each axis with Lanczos windowed-sinc weights of radius 3;
// cubic blends four along each axis, mirrored at the edges, with cubic
// B-spline weights (its source holds B-spline coefficients, not the image).
enum class interpolation : int32_t { linear, nearest, label, lanczos, cubic };

// Where linear interpolation samples and which voxels it blends at the
// edges. `bands`: the neighbours of the truncated index, with a one-voxel band
// beyond each face that takes that face's blend and extrapolation between
// index -1 and 0 (transform's rule). `clamp`: positions whose nearest voxel
// lies in the source, index in [-0.5, n - 0.5), blend the neighbours floor(I)
// and floor(I) + 1 each clamped to [0, n - 1], so every value is a weighted
// mean of source values; all others are not sampled.
enum class edge_rule : int32_t { bands, clamp };

// A displacement field on an axis-aligned grid of its own: the (dx, dy, dz)
// of each voxel, as three float32 volumes, voxel (0, 0, 0) at `origin`.
struct displacement_field {
    const float *data;  // component c of voxel (x, y, z) at ((c * nz + z) * ny + y) * nx + x
    xyz extent;
    float origin[3];   // x, y, z of voxel (0, 0, 0)
    float spacing[3];  // along x, y, z
};

struct bspline_grid;  // kernel/bspline_step.h

// A step of a chain, after the job's matrix: p <- A p when `matrix` is not
// null, else p <- p + d(p) with d from `bspline` when that is not null (such
// jobs run with resample_bspline_chain, kernel/bspline_chain.h), else from
// `field`.
struct chain_step {
    const float *matrix;  // 12 floats, row-major 3x4, or null
    displacement_field field;
    const bspline_grid *bspline;
};

// Everything one run of a kernel reads: the kernel takes nothing else.
struct resample_job {
    source_window source;
    target_box target;
    int32_t nvol;      // volumes that share `matrix`, each from its own voxels
    float matrix[12];  // row-major 3x4: output physical (X, Y, Z) -> source physical
    // Steps applied after `matrix`, in order, before the division by the
    // source spacing; none (length 0) for a plain affine job.
    const chain_step *chain;
    int32_t chain_length;
    enum interpolation interpolation;  // `enum`: the member's name hides the type's
    edge_rule edges;                   // linear interpolation's rule at the edges
    // Bytes per element of the target, and of the source for nearest and
    // label: the size of result_type for the blends; 1, 2, 4 or 8 for
    // nearest and label, whose elements are copied as bits (and compared as
    // bits: each bit pattern is its own label).
    int32_t element_size;
    // The blends' source elements (linear, lanczos, cubic), each converted
    // to float as the kernel reads it; nearest and label ignore it.
    element_type source_type;
    // The blends' result elements, each made once from the double sum
    // (result_types.h); float32 unless told otherwise. Nearest and label
    // ignore it: they write the source's elements.
    element_type result_type;
    // When false, positions that are not sampled are left as the target holds
    // them (zeros from a fresh allocation, never touched twice); when true they
    // get the `fill` element, whose first element_size bytes are used (for
    // the blends an element of result_type).
    bool write_fill;
    unsigned char fill[8];
};

#endif
