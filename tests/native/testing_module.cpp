// _voxwarpkit_testing: a private module that exposes the conversions and the
// kernel to the test suite. Not a public interface.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arrays.h"
#include "voxwarpkit.h"

#include <numpy/arrayobject.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

PyArrayObject *as_array(PyObject *object)
{
    if (!PyArray_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "expected a numpy array");
        return nullptr;
    }
    return reinterpret_cast<PyArrayObject *>(object);
}

// A C-contiguous float32 array of at least `count` elements, or null.
const float *float32_data(PyObject *object, npy_intp count, const char *name)
{
    PyArrayObject *array = as_array(object);
    if (array == nullptr) {
        return nullptr;
    }
    if (PyArray_TYPE(array) != NPY_FLOAT || !PyArray_ISCARRAY_RO(array) || !PyArray_ISNOTSWAPPED(array)
        || PyArray_SIZE(array) < count) {
        PyErr_Format(PyExc_ValueError, "%s must be a native C-contiguous float32 array of at least %zd elements",
                     name, static_cast<Py_ssize_t>(count));
        return nullptr;
    }
    return static_cast<const float *>(PyArray_DATA(array));
}

// Runs an importer and hands its buffer back as a new 1-D float32 array.
PyObject *import_with(float *(*importer)(PyArrayObject *), int naxes, int max_rank, PyObject *object)
{
    PyArrayObject *array = as_array(object);
    if (array == nullptr) {
        return nullptr;
    }
    if (PyArray_NDIM(array) < naxes || PyArray_NDIM(array) > max_rank) {
        PyErr_Format(PyExc_ValueError, "expected an array of rank %d to %d", naxes, max_rank);
        return nullptr;
    }
    float *buffer = importer(array);
    if (buffer == nullptr) {
        return nullptr;
    }
    npy_intp count = 1;
    for (int axis = 0; axis < naxes; ++axis) {
        count *= PyArray_DIMS(array)[axis];
    }
    PyObject *result = PyArray_SimpleNew(1, &count, NPY_FLOAT);
    if (result != nullptr) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject *>(result)), buffer,
                    static_cast<size_t>(count) * sizeof(float));
    }
    std::free(buffer);
    return result;
}

PyObject *py_array2float(PyObject *, PyObject *object)
{
    return import_with(array2float, 1, NPY_MAXDIMS, object);
}

PyObject *py_array2float3d(PyObject *, PyObject *object)
{
    return import_with(array2float3d, 3, 3, object);
}

PyObject *py_array2float4d(PyObject *, PyObject *object)
{
    return import_with(array2float4d, 4, 4, object);
}

PyObject *export_with(int (*writer)(const float *, PyArrayObject *), int rank, PyObject *args)
{
    PyObject *values_object;
    PyObject *target_object;
    if (!PyArg_ParseTuple(args, "OO", &values_object, &target_object)) {
        return nullptr;
    }
    PyArrayObject *target = as_array(target_object);
    if (target == nullptr) {
        return nullptr;
    }
    if (PyArray_NDIM(target) != rank) {
        PyErr_Format(PyExc_ValueError, "target must have rank %d", rank);
        return nullptr;
    }
    const float *values = float32_data(values_object, PyArray_SIZE(target), "values");
    if (values == nullptr) {
        return nullptr;
    }
    return PyLong_FromLong(writer(values, target));
}

PyObject *py_float2array3d(PyObject *, PyObject *args)
{
    return export_with(float2array3d, 3, args);
}

PyObject *py_float2array4d(PyObject *, PyObject *args)
{
    return export_with(float2array4d, 4, args);
}

// resample(image, voxel_size, matrix): runs the kernel on a native C-contiguous
// float32 rank-4 image and returns the output buffer as an array of its shape.
PyObject *py_resample(PyObject *, PyObject *args)
{
    PyObject *image_object;
    PyObject *voxel_object;
    PyObject *matrix_object;
    if (!PyArg_ParseTuple(args, "OOO", &image_object, &voxel_object, &matrix_object)) {
        return nullptr;
    }
    PyArrayObject *image = as_array(image_object);
    if (image == nullptr) {
        return nullptr;
    }
    if (PyArray_NDIM(image) != 4) {
        PyErr_SetString(PyExc_ValueError, "image must have rank 4");
        return nullptr;
    }
    const npy_intp *dims = PyArray_DIMS(image);
    for (int axis = 0; axis < 4; ++axis) {
        if (dims[axis] > INT32_MAX) {
            PyErr_SetString(PyExc_ValueError, "image too large");
            return nullptr;
        }
    }
    const float *input = float32_data(image_object, PyArray_SIZE(image), "image");
    const float *voxel_size = input ? float32_data(voxel_object, 3, "voxel_size") : nullptr;
    const float *matrix = voxel_size ? float32_data(matrix_object, 12, "matrix") : nullptr;
    if (matrix == nullptr) {
        return nullptr;
    }
    PyObject *result = PyArray_ZEROS(4, const_cast<npy_intp *>(dims), NPY_FLOAT, 0);
    if (result == nullptr) {
        return nullptr;
    }
    const volume_shape shape{static_cast<int32_t>(dims[0]), static_cast<int32_t>(dims[1]),
                             static_cast<int32_t>(dims[2]), static_cast<int32_t>(dims[3])};
    resample_volumes(input, shape, voxel_size, matrix,
                     static_cast<float *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(result))));
    return result;
}

PyMethodDef methods[] = {
    {"array2float", py_array2float, METH_O, "array2float(array) -> float32 buffer as a 1-D array"},
    {"array2float3d", py_array2float3d, METH_O, "array2float3d(array) -> float32 buffer as a 1-D array"},
    {"array2float4d", py_array2float4d, METH_O, "array2float4d(array) -> float32 buffer as a 1-D array"},
    {"float2array3d", py_float2array3d, METH_VARARGS, "float2array3d(values, target) -> status"},
    {"float2array4d", py_float2array4d, METH_VARARGS, "float2array4d(values, target) -> status"},
    {"resample", py_resample, METH_VARARGS, "resample(image4d, voxel_size, matrix) -> output"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_voxwarpkit_testing", "Private test hooks of voxwarpkit; not a public API.",
    -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__voxwarpkit_testing(void)
{
    import_array();
    return PyModule_Create(&module);
}
