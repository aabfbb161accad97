// kernel_corpus [--caller-flush-to-zero] DIRECTORY: runs every kernel variant
// this processor can run on each DIRECTORY/NAME.case and writes the output to
// DIRECTORY/NAME.VARIANT.out. Built without Python (for 32-bit x86, for ARM64
// under emulation), so that the tests can compare its results with the 64-bit
// x86 extension module's, bit for bit.
//
// --caller-flush-to-zero runs the kernel from a caller that flushes subnormals
// (FZ and DN on ARM64, FTZ and DAZ on x86), as a library built with fast-math
// leaves it: the kernel's guard must give the same bits all the same. Every
// run is checked to hand the caller's environment back, raised flags included.
//
// Case files are little-endian, in one of two forms:
//   "VWKCASE1": nvol, nz, ny, nx as int32; voxel size (3 floats); matrix (12
//     floats); the image, nvol*nz*ny*nx floats in C order. Run as transform
//     runs it (whole_grid_job); the output has the image's shape.
//   "VWKCASE2": a general job as the package engine's resample describes it.
//     int32: interpolation and edge rule (the codes of the enums
//     `interpolation` and `edge_rule`), element size, volumes, matrices
//     (1 or one per volume), then (z, y, x) triples: window extent, window
//     origin, source grid, target shape, target origin;
//     float: source spacing (sx, sy, sz), target spacing;
//     8 bytes: the fill element, in its first `element size` bytes;
//     float: the matrices, 12 each; the window's elements in C order.
//   The output holds volumes * target shape elements of the element size.
//   "VWKCASE4": as "VWKCASE2", with one more int32 after the element size:
//     the source's element type for the blends (element_type's number), whose
//     elements the window then holds; the element size is the target's (4).
//   "VWKCASE6": as "VWKCASE4", with one more int32 after the source's element
//     type: the result's (element_type's number); the element size is its size.
//   "VWKCASE3": a B-spline prefilter pass. int32: volumes, nz, ny, nx, axis
//     (0 x, 1 y, 2 z); the floats in C order, which the output holds filtered.
//   "VWKCASE5": a Gaussian FIR pass, as "VWKCASE3" with the sigma (a double)
//     after the axis; the weights are made here, as the engine makes them.
//   "VWKCASE7": one tile added into a fused block, then the block finished.
//     int32: volumes, nz, ny, nx (the block); int64: the block's origin and the
//     tile's extent, each (z, y, x); double: the index matrix (12), the scales
//     (x, y, z); int32: the blending and the result's element type; 8 bytes:
//     the fill element; double: the tile's values (volumes * block), the sums
//     before (the same) and the weights before (one block). The output holds
//     the finished block, volumes * block elements of the result's type.
//   "VWKCASE8": a job of voxwarpkit.ndimage's spline path over the whole input.
//     int32: input rank, output rank, order, mode, positions' kind (spline_positions),
//     source type, target type (element_type's numbers), has shift, has zoom, grid mode;
//     int64: volumes, the input's three extents, the output's (slowest first, 1 on the
//     axes that do not move); double: cval, prepad, matrix (9), shift (3), zoom (3);
//     the source's elements in C order; for coordinates, input rank * output voxels
//     doubles. The output holds volumes * output voxels of the target type.
//   "VWKCASE9": a pass of the spline path's prefilter. int32: rank; int64: its extents;
//     int32: axis, order, mode; the doubles in C order, which the output holds filtered.

#include "kernel/gaussian_fir.h"
#include "kernel/line_filter.h"
#include "kernel/method_traits.h"
#include "kernel/ndimage/spline_filter.h"
#include "kernel/ndimage/spline_job.h"
#include "kernel/run_jobs.h"
#include "kernel/simd/kernel_variants.h"
#include "kernel/source_box.h"
#include "kernel/tile_blend.h"
#include "voxwarpkit.h"

#include <cfenv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(_M_X64) || defined(__SSE__)
#include <xmmintrin.h>
#define VOXWARPKIT_HAS_MXCSR 1
#endif

namespace {

// The registers that decide results and the flags raised, as one value.
struct float_state {
    uint64_t control;
    uint64_t status;
    bool operator==(const float_state &other) const { return control == other.control && status == other.status; }
};

#if defined(__aarch64__)
constexpr uint64_t fpcr_flush_to_zero = uint64_t{1} << 24;  // FZ
constexpr uint64_t fpcr_default_nan = uint64_t{1} << 25;    // DN

uint64_t read_fpcr()
{
    uint64_t value;
    __asm__ volatile("mrs %0, fpcr" : "=r"(value));
    return value;
}
#endif

float_state current_float_state()
{
    float_state state{0, static_cast<uint64_t>(std::fetestexcept(FE_ALL_EXCEPT))};
#if defined(__aarch64__)
    state.control = read_fpcr();
    uint64_t fpsr;
    __asm__ volatile("mrs %0, fpsr" : "=r"(fpsr));
    state.status = fpsr;
#elif defined(VOXWARPKIT_HAS_MXCSR)
    state.control = _mm_getcsr();
#endif
    state.control |= static_cast<uint64_t>(std::fegetround()) << 32;
    return state;
}

// Sets what a fast-math caller sets; false where this processor has no such mode.
bool flush_subnormals_as_a_fast_math_caller_does()
{
#if defined(__aarch64__)
    const uint64_t fpcr = read_fpcr() | fpcr_flush_to_zero | fpcr_default_nan;
    __asm__ volatile("msr fpcr, %0" : : "r"(fpcr));
    return (read_fpcr() & (fpcr_flush_to_zero | fpcr_default_nan)) == (fpcr_flush_to_zero | fpcr_default_nan);
#elif defined(VOXWARPKIT_HAS_MXCSR)
    _mm_setcsr(_mm_getcsr() | 0x8040u);  // FTZ and DAZ
    return true;
#else
    return false;
#endif
}

int32_t read_int(std::ifstream &in)
{
    int32_t value = 0;
    in.read(reinterpret_cast<char *>(&value), sizeof value);
    return value;
}

// (z, y, x) in the file, x first in the kernel.
xyz read_xyz(std::ifstream &in)
{
    const int32_t z = read_int(in);
    const int32_t y = read_int(in);
    const int32_t x = read_int(in);
    return {x, y, z};
}

bool all_positive(const xyz &counts)
{
    return counts.x > 0 && counts.y > 0 && counts.z > 0;
}

bool any_negative(const xyz &counts)
{
    return counts.x < 0 || counts.y < 0 || counts.z < 0;
}

size_t element_count(const xyz &counts)
{
    return size_t(counts.x) * size_t(counts.y) * size_t(counts.z);
}

// A case read from its file: its input and the jobs that write its output.
struct kernel_case {
    std::vector<uint64_t> input;  // 8-byte units, so that elements of any size are aligned
    size_t output_bytes = 0;
    std::vector<resample_job> jobs;      // their target pointers are set by run_case
    std::vector<size_t> target_offsets;  // where each job's target starts, in bytes of the output
    bool line_pass = false;              // a line filter pass over the input, in place of jobs
    line_filter_job filter{};            // its data pointer is set by run_case
    std::vector<double> weights;         // a FIR pass's
    bool fusion = false;                 // a tile added into a fused block, in place of jobs
    tile_blend_job blend{};              // its pointers are set by run_case
    blend_finish_job finish{};
    std::vector<double> values, sums, fused_weights;
    uint64_t fill = 0;
    bool spline = false;  // a job of the spline path, in place of jobs
    spline_job spline_transform{};
    std::vector<double> coordinates;
    bool spline_pass = false;  // a pass of the spline path's prefilter over the input
    spline_filter_job spline_filter{};
};

bool read_bytes(std::ifstream &in, std::vector<uint64_t> &into, size_t bytes)
{
    into.assign((bytes + 7) / 8, 0);
    return bool(in.read(reinterpret_cast<char *>(into.data()), std::streamsize(bytes)));
}

bool read_whole_grid_case(std::ifstream &in, kernel_case &c)
{
    volume_shape shape;
    shape.nvol = read_int(in);
    shape.nz = read_int(in);
    shape.ny = read_int(in);
    shape.nx = read_int(in);
    float voxel_size[3];
    float matrix[12];
    in.read(reinterpret_cast<char *>(voxel_size), sizeof voxel_size);
    in.read(reinterpret_cast<char *>(matrix), sizeof matrix);
    if (!in || shape.nvol < 0 || shape.nz < 0 || shape.ny < 0 || shape.nx < 0) {
        return false;
    }
    const size_t bytes = size_t(shape.nvol) * size_t(shape.nz) * size_t(shape.ny) * size_t(shape.nx) * sizeof(float);
    if (!read_bytes(in, c.input, bytes)) {
        return false;
    }
    c.output_bytes = bytes;
    if (bytes > 0) {
        c.jobs.push_back(
            whole_grid_job(reinterpret_cast<const float *>(c.input.data()), shape, voxel_size, matrix, nullptr));
        c.target_offsets.push_back(0);
    }
    return true;
}

// The jobs the package engine makes of the same arguments: one for all
// volumes when they share a matrix, else one per volume. `typed`: the case
// names its source's element type (VWKCASE4); else it is float32 for the blends.
// `result_typed`: it also names the result's (VWKCASE6); else float32.
bool read_general_case(std::ifstream &in, kernel_case &c, bool typed, bool result_typed)
{
    const int32_t interpolation_code = read_int(in);
    const int32_t edges_code = read_int(in);
    const int32_t element_size = read_int(in);
    const auto source_type = static_cast<element_type>(typed ? read_int(in) : 0);
    const auto result_type = static_cast<element_type>(result_typed ? read_int(in) : 0);
    const int32_t nvol = read_int(in);
    const int32_t matrix_count = read_int(in);
    const xyz window = read_xyz(in);
    const xyz window_origin = read_xyz(in);
    const xyz full_extent = read_xyz(in);
    const xyz target_shape = read_xyz(in);
    const xyz target_origin = read_xyz(in);
    float source_spacing[3], target_spacing[3];
    unsigned char fill[8];
    in.read(reinterpret_cast<char *>(source_spacing), sizeof source_spacing);
    in.read(reinterpret_cast<char *>(target_spacing), sizeof target_spacing);
    in.read(reinterpret_cast<char *>(fill), sizeof fill);
    const bool size_known = element_size == 1 || element_size == 2 || element_size == 4 || element_size == 8;
    const bool method_known = interpolation_code >= 0 && interpolation_code <= int32_t(interpolation::cubic)
                              && edges_code >= 0 && edges_code <= int32_t(edge_rule::clamp);
    const auto method = static_cast<enum interpolation>(interpolation_code);
    const int32_t source_size = voxwarp::blends_floats(method) ? element_size_of(source_type) : element_size;
    if (!in || !method_known || !size_known || source_size == 0 || nvol < 1
        || (matrix_count != 1 && matrix_count != nvol) || any_negative(window) || !all_positive(full_extent)
        || any_negative(target_shape)) {
        return false;
    }
    std::vector<float> matrices(size_t(matrix_count) * 12);
    in.read(reinterpret_cast<char *>(matrices.data()), std::streamsize(matrices.size() * sizeof(float)));
    const size_t volume = element_count(window), out_volume = element_count(target_shape);
    if (!in || !read_bytes(in, c.input, size_t(nvol) * volume * size_t(source_size))) {
        return false;
    }
    c.output_bytes = size_t(nvol) * out_volume * size_t(element_size);

    bool write_fill = false;
    for (unsigned char byte : fill) {
        write_fill = write_fill || byte != 0;
    }
    const bool shared = matrix_count == 1;
    for (int32_t m = 0; m < matrix_count; ++m) {
        const size_t first_volume = shared ? 0 : size_t(m);
        resample_job job{};
        job.source = {reinterpret_cast<const char *>(c.input.data()) + first_volume * volume * source_size,
                      window.x,
                      ptrdiff_t{window.x} * window.y,
                      static_cast<ptrdiff_t>(volume),
                      window_origin,
                      window,
                      full_extent,
                      {source_spacing[0], source_spacing[1], source_spacing[2]}};
        job.target = {nullptr,
                      target_shape.x,
                      ptrdiff_t{target_shape.x} * target_shape.y,
                      static_cast<ptrdiff_t>(out_volume),
                      target_origin,
                      target_shape,
                      {target_spacing[0], target_spacing[1], target_spacing[2]}};
        job.nvol = shared ? nvol : 1;
        std::memcpy(job.matrix, &matrices[size_t(m) * 12], sizeof job.matrix);
        job.interpolation = method;
        job.edges = static_cast<edge_rule>(edges_code);
        job.element_size = element_size;
        job.source_type = source_type;
        job.result_type = result_type;
        job.write_fill = write_fill;
        std::memcpy(job.fill, fill, sizeof job.fill);
        if (!job_is_sound(job)) {
            return false;
        }
        c.jobs.push_back(job);
        c.target_offsets.push_back(first_volume * out_volume * element_size);
    }
    return true;
}

// A line filter pass: the B-spline prefilter, or with `fir` the Gaussian FIR.
bool read_line_case(std::ifstream &in, kernel_case &c, bool fir)
{
    const int32_t volumes = read_int(in);
    const xyz extent = read_xyz(in);
    const int32_t axis = read_int(in);
    double sigma = 0.0;
    if (fir) {
        in.read(reinterpret_cast<char *>(&sigma), sizeof sigma);
    }
    if (!in || volumes < 0 || any_negative(extent) || axis < 0 || axis > 2) {
        return false;
    }
    c.output_bytes = size_t(volumes) * element_count(extent) * sizeof(float);
    c.line_pass = true;
    c.filter = {nullptr, volumes, extent, axis};
    if (fir) {
        const int32_t radius = sigma >= 0.0 ? gaussian_radius(sigma) : -1;
        if (radius < 0) {
            return false;
        }
        c.weights.assign(2 * size_t(radius) + 1, 1.0);
        if (radius > 0) {
            gaussian_weights(sigma, radius, c.weights.data());
        }
        c.filter.kind = line_filter_kind::fir;
        c.filter.radius = radius;
    }
    return read_bytes(in, c.input, c.output_bytes);
}

int64_t read_int64(std::ifstream &in)
{
    int64_t value = 0;
    in.read(reinterpret_cast<char *>(&value), sizeof value);
    return value;
}

bool read_doubles(std::ifstream &in, std::vector<double> &into, size_t count)
{
    into.assign(count, 0.0);
    return bool(in.read(reinterpret_cast<char *>(into.data()), std::streamsize(count * sizeof(double))));
}

bool read_fusion_case(std::ifstream &in, kernel_case &c)
{
    const int32_t volumes = read_int(in);
    const xyz block = read_xyz(in);
    if (volumes <= 0 || !all_positive(block)) {
        return false;
    }
    c.fusion = true;
    c.blend.volumes = volumes;
    c.blend.extent[0] = block.x;
    c.blend.extent[1] = block.y;
    c.blend.extent[2] = block.z;
    for (int a = 0; a < 3; ++a) {
        c.blend.values_begin[a] = 0;  // the case's values cover its whole block
        c.blend.values_extent[a] = c.blend.extent[a];
    }
    for (int a = 2; a >= 0; --a) {
        c.blend.origin[a] = read_int64(in);
    }
    for (int a = 2; a >= 0; --a) {
        c.blend.tile_extent[a] = read_int64(in);
    }
    in.read(reinterpret_cast<char *>(c.blend.matrix), sizeof c.blend.matrix);
    in.read(reinterpret_cast<char *>(c.blend.scale), sizeof c.blend.scale);
    c.blend.blending = static_cast<tile_blending>(read_int(in));
    c.finish.result_type = static_cast<element_type>(read_int(in));
    in.read(reinterpret_cast<char *>(&c.fill), sizeof c.fill);
    const size_t voxels = element_count(block);
    const size_t size = size_t(element_size_of(c.finish.result_type));
    c.finish.volumes = volumes;
    c.finish.voxels = int64_t(voxels);
    c.finish.maximum = c.blend.blending == tile_blending::maximum;
    c.output_bytes = size * voxels * size_t(volumes);
    return size != 0 && read_doubles(in, c.values, voxels * size_t(volumes))
           && read_doubles(in, c.sums, voxels * size_t(volumes)) && read_doubles(in, c.fused_weights, voxels);
}

bool read_spline_case(std::ifstream &in, kernel_case &c)
{
    int32_t ints[10];
    for (int32_t &value : ints) {
        value = read_int(in);
    }
    int64_t counts[7];
    for (int64_t &value : counts) {
        value = read_int64(in);
    }
    spline_job &job = c.spline_transform;
    job.input_rank = ints[0];
    job.output_rank = ints[1];
    job.order = ints[2];
    job.mode = static_cast<spline_mode>(ints[3]);
    job.kind = static_cast<spline_positions>(ints[4]);
    job.source_type = static_cast<element_type>(ints[5]);
    job.target_type = static_cast<element_type>(ints[6]);
    job.has_shift = ints[7] != 0;
    job.has_zoom = ints[8] != 0;
    job.grid_mode = ints[9] != 0;
    job.volumes = counts[0];
    size_t in_voxels = 1, out_voxels = 1;
    ptrdiff_t in_stride = 1, out_stride = 1;
    for (int a = 2; a >= 0; --a) {
        job.input_extent[a] = counts[1 + a];
        job.window_extent[a] = counts[1 + a];
        job.output_extent[a] = counts[4 + a];
        if (job.input_extent[a] < 1 || job.output_extent[a] < 0) {
            return false;
        }
        job.input_stride[a] = in_stride;
        job.output_stride[a] = out_stride;
        in_stride *= ptrdiff_t(job.input_extent[a]);
        out_stride *= ptrdiff_t(job.output_extent[a]);
        in_voxels *= size_t(job.input_extent[a]);
        out_voxels *= size_t(job.output_extent[a]);
    }
    job.input_volume = in_stride;
    job.output_volume = out_stride;
    in.read(reinterpret_cast<char *>(&job.cval), sizeof job.cval);
    in.read(reinterpret_cast<char *>(&job.prepad), sizeof job.prepad);
    in.read(reinterpret_cast<char *>(job.matrix), sizeof job.matrix);
    in.read(reinterpret_cast<char *>(job.shift), sizeof job.shift);
    in.read(reinterpret_cast<char *>(job.zoom), sizeof job.zoom);
    const size_t source_size = size_t(element_size_of(job.source_type));
    const size_t target_size = size_t(element_size_of(job.target_type));
    if (!in || job.volumes < 1 || source_size == 0 || target_size == 0
        || !read_bytes(in, c.input, size_t(job.volumes) * in_voxels * source_size)) {
        return false;
    }
    if (job.kind == spline_positions::coordinates
        && !read_doubles(in, c.coordinates, size_t(job.input_rank) * out_voxels)) {
        return false;
    }
    job.source = c.input.data();
    job.coordinates = c.coordinates.data();
    job.vectors = true;  // the vector form where this processor has it, checked against the scalar loop's bits
    c.spline = true;
    c.output_bytes = size_t(job.volumes) * out_voxels * target_size;
    return spline_job_is_sound(job);
}

bool read_spline_pass_case(std::ifstream &in, kernel_case &c)
{
    const int32_t rank = read_int(in);
    if (rank < 1 || rank > 8) {
        return false;
    }
    std::vector<int64_t> extents(static_cast<size_t>(rank), 0);
    size_t count = 1;
    for (int64_t &extent : extents) {
        extent = read_int64(in);
        count *= size_t(extent < 0 ? 0 : extent);
    }
    const int32_t axis = read_int(in), order = read_int(in), mode = read_int(in);
    if (!in || axis < 0 || axis >= rank || order < 2 || order > 5 || mode < 0 || mode >= spline_mode_count) {
        return false;
    }
    spline_filter_job &job = c.spline_filter;
    job.before = 1;
    job.after = 1;
    for (int32_t a = 0; a < axis; ++a) {
        job.before *= extents[size_t(a)];
    }
    for (int32_t a = axis + 1; a < rank; ++a) {
        job.after *= extents[size_t(a)];
    }
    job.length = extents[size_t(axis)];
    job.order = order;
    job.boundary = voxwarp::filter_boundary_of(static_cast<spline_mode>(mode));
    c.spline_pass = true;
    c.output_bytes = count * sizeof(double);
    return read_bytes(in, c.input, c.output_bytes);
}

bool read_case(const std::filesystem::path &path, kernel_case &c)
{
    std::ifstream in(path, std::ios::binary);
    char magic[8];
    if (!in.read(magic, sizeof magic)) {
        return false;
    }
    if (std::memcmp(magic, "VWKCASE1", 8) == 0) {
        return read_whole_grid_case(in, c);
    }
    if (std::memcmp(magic, "VWKCASE2", 8) == 0 || std::memcmp(magic, "VWKCASE4", 8) == 0
        || std::memcmp(magic, "VWKCASE6", 8) == 0) {
        return read_general_case(in, c, magic[7] != '2', magic[7] == '6');
    }
    if (std::memcmp(magic, "VWKCASE3", 8) == 0 || std::memcmp(magic, "VWKCASE5", 8) == 0) {
        return read_line_case(in, c, magic[7] == '5');
    }
    if (std::memcmp(magic, "VWKCASE7", 8) == 0) {
        return read_fusion_case(in, c);
    }
    if (std::memcmp(magic, "VWKCASE8", 8) == 0) {
        return read_spline_case(in, c);
    }
    if (std::memcmp(magic, "VWKCASE9", 8) == 0) {
        return read_spline_pass_case(in, c);
    }
    return false;
}

// Runs the case's jobs into `output` with `kernel`; false when the caller's
// floating-point environment did not come back as it was.
bool run_case(const kernel_case &c, resample_function kernel, std::vector<uint64_t> &output)
{
    output.assign((c.output_bytes + 7) / 8, 0);
    if (c.fusion) {
        // Variants share fusion's sums: each run checks them again.
        std::vector<double> sums = c.sums, weights = c.fused_weights;
        tile_blend_job blend = c.blend;
        blend.values = c.values.data();
        blend.sums = sums.data();
        blend.weights = weights.data();
        blend_finish_job finish = c.finish;
        finish.sums = sums.data();
        finish.weights = weights.data();
        finish.result = output.data();
        finish.fill = &c.fill;
        std::feraiseexcept(FE_INEXACT);
        const float_state before = current_float_state();
        blend_tile(blend);
        finish_blend(finish);
        return current_float_state() == before;
    }
    if (c.spline || c.spline_pass) {
        // The spline path has one form, which each variant's run checks again.
        std::feraiseexcept(FE_INEXACT);
        const float_state before = current_float_state();
        bool finished;
        if (c.spline) {
            spline_job job = c.spline_transform;
            job.target = output.data();
            finished = run_spline_job(job, 2, {nullptr, nullptr}) == spline_stop::none;
        } else {
            output = c.input;
            spline_filter_job job = c.spline_filter;
            job.data = reinterpret_cast<double *>(output.data());
            bool out_of_memory = false;
            finished = spline_filter_along_axis(job, 2, {nullptr, nullptr}, out_of_memory);
        }
        return finished && current_float_state() == before;
    }
    if (c.line_pass) {
        // Variants share the line filters: each run checks them again.
        output = c.input;
        line_filter_job job = c.filter;
        job.data = reinterpret_cast<float *>(output.data());
        job.weights = c.weights.data();
        std::feraiseexcept(FE_INEXACT);
        const float_state before = current_float_state();
        bool out_of_memory = false;
        return filter_lines_along_axis(job, 2, {nullptr, nullptr}, out_of_memory) && current_float_state() == before;
    }
    for (size_t i = 0; i < c.jobs.size(); ++i) {
        resample_job job = c.jobs[i];
        job.target.data = reinterpret_cast<char *>(output.data()) + c.target_offsets[i];
        std::feraiseexcept(FE_INEXACT);  // a flag of the caller's, to be kept
        const float_state before = current_float_state();
        run_resample_job(job, kernel);
        if (!(current_float_state() == before)) {
            return false;
        }
    }
    return true;
}

int fail(const std::string &message)
{
    std::fprintf(stderr, "kernel_corpus: error: %s\n", message.c_str());
    return 1;
}

int run_corpus(const std::filesystem::path &directory, bool flush)
{
    if (flush && !flush_subnormals_as_a_fast_math_caller_does()) {
        return fail("this processor has no flush-to-zero mode to set");
    }
    int count = 0;
    const kernel_variant *variants = kernel_variants(&count);
    std::printf("pointer bits %zu\n", sizeof(void *) * 8);
    std::printf("caller environment %llx %s\n", static_cast<unsigned long long>(current_float_state().control),
                flush ? "flush-to-zero" : "default");
    for (int v = 0; v < count; ++v) {
        std::printf("variant %s %s\n", variants[v].name, variants[v].usable() ? "usable" : "not usable");
    }
    for (const auto &entry : std::filesystem::directory_iterator(directory)) {
        if (entry.path().extension() != ".case") {
            continue;
        }
        kernel_case c;
        if (!read_case(entry.path(), c)) {
            return fail("cannot read " + entry.path().string() + " (not a case file, or a job the kernel refuses)");
        }
        for (int v = 0; v < count; ++v) {
            if (!variants[v].usable()) {
                continue;
            }
            std::vector<uint64_t> output;
            if (!run_case(c, variants[v].resample, output)) {
                return fail(std::string("the ") + variants[v].name
                            + " kernel did not restore the caller's floating-point environment");
            }
            std::filesystem::path out_path = entry.path();
            out_path.replace_extension(std::string(".") + variants[v].name + ".out");
            std::ofstream out(out_path, std::ios::binary);
            out.write(reinterpret_cast<const char *>(output.data()), std::streamsize(c.output_bytes));
            if (!out) {
                return fail("cannot write " + out_path.string());
            }
        }
        std::printf("case %s\n", entry.path().filename().string().c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    const bool flush = argc == 3 && std::strcmp(argv[1], "--caller-flush-to-zero") == 0;
    if (argc != 2 && !flush) {
        std::fprintf(stderr, "usage: %s [--caller-flush-to-zero] DIRECTORY\n", argv[0]);
        return 2;
    }
    try {
        return run_corpus(argv[argc - 1], flush);
    } catch (const std::exception &error) {  // an unlistable folder, a case too large for memory
        return fail(error.what());
    }
}
