#define PY_SSIZE_T_CLEAN
#include "bindings/bspline_call.h"

#include "bindings/chain_arguments.h"
#include "bindings/numpy_api.h"
#include "kernel/bspline_step.h"

#include <cstdint>

namespace {

// A C-contiguous, native float32 vector of 1 to 2**31 - 1 positions; null with a ValueError otherwise.
const float *read_positions(PyObject *object, const char *name, int32_t &count)
{
    PyArrayObject *array = reinterpret_cast<PyArrayObject *>(object);
    if (!PyArray_Check(object) || PyArray_NDIM(array) != 1 || PyArray_TYPE(array) != NPY_FLOAT
        || !PyArray_ISCARRAY_RO(array) || !PyArray_ISNOTSWAPPED(array) || PyArray_DIMS(array)[0] < 1
        || PyArray_DIMS(array)[0] > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "%s must be a C-contiguous float32 vector of at least one position", name);
        return nullptr;
    }
    count = static_cast<int32_t>(PyArray_DIMS(array)[0]);
    return static_cast<const float *>(PyArray_DATA(array));
}

}  // namespace

PyObject *bspline_displacements_of(PyObject *args)
{
    if (!numpy_api_ready()) {
        return nullptr;
    }
    PyObject *step, *x_object, *y_object, *z_object;
    if (!PyArg_ParseTuple(args, "O!OOO:bspline_displacements", &PyTuple_Type, &step, &x_object, &y_object, &z_object)) {
        return nullptr;
    }
    bspline_grid grid{};
    int32_t nx, ny, nz;
    const float *xs, *ys, *zs;
    if (!read_bspline(step, grid) || (xs = read_positions(x_object, "xs", nx)) == nullptr
        || (ys = read_positions(y_object, "ys", ny)) == nullptr
        || (zs = read_positions(z_object, "zs", nz)) == nullptr) {
        return nullptr;
    }
    if (int64_t{nx} * ny > INT32_MAX / nz) {
        PyErr_SetString(PyExc_ValueError, "the box holds 2**31 positions or more");
        return nullptr;
    }
    npy_intp shape[4] = {3, nz, ny, nx};
    PyObject *result = PyArray_SimpleNew(4, shape, NPY_FLOAT);
    if (result == nullptr) {
        return nullptr;
    }
    float *out = static_cast<float *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(result)));
    PyThreadState *state = PyEval_SaveThread();
    bspline_displacements(grid, xs, nx, ys, ny, zs, nz, out);
    PyEval_RestoreThread(state);
    return result;
}
