#define PY_SSIZE_T_CLEAN
#include "bindings/spline_call.h"

#include "bindings/numpy_api.h"

#include <cstdint>

namespace {

// scipy's names, in the order of the enum spline_mode.
const char *const mode_names[spline_mode_count] = {"nearest",  "wrap",      "reflect",      "mirror",
                                                   "constant", "grid-wrap", "grid-constant"};

bool element_type_of(int numpy_type, element_type &type)
{
    switch (numpy_type) {
    case NPY_FLOAT: type = element_type::float32; return true;
    case NPY_DOUBLE: type = element_type::float64; return true;
    case NPY_BOOL: type = element_type::boolean; return true;
    case NPY_INT8: type = element_type::int8; return true;
    case NPY_UINT8: type = element_type::uint8; return true;
    case NPY_INT16: type = element_type::int16; return true;
    case NPY_UINT16: type = element_type::uint16; return true;
    case NPY_INT32: type = element_type::int32; return true;
    case NPY_UINT32: type = element_type::uint32; return true;
    case NPY_HALF: type = element_type::float16; return true;
    default: break;
    }
    // long and long long are both 64 bits on the platforms numpy's int64 takes either
    if (PyArray_EquivTypenums(numpy_type, NPY_INT64)) {
        type = element_type::int64;
        return true;
    }
    if (PyArray_EquivTypenums(numpy_type, NPY_UINT64)) {
        type = element_type::uint64;
        return true;
    }
    return false;
}

// A rank-4 array's extents and element strides; false unless it is aligned,
// native and every stride a whole number of elements.
bool read_layout(PyObject *object, const char *name, bool writeable, int64_t extent[4], ptrdiff_t stride[4])
{
    PyArrayObject *array = reinterpret_cast<PyArrayObject *>(object);
    if (!PyArray_Check(object) || PyArray_NDIM(array) != 4 || !PyArray_ISALIGNED(array) || !PyArray_ISNOTSWAPPED(array)
        || (writeable && !PyArray_ISWRITEABLE(array))) {
        PyErr_Format(PyExc_ValueError, "%s must be an aligned, native%s array of rank 4", name,
                     writeable ? ", writeable" : "");
        return false;
    }
    const npy_intp size = PyArray_ITEMSIZE(array);
    for (int a = 0; a < 4; ++a) {
        extent[a] = PyArray_DIM(array, a);
        const npy_intp bytes = PyArray_STRIDE(array, a);
        if (bytes % size != 0) {
            PyErr_Format(PyExc_ValueError, "%s's strides must be whole elements", name);
            return false;
        }
        stride[a] = bytes / size;
    }
    return true;
}

// A float64 C-contiguous array of `count` elements, or None (false `given`).
bool read_doubles(PyObject *object, const char *name, npy_intp count, const double *&data, bool &given)
{
    given = object != Py_None;
    if (!given) {
        return true;
    }
    PyArrayObject *array = reinterpret_cast<PyArrayObject *>(object);
    if (!PyArray_Check(object) || PyArray_TYPE(array) != NPY_DOUBLE || !PyArray_ISCARRAY_RO(array)
        || !PyArray_ISNOTSWAPPED(array) || PyArray_SIZE(array) != count) {
        PyErr_Format(PyExc_ValueError, "%s must be a C-contiguous native float64 array of %zd elements", name,
                     static_cast<Py_ssize_t>(count));
        return false;
    }
    data = static_cast<const double *>(PyArray_DATA(array));
    return true;
}

bool read_mode(int code, spline_mode &mode)
{
    if (code < 0 || code >= spline_mode_count) {
        PyErr_Format(PyExc_ValueError, "mode must be a code from 0 to %d, got %d", spline_mode_count - 1, code);
        return false;
    }
    mode = static_cast<spline_mode>(code);
    return true;
}

}  // namespace

bool prepare_spline_transform(PyObject *args, spline_job &job)
{
    if (!numpy_api_ready()) {
        return false;
    }
    PyObject *source, *target, *matrix, *shift, *zoom, *coordinates;
    int input_rank, output_rank, order, mode, grid_mode;
    double cval, prepad;
    long long in_origin[3], in_grid[3], out_origin[3];
    int vectors;
    if (!PyArg_ParseTuple(args, "OOiiiiddOOOpO(LLL)(LLL)(LLL)p:spline_transform", &source, &target, &input_rank,
                          &output_rank, &order, &mode, &cval, &prepad, &matrix, &shift, &zoom, &grid_mode, &coordinates,
                          &in_origin[0], &in_origin[1], &in_origin[2], &in_grid[0], &in_grid[1], &in_grid[2],
                          &out_origin[0], &out_origin[1], &out_origin[2], &vectors)) {
        return false;
    }
    int64_t in_extent[4], out_extent[4];
    ptrdiff_t in_stride[4], out_stride[4];
    if (!read_layout(source, "source", false, in_extent, in_stride)
        || !read_layout(target, "target", true, out_extent, out_stride) || !read_mode(mode, job.mode)) {
        return false;
    }
    PyArrayObject *in = reinterpret_cast<PyArrayObject *>(source), *out = reinterpret_cast<PyArrayObject *>(target);
    if (!element_type_of(PyArray_TYPE(in), job.source_type) || !element_type_of(PyArray_TYPE(out), job.target_type)) {
        PyErr_SetString(PyExc_ValueError, "source or target has a type the engine does not take");
        return false;
    }
    if (input_rank < 1 || input_rank > 3 || output_rank < 1 || output_rank > 3) {
        PyErr_SetString(PyExc_ValueError, "ranks must be from 1 to 3");
        return false;
    }
    if (in_extent[0] != out_extent[0]) {
        PyErr_SetString(PyExc_ValueError, "source and target must hold the same number of volumes");
        return false;
    }
    job.source = PyArray_DATA(in);
    job.target = PyArray_DATA(out);
    job.input_rank = input_rank;
    job.output_rank = output_rank;
    job.volumes = in_extent[0];
    job.input_volume = in_stride[0];
    job.output_volume = out_stride[0];
    for (int a = 0; a < 3; ++a) {
        // the window must lie in the grid, so that every voxel the positions can read is one it holds
        if (in_origin[a] < 0 || in_grid[a] < 1 || in_extent[a + 1] < 1 || in_origin[a] > in_grid[a] - in_extent[a + 1]
            || out_origin[a] < 0) {
            PyErr_SetString(PyExc_ValueError, "the source window must be a box of the input grid, and the block's "
                                              "origin whole indices");
            return false;
        }
        job.input_origin[a] = in_origin[a];
        job.window_extent[a] = in_extent[a + 1];
        job.output_origin[a] = out_origin[a];
    }
    for (int a = 0; a < 3; ++a) {
        job.input_extent[a] = in_grid[a];
        job.input_stride[a] = in_stride[a + 1];
        job.output_extent[a] = out_extent[a + 1];
        job.output_stride[a] = out_stride[a + 1];
    }
    job.order = order;
    job.cval = cval;
    job.prepad = prepad;
    job.grid_mode = grid_mode != 0;
    job.vectors = vectors != 0;
    const double *matrix_data = nullptr, *shift_data = nullptr, *zoom_data = nullptr;
    bool has_matrix, has_coordinates;
    const npy_intp voxels = static_cast<npy_intp>(out_extent[1] * out_extent[2] * out_extent[3]);
    if (!read_doubles(matrix, "matrix", input_rank * output_rank, matrix_data, has_matrix)
        || !read_doubles(shift, "shift", input_rank, shift_data, job.has_shift)
        || !read_doubles(zoom, "zoom", input_rank, zoom_data, job.has_zoom)
        || !read_doubles(coordinates, "coordinates", input_rank * voxels, job.coordinates, has_coordinates)) {
        return false;
    }
    job.kind = has_coordinates ? spline_positions::coordinates
               : has_matrix    ? spline_positions::affine
                               : spline_positions::zoom_shift;
    for (int h = 0; h < input_rank; ++h) {
        for (int l = 0; l < output_rank; ++l) {
            job.matrix[3 * h + l] = has_matrix ? matrix_data[h * output_rank + l] : 0.0;
        }
        job.shift[h] = job.has_shift ? shift_data[h] : 0.0;
        job.zoom[h] = job.has_zoom ? zoom_data[h] : 1.0;
    }
    if (job.kind == spline_positions::affine && !job.has_shift) {
        PyErr_SetString(PyExc_ValueError, "an affine job needs its shift");
        return false;
    }
    if (!spline_job_is_sound(job)) {
        PyErr_SetString(PyExc_ValueError,
                        "the spline job is not sound: order 0 to 5, a source of float32, float64, uint8, uint16 or "
                        "int16, axes that do not move of one voxel, and zoom and shift of the output's rank");
        return false;
    }
    return true;
}

bool prepare_spline_filter(PyObject *args, spline_filter_job &job)
{
    if (!numpy_api_ready()) {
        return false;
    }
    PyObject *object;
    int axis, order, mode;
    if (!PyArg_ParseTuple(args, "Oiii:spline_filter", &object, &axis, &order, &mode)) {
        return false;
    }
    PyArrayObject *array = reinterpret_cast<PyArrayObject *>(object);
    if (!PyArray_Check(object) || PyArray_TYPE(array) != NPY_DOUBLE || !PyArray_ISCARRAY(array)
        || !PyArray_ISNOTSWAPPED(array) || PyArray_NDIM(array) < 1) {
        PyErr_SetString(PyExc_ValueError, "values must be a C-contiguous, aligned, writeable, native float64 array");
        return false;
    }
    const int rank = PyArray_NDIM(array);
    if (axis < 0 || axis >= rank) {
        PyErr_Format(PyExc_ValueError, "axis must be from 0 to %d, got %d", rank - 1, axis);
        return false;
    }
    if (order < 2 || order > 5) {
        PyErr_Format(PyExc_ValueError, "order must be from 2 to 5, got %d", order);
        return false;
    }
    spline_mode parsed;
    if (!read_mode(mode, parsed)) {
        return false;
    }
    job.data = static_cast<double *>(PyArray_DATA(array));
    job.before = 1;
    job.after = 1;
    for (int a = 0; a < axis; ++a) {
        job.before *= PyArray_DIM(array, a);
    }
    for (int a = axis + 1; a < rank; ++a) {
        job.after *= PyArray_DIM(array, a);
    }
    job.length = PyArray_DIM(array, axis);
    job.order = order;
    job.boundary = voxwarp::filter_boundary_of(parsed);
    return true;
}

PyObject *spline_mode_names()
{
    PyObject *names = PyTuple_New(spline_mode_count);
    if (names == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < spline_mode_count; ++i) {
        PyObject *name = PyUnicode_FromString(mode_names[i]);
        if (name == nullptr) {
            Py_DECREF(names);
            return nullptr;
        }
        PyTuple_SET_ITEM(names, i, name);
    }
    return names;
}
