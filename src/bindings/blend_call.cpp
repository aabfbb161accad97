#define PY_SSIZE_T_CLEAN
#include "bindings/blend_call.h"

#include "bindings/numpy_api.h"

#include <cmath>

namespace {

bool is_float64_block(PyObject *object, int rank, bool writeable)
{
    if (!PyArray_Check(object)) {
        return false;
    }
    PyArrayObject *array = reinterpret_cast<PyArrayObject *>(object);
    return PyArray_NDIM(array) == rank && PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISCARRAY_RO(array)
           && PyArray_ISNOTSWAPPED(array) && (!writeable || PyArray_ISWRITEABLE(array));
}

}  // namespace

bool prepare_blend(PyObject *args, tile_blend_job &job)
{
    if (!numpy_api_ready()) {
        return false;
    }
    PyObject *sums, *weights, *values;
    long long origin[3], tile[3];
    double *m = job.matrix;
    int blending;
    if (!PyArg_ParseTuple(args, "OOO(LLL)(dddddddddddd)(LLL)(ddd)(ddd)i:blend_tile", &sums, &weights, &values,
                          &origin[2], &origin[1], &origin[0], &m[0], &m[1], &m[2], &m[3], &m[4], &m[5], &m[6], &m[7],
                          &m[8], &m[9], &m[10], &m[11], &tile[2], &tile[1], &tile[0], &job.spacing[0], &job.spacing[1],
                          &job.spacing[2], &job.width[0], &job.width[1], &job.width[2], &blending)) {
        return false;
    }
    if (!is_float64_block(sums, 4, true) || !is_float64_block(values, 4, false)
        || !is_float64_block(weights, 3, true)) {
        PyErr_SetString(PyExc_ValueError,
                        "sums, values (rank 4) and weights (rank 3) must be C-contiguous, aligned, native float64 "
                        "arrays, sums and weights writeable");
        return false;
    }
    PyArrayObject *sum_array = reinterpret_cast<PyArrayObject *>(sums);
    PyArrayObject *value_array = reinterpret_cast<PyArrayObject *>(values);
    PyArrayObject *weight_array = reinterpret_cast<PyArrayObject *>(weights);
    const npy_intp *dims = PyArray_DIMS(sum_array);
    if (!PyArray_SAMESHAPE(sum_array, value_array) || PyArray_DIMS(weight_array)[0] != dims[1]
        || PyArray_DIMS(weight_array)[1] != dims[2] || PyArray_DIMS(weight_array)[2] != dims[3]) {
        PyErr_SetString(PyExc_ValueError, "sums and values must have one shape (volumes, z, y, x), weights (z, y, x)");
        return false;
    }
    for (int axis = 1; axis < 4; ++axis) {
        if (dims[axis] > INT32_MAX) {
            PyErr_SetString(PyExc_ValueError, "the block is too large");
            return false;
        }
    }
    for (int a = 0; a < 3; ++a) {
        if (tile[a] < 1 || !(job.spacing[a] > 0.0 && std::isfinite(job.spacing[a])) || !(job.width[a] >= 0.0)) {
            PyErr_SetString(PyExc_ValueError,
                            "tile extents must be at least 1, spacings positive and finite, widths at least 0");
            return false;
        }
        job.origin[a] = origin[a];
        job.tile_extent[a] = tile[a];
        job.extent[a] = static_cast<int32_t>(dims[3 - a]);
    }
    if (blending < 0 || blending > 3) {
        PyErr_Format(PyExc_ValueError, "blending must be 0 (cosine), 1 (linear), 2 (average) or 3 (maximum), got %d",
                     blending);
        return false;
    }
    job.blending = static_cast<tile_blending>(blending);
    job.sums = static_cast<double *>(PyArray_DATA(sum_array));
    job.values = static_cast<const double *>(PyArray_DATA(value_array));
    job.weights = static_cast<double *>(PyArray_DATA(weight_array));
    job.volumes = dims[0];
    return true;
}
