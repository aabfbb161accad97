#define PY_SSIZE_T_CLEAN
#include "bindings/chain_arguments.h"

#include <cmath>
#include <cstdint>

const float *read_matrices(PyObject *object, npy_intp &count)
{
    if (!PyArray_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "matrices must be a numpy.ndarray");
        return nullptr;
    }
    PyArrayObject *array = reinterpret_cast<PyArrayObject *>(object);
    if (PyArray_NDIM(array) != 2 || PyArray_DIMS(array)[1] != 12 || PyArray_DIMS(array)[0] < 1
        || PyArray_TYPE(array) != NPY_FLOAT || !PyArray_ISCARRAY_RO(array) || !PyArray_ISNOTSWAPPED(array)) {
        PyErr_SetString(PyExc_ValueError, "matrices must be a C-contiguous float32 array of shape (n, 12)");
        return nullptr;
    }
    count = PyArray_DIMS(array)[0];
    return static_cast<const float *>(PyArray_DATA(array));
}

namespace {

bool read_triple(PyObject *tuple, float values[3])
{
    double x, y, z;
    if (!PyArg_ParseTuple(tuple, "ddd", &x, &y, &z)) {
        return false;
    }
    values[0] = static_cast<float>(x);
    values[1] = static_cast<float>(y);
    values[2] = static_cast<float>(z);
    return true;
}

}  // namespace

bool read_field(PyObject *object, displacement_field &field)
{
    PyObject *data, *origin, *spacing;
    if (!PyArg_ParseTuple(object, "OOO", &data, &origin, &spacing)) {
        return false;
    }
    PyArrayObject *array = reinterpret_cast<PyArrayObject *>(data);
    if (!PyArray_Check(data) || PyArray_NDIM(array) != 4 || PyArray_DIMS(array)[0] != 3
        || PyArray_TYPE(array) != NPY_FLOAT || !PyArray_ISCARRAY_RO(array) || !PyArray_ISNOTSWAPPED(array)) {
        PyErr_SetString(PyExc_ValueError,
                        "a field's data must be a C-contiguous, aligned, native float32 array (3, nz, ny, nx)");
        return false;
    }
    const npy_intp *dims = PyArray_DIMS(array);
    if (dims[1] < 1 || dims[2] < 1 || dims[3] < 1 || dims[1] * dims[2] * dims[3] > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "a field must hold at least one voxel and fewer than 2**31");
        return false;
    }
    if (!read_triple(origin, field.origin) || !read_triple(spacing, field.spacing)) {
        return false;
    }
    for (const float s : field.spacing) {
        if (!(std::isfinite(s) && s > 0.0f)) {
            PyErr_SetString(PyExc_ValueError, "a field's spacing must be positive and finite in float32");
            return false;
        }
    }
    field.data = static_cast<const float *>(PyArray_DATA(array));
    field.extent = {static_cast<int32_t>(dims[3]), static_cast<int32_t>(dims[2]), static_cast<int32_t>(dims[1])};
    return true;
}

bool read_bspline(PyObject *object, bspline_grid &grid)
{
    PyObject *data, *origin, *spacing;
    int order;
    if (!PyArg_ParseTuple(object, "OOOi", &data, &origin, &spacing, &order)) {
        return false;
    }
    if (order != 3) {
        PyErr_Format(PyExc_ValueError, "a B-spline deformation must be cubic (order 3), got order %d", order);
        return false;
    }
    PyArrayObject *array = reinterpret_cast<PyArrayObject *>(data);
    if (!PyArray_Check(data) || PyArray_NDIM(array) != 4 || PyArray_DIMS(array)[3] != 3
        || PyArray_TYPE(array) != NPY_DOUBLE || !PyArray_ISCARRAY_RO(array) || !PyArray_ISNOTSWAPPED(array)) {
        PyErr_SetString(PyExc_ValueError, "a B-spline's coefficients must be a C-contiguous, aligned, native "
                                          "float64 array (nz, ny, nx, 3)");
        return false;
    }
    const npy_intp *dims = PyArray_DIMS(array);
    if (dims[0] < 4 || dims[1] < 4 || dims[2] < 4 || dims[0] * dims[1] * dims[2] > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "a cubic B-spline needs at least 4 control points along each axis, and "
                                          "fewer than 2**31 in all");
        return false;
    }
    double o[3], s[3];
    if (!PyArg_ParseTuple(origin, "ddd", &o[0], &o[1], &o[2])
        || !PyArg_ParseTuple(spacing, "ddd", &s[0], &s[1], &s[2])) {
        return false;
    }
    for (int a = 0; a < 3; ++a) {
        if (!(std::isfinite(o[a]) && std::isfinite(s[a]) && s[a] > 0.0)) {
            PyErr_SetString(PyExc_ValueError, "a B-spline's origin must be finite and its spacing positive and finite");
            return false;
        }
        grid.origin[a] = o[a];
        grid.spacing[a] = s[a];
    }
    grid.coefficients = static_cast<const double *>(PyArray_DATA(array));
    grid.extent = {static_cast<int32_t>(dims[2]), static_cast<int32_t>(dims[1]), static_cast<int32_t>(dims[0])};
    return true;
}

bool read_chain(PyObject *object, chain_arguments &chain)
{
    if (object == Py_None) {
        return true;
    }
    if (!PyTuple_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "chain must be None or a tuple of steps");
        return false;
    }
    const Py_ssize_t length = PyTuple_GET_SIZE(object);
    if (length > 1024) {
        PyErr_SetString(PyExc_ValueError, "chain has more than 1024 steps");
        return false;
    }
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject *item = PyTuple_GET_ITEM(object, i);
        chain_arguments::step step{nullptr, 1, {}, {}};
        if (PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 4) {
            if (!read_bspline(item, step.bspline)) {
                return false;
            }
        } else if (PyTuple_Check(item)) {
            if (!read_field(item, step.field)) {
                return false;
            }
        } else if ((step.matrices = read_matrices(item, step.count)) == nullptr) {
            return false;
        }
        if (step.count > 1) {
            if (chain.count > 1 && chain.count != step.count) {
                PyErr_SetString(PyExc_ValueError, "the chain's steps hold different counts of matrices");
                return false;
            }
            chain.count = step.count;
        }
        chain.steps.push_back(step);
    }
    return true;
}

void chain_of_job(const chain_arguments &chain, npy_intp m, chain_step *steps)
{
    for (size_t i = 0; i < chain.steps.size(); ++i) {
        const chain_arguments::step &step = chain.steps[i];
        steps[i].matrix = step.matrices == nullptr ? nullptr : step.matrices + 12 * (step.count == 1 ? 0 : m);
        steps[i].field = step.field;
        steps[i].bspline = step.bspline.coefficients == nullptr ? nullptr : &step.bspline;
    }
}
