// _voxwarpkit_testing: a private module that exposes the conversions and the
// kernel to the test suite. Not a public interface.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arrays.h"
#include "kernel_variants.h"
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

// The compiled kernel variant called `name`, or null with an error set: a
// variant this processor cannot run is refused rather than allowed to fault.
const kernel_variant *find_variant(const char *name)
{
    int count = 0;
    const kernel_variant *variants = kernel_variants(&count);
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(variants[i].name, name) == 0) {
            if (!variants[i].usable()) {
                PyErr_Format(PyExc_RuntimeError, "this processor cannot run the %s kernel", name);
                return nullptr;
            }
            return &variants[i];
        }
    }
    PyErr_Format(PyExc_ValueError, "no kernel variant named %s is compiled in", name);
    return nullptr;
}

// resample(image, voxel_size, matrix, variant=None, out=None): runs the kernel
// (the selected variant, or the one named) on a native C-contiguous float32
// rank-4 image and returns the output buffer as an array of its shape. A given
// `out` (zero-filled, C-contiguous float32, the image's shape) is written and
// returned, so that timings leave out its allocation.
PyObject *py_resample(PyObject *, PyObject *args)
{
    PyObject *image_object;
    PyObject *voxel_object;
    PyObject *matrix_object;
    const char *variant_name = nullptr;
    PyObject *out_object = Py_None;
    if (!PyArg_ParseTuple(args, "OOO|zO", &image_object, &voxel_object, &matrix_object, &variant_name,
                          &out_object)) {
        return nullptr;
    }
    resample_function resample = resample_volumes;
    if (variant_name != nullptr) {
        const kernel_variant *variant = find_variant(variant_name);
        if (variant == nullptr) {
            return nullptr;
        }
        resample = variant->resample;
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
    PyObject *result;
    if (out_object == Py_None) {
        result = PyArray_ZEROS(4, const_cast<npy_intp *>(dims), NPY_FLOAT, 0);
        if (result == nullptr) {
            return nullptr;
        }
    } else {
        PyArrayObject *out = as_array(out_object);
        if (out == nullptr) {
            return nullptr;
        }
        if (PyArray_NDIM(out) != 4 || !PyArray_CompareLists(PyArray_DIMS(out), dims, 4) || !PyArray_ISCARRAY(out)
            || PyArray_TYPE(out) != NPY_FLOAT || !PyArray_ISNOTSWAPPED(out)) {
            PyErr_SetString(PyExc_ValueError, "out must be a writable C-contiguous float32 array of the image's shape");
            return nullptr;
        }
        Py_INCREF(out_object);
        result = out_object;
    }
    const volume_shape shape{static_cast<int32_t>(dims[0]), static_cast<int32_t>(dims[1]),
                             static_cast<int32_t>(dims[2]), static_cast<int32_t>(dims[3])};
    resample(input, shape, voxel_size, matrix,
             static_cast<float *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(result))));
    return result;
}

// [(name, usable)] for every compiled variant, fastest first.
PyObject *py_kernel_variants(PyObject *, PyObject *)
{
    int count = 0;
    const kernel_variant *variants = kernel_variants(&count);
    PyObject *list = PyList_New(count);
    for (int i = 0; list != nullptr && i < count; ++i) {
        PyObject *entry = Py_BuildValue("(sO)", variants[i].name, variants[i].usable() ? Py_True : Py_False);
        if (entry == nullptr) {
            Py_CLEAR(list);
            break;
        }
        PyList_SET_ITEM(list, i, entry);
    }
    return list;
}

PyObject *py_selected_kernel(PyObject *, PyObject *)
{
    return PyUnicode_FromString(selected_kernel_variant().name);
}

PyMethodDef methods[] = {
    {"kernel_variants", py_kernel_variants, METH_NOARGS, "kernel_variants() -> [(name, usable)], fastest first"},
    {"selected_kernel", py_selected_kernel, METH_NOARGS, "selected_kernel() -> name of the variant transform uses"},
    {"array2float", py_array2float, METH_O, "array2float(array) -> float32 buffer as a 1-D array"},
    {"array2float3d", py_array2float3d, METH_O, "array2float3d(array) -> float32 buffer as a 1-D array"},
    {"array2float4d", py_array2float4d, METH_O, "array2float4d(array) -> float32 buffer as a 1-D array"},
    {"float2array3d", py_float2array3d, METH_VARARGS, "float2array3d(values, target) -> status"},
    {"float2array4d", py_float2array4d, METH_VARARGS, "float2array4d(values, target) -> status"},
    {"resample", py_resample, METH_VARARGS, "resample(image4d, voxel_size, matrix, variant=None) -> output"},
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
