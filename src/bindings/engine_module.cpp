// voxwarpkit._engine: the kernel on every core, for the package. Arguments
// are checked and read with the interpreter lock held; the kernel then runs on
// worker threads without it, and the calling thread looks for signals (Ctrl-C)
// between pieces, so that a long call can be interrupted.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/blend_call.h"
#include "bindings/engine_codes.h"
#include "bindings/line_filter_call.h"
#include "bindings/module_entry.h"
#include "bindings/resample_call.h"
#include "bindings/spline_call.h"
#include "bindings/transform_call.h"
#include "bindings/bspline_call.h"
#include "kernel/bspline_chain.h"
#include "kernel/run_jobs.h"
#include "kernel/simd/kernel_variants.h"

#include <vector>

namespace {

// The interpreter lock is released for the whole run and taken back briefly
// for each look at the signals.
struct released_lock {
    PyThreadState *state;
};

bool no_signal(void *context)
{
    released_lock *lock = static_cast<released_lock *>(context);
    PyEval_RestoreThread(lock->state);
    const int signalled = PyErr_CheckSignals();
    lock->state = PyEval_SaveThread();
    return signalled == 0;
}

// Runs the jobs on `threads` threads without the interpreter lock; false with
// the signal handler's exception (KeyboardInterrupt) set when one stopped it.
bool run_without_lock(const std::vector<resample_job> &jobs, int threads)
{
    // A chain with a B-spline step has one kernel, the scalar one; the jobs of a call share their chain's kinds.
    const bool bspline = !jobs.empty() && chain_has_bspline(jobs[0]);
    const resample_function kernel = bspline ? resample_bspline_chain : selected_kernel_variant().resample;
    released_lock lock{PyEval_SaveThread()};
    const bool finished = run_resample_jobs(jobs.data(), jobs.size(), kernel, threads, {no_signal, &lock});
    PyEval_RestoreThread(lock.state);
    return finished;
}

bool read_threads(PyObject *object, int &threads)
{
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    if (value < 1 || value > 4096) {
        PyErr_Format(PyExc_ValueError, "threads must be from 1 to 4096, got %ld", value);
        return false;
    }
    threads = static_cast<int>(value);
    return true;
}

PyObject *py_transform(PyObject *, PyObject *args)
{
    PyObject *image, *voxel_size, *matrix, *threads_object;
    int threads = 1;
    if (!PyArg_ParseTuple(args, "OOOO:transform", &image, &voxel_size, &matrix, &threads_object)
        || !read_threads(threads_object, threads)) {
        return nullptr;
    }
    transform_call call;
    if (!prepare_transform(reinterpret_cast<PyArrayObject *>(image), reinterpret_cast<PyArrayObject *>(voxel_size),
                           reinterpret_cast<PyArrayObject *>(matrix), call)) {
        return nullptr;
    }
    if (!run_without_lock(std::vector<resample_job>{call.job}, threads)) {
        return nullptr;
    }
    return call.take_result();
}

PyObject *py_resample(PyObject *, PyObject *args)
{
    const Py_ssize_t count = PyTuple_GET_SIZE(args);
    if (count < 1) {
        PyErr_SetString(PyExc_TypeError, "resample needs its arguments and a thread count");
        return nullptr;
    }
    int threads = 1;
    if (!read_threads(PyTuple_GET_ITEM(args, count - 1), threads)) {
        return nullptr;
    }
    PyObject *head = PyTuple_GetSlice(args, 0, count - 1);
    if (head == nullptr) {
        return nullptr;
    }
    resample_call call;
    const bool prepared = prepare_resample(head, call);
    Py_DECREF(head);
    if (!prepared || !run_without_lock(call.jobs, threads)) {
        return nullptr;
    }
    PyObject *result = call.result;
    call.result = nullptr;
    return result;
}

// prefilter(values, axis, threads) and smooth(values, axis, sigma, threads):
// one pass of a line filter, in place.
PyObject *run_line_filter(PyObject *args, const char *name)
{
    const Py_ssize_t count = PyTuple_GET_SIZE(args);
    int threads = 1;
    if (count < 1 || !read_threads(PyTuple_GET_ITEM(args, count - 1), threads)) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError, "%s needs its arguments and a thread count", name);
        }
        return nullptr;
    }
    PyObject *head = PyTuple_GetSlice(args, 0, count - 1);
    if (head == nullptr) {
        return nullptr;
    }
    line_filter_job job{};
    std::vector<double> weights;
    const bool prepared = prepare_line_filter(head, job, weights);
    Py_DECREF(head);
    if (!prepared) {
        return nullptr;
    }
    bool out_of_memory = false;
    released_lock lock{PyEval_SaveThread()};
    const bool finished = filter_lines_along_axis(job, threads, {no_signal, &lock}, out_of_memory);
    PyEval_RestoreThread(lock.state);
    if (out_of_memory) {
        return PyErr_NoMemory();
    }
    if (!finished) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *py_prefilter(PyObject *, PyObject *args)
{
    if (PyTuple_GET_SIZE(args) != 3) {
        PyErr_SetString(PyExc_TypeError, "prefilter takes (values, axis, threads)");
        return nullptr;
    }
    return run_line_filter(args, "prefilter");
}

PyObject *py_smooth(PyObject *, PyObject *args)
{
    if (PyTuple_GET_SIZE(args) != 4) {
        PyErr_SetString(PyExc_TypeError, "smooth takes (values, axis, sigma, threads)");
        return nullptr;
    }
    return run_line_filter(args, "smooth");
}

PyObject *py_source_box(PyObject *, PyObject *args)
{
    return source_box_of(args);
}

PyObject *py_blend_tile(PyObject *, PyObject *args)
{
    tile_blend_job job{};
    if (!prepare_blend(args, job)) {
        return nullptr;
    }
    // One block of one tile: short, so it runs on the calling thread, without the lock.
    PyThreadState *state = PyEval_SaveThread();
    blend_tile(job);
    PyEval_RestoreThread(state);
    Py_RETURN_NONE;
}

PyObject *py_tile_cover(PyObject *, PyObject *args)
{
    return tile_cover_of(args);
}

PyObject *py_blend_tile_at(PyObject *, PyObject *args)
{
    tile_blend_job job{};
    if (!prepare_blend_at(args, job)) {
        return nullptr;
    }
    PyThreadState *state = PyEval_SaveThread();
    blend_tile(job);
    PyEval_RestoreThread(state);
    Py_RETURN_NONE;
}

PyObject *py_chain_positions(PyObject *, PyObject *args)
{
    chain_positions_job job{};
    std::vector<position_step> steps;
    if (!prepare_positions(args, job, steps)) {
        return nullptr;
    }
    PyThreadState *state = PyEval_SaveThread();
    chain_positions(job);
    PyEval_RestoreThread(state);
    Py_RETURN_NONE;
}

PyObject *py_finish_blend(PyObject *, PyObject *args)
{
    blend_finish_job job{};
    if (!prepare_finish(args, job)) {
        return nullptr;
    }
    PyThreadState *state = PyEval_SaveThread();
    finish_blend(job);
    PyEval_RestoreThread(state);
    Py_RETURN_NONE;
}

PyObject *py_bspline_displacements(PyObject *, PyObject *args)
{
    return bspline_displacements_of(args);
}

// spline_transform(...) and spline_filter(values, axis, order, mode), each with
// a thread count last: the index-space spline path of voxwarpkit.ndimage.
PyObject *py_spline_transform(PyObject *, PyObject *args)
{
    const Py_ssize_t count = PyTuple_GET_SIZE(args);
    int threads = 1;
    if (count < 1 || !read_threads(PyTuple_GET_ITEM(args, count - 1), threads)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "spline_transform needs its arguments and a thread count");
        }
        return nullptr;
    }
    PyObject *head = PyTuple_GetSlice(args, 0, count - 1);
    if (head == nullptr) {
        return nullptr;
    }
    spline_job job{};
    const bool prepared = prepare_spline_transform(head, job);
    Py_DECREF(head);
    if (!prepared) {
        return nullptr;
    }
    released_lock lock{PyEval_SaveThread()};
    const spline_stop stop = run_spline_job(job, threads, {no_signal, &lock});
    PyEval_RestoreThread(lock.state);
    switch (stop) {
    case spline_stop::none: Py_RETURN_NONE;
    case spline_stop::out_of_memory: return PyErr_NoMemory();
    case spline_stop::window_missed:
        PyErr_SetString(PyExc_ValueError, "the source window misses voxels its positions read");
        return nullptr;
    case spline_stop::checked: break;
    }
    return nullptr;
}

PyObject *py_spline_filter(PyObject *, PyObject *args)
{
    if (PyTuple_GET_SIZE(args) != 5) {
        PyErr_SetString(PyExc_TypeError, "spline_filter takes (values, axis, order, mode, threads)");
        return nullptr;
    }
    int threads = 1;
    if (!read_threads(PyTuple_GET_ITEM(args, 4), threads)) {
        return nullptr;
    }
    PyObject *head = PyTuple_GetSlice(args, 0, 4);
    if (head == nullptr) {
        return nullptr;
    }
    spline_filter_job job{};
    const bool prepared = prepare_spline_filter(head, job);
    Py_DECREF(head);
    if (!prepared) {
        return nullptr;
    }
    bool out_of_memory = false;
    released_lock lock{PyEval_SaveThread()};
    const bool finished = spline_filter_along_axis(job, threads, {no_signal, &lock}, out_of_memory);
    PyEval_RestoreThread(lock.state);
    if (out_of_memory) {
        return PyErr_NoMemory();
    }
    if (!finished) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *py_spline_modes(PyObject *, PyObject *)
{
    return spline_mode_names();
}

PyObject *py_kernel_variant(PyObject *, PyObject *)
{
    return PyUnicode_FromString(selected_kernel_variant().name);
}

PyMethodDef methods[] = {
    {"transform", py_transform, METH_VARARGS,
     "transform(image, voxel_size, matrix, threads) -> float32 array: _voxwarpkit.transform on `threads` "
     "threads (1 to 4096), with the same bits"},
    {"resample", py_resample, METH_VARARGS,
     "resample(source, source_origin, source_grid, source_spacing, matrices, target_shape, target_origin, "
     "target_spacing, interpolation, edges, fill, threads) -> array (volumes, z, y, x): the target block resampled "
     "from a window of the source; interpolation 0 is linear, 3 Lanczos and 4 cubic B-spline of a source of "
     "coefficients (float32 result), 1 nearest and 2 label (the source's type); edges, linear's rule at the edges, "
     "0 transform's bands and 1 clamp; fill holds the bytes of one result element for positions outside the source"},
    {"prefilter", py_prefilter, METH_VARARGS,
     "prefilter(coefficients, axis, threads) -> None: the float32 array (volumes, z, y, x) filtered in place along "
     "axis 1 (z), 2 (y) or 3 (x) into cubic B-spline coefficients"},
    {"smooth", py_smooth, METH_VARARGS,
     "smooth(values, axis, sigma, threads) -> None: the float32 array (volumes, z, y, x) filtered in place along "
     "axis 1 (z), 2 (y) or 3 (x) by the Gaussian FIR of that sigma, radius ceil(4 sigma), mirrored at the ends"},
    {"source_box", py_source_box, METH_VARARGS,
     "source_box(source_grid, source_spacing, matrices, target_shape, target_origin, target_spacing, "
     "interpolation, edges) "
     "-> ((z0, z1), (y0, y1), (x0, x1)) or None: the half-open ranges of source voxels an output block "
     "reads, None when it reads none"},
    {"blend_tile", py_blend_tile, METH_VARARGS,
     "blend_tile(sums, weights, values, block_origin, values_at, matrix, tile_extent, scale, blending) -> None: "
     "one tile's values (volumes, z, y, x) over a box of the block from values_at (the box tile_cover gives, or "
     "larger) added into the block's float64 sums and weights (z, y, x) in place, each weighted by the tile's "
     "weight at the voxel; blending 0 cosine, 1 linear, 2 average, 3 maximum"},
    {"tile_cover", py_tile_cover, METH_VARARGS,
     "tile_cover(block_origin, block_shape, matrix, tile_extent) -> ((z0, z1), (y0, y1), (x0, x1)) or None: the "
     "smallest box of the block, as half-open ranges within it, that holds every voxel the tile holds"},
    {"blend_tile_at", py_blend_tile_at, METH_VARARGS,
     "blend_tile_at(sums, weights, values, values_at, positions, tile_extent, scale, blending) -> None: "
     "as blend_tile, with the tile index of each voxel of the values' box given in positions (3, z, y, x) in place "
     "of a matrix"},
    {"chain_positions", py_chain_positions, METH_VARARGS,
     "chain_positions(positions, steps, origin, output_spacing, spacing) -> None: the tile index (x, y, z) in "
     "double of each output voxel of the float64 array positions (3, z, y, x), its first at global index origin "
     "(z, y, x), through the steps: matrices (12 floats) and fields (data, origin, spacing), the first a matrix"},
    {"finish_blend", py_finish_blend, METH_VARARGS,
     "finish_blend(sums, weights, result, fill, result_type, maximum) -> None: each voxel's mean (its maximum) "
     "written into result as an element of the enum element_type result_type, fill where no tile weighs"},
    {"bspline_displacements", py_bspline_displacements, METH_VARARGS,
     "bspline_displacements(bspline, xs, ys, zs) -> float32 array (3, nz, ny, nx): the displacements of the "
     "B-spline step (coefficients, origin, spacing, 3) at every position (xs[i], ys[j], zs[k]) of the float32 "
     "vectors, 0 outside its support, the bits its step adds"},
    {"spline_transform", py_spline_transform, METH_VARARGS,
     "spline_transform(source, target, input_rank, output_rank, order, mode, cval, prepad, matrix, shift, zoom, "
     "grid_mode, coordinates, input_origin, input_grid, output_origin, vectors, threads) -> None: the index-space "
     "B-spline path of voxwarpkit.ndimage written into "
     "target (volumes, three axes), positions in double from the matrix and shift, the zoom and shift, or the "
     "coordinates"},
    {"spline_filter", py_spline_filter, METH_VARARGS,
     "spline_filter(values, axis, order, mode, threads) -> None: the float64 array filtered in place along axis "
     "into B-spline coefficients of order 2 to 5, with the start of the mode's code"},
    {"spline_modes", py_spline_modes, METH_NOARGS,
     "spline_modes() -> the names of the index-space path's modes, in the order of their codes"},
    {"kernel_variant", py_kernel_variant, METH_NOARGS, "kernel_variant() -> name of the kernel variant in use"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "voxwarpkit._engine",
    "The resampling kernel on every core, interruptible with Ctrl-C; private to voxwarpkit.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

VOXWARPKIT_MODULE_ENTRY PyInit__engine(void)
{
    PyObject *made = PyModule_Create(&module);
    if (made != nullptr && !add_engine_codes(made)) {
        Py_CLEAR(made);
    }
    return made;
}
