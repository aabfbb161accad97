// _voxwarpkit_testing: a private module that exposes the conversions and the
// kernel to the test suite. Not a public interface.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arrays/arrays.h"
#include "bindings/module_entry.h"
#include "bindings/numpy_api.h"
#include "bindings/resample_call.h"
#include "bindings/transform_call.h"
#include "kernel/run_jobs.h"
#include "kernel/simd/kernel_variants.h"
#include "voxwarpkit.h"

#include <cfenv>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SSE__) || defined(_M_X64)
#include <xmmintrin.h>
#define VOXWARPKIT_HAS_MXCSR 1
#endif

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
        PyErr_Format(PyExc_ValueError, "%s must be a native C-contiguous float32 array of at least %zd elements", name,
                     static_cast<Py_ssize_t>(count));
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

// resample(image, voxel_size, matrix, variant=None, out=None): transform's
// checks and conversions, then the kernel variant named (default: the one
// transform picks) on the calling thread. A given `out` (C-contiguous float32
// of the image's shape, zero-filled) is written and returned instead of the
// result, so that timings can leave out its allocation.
PyObject *py_resample(PyObject *, PyObject *args)
{
    PyObject *image_object;
    PyObject *voxel_object;
    PyObject *matrix_object;
    const char *variant_name = nullptr;
    PyObject *out_object = Py_None;
    if (!PyArg_ParseTuple(args, "OOO|zO", &image_object, &voxel_object, &matrix_object, &variant_name, &out_object)) {
        return nullptr;
    }
    resample_function resample = selected_kernel_variant().resample;
    if (variant_name != nullptr) {
        const kernel_variant *variant = find_variant(variant_name);
        if (variant == nullptr) {
            return nullptr;
        }
        resample = variant->resample;
    }
    transform_call call;
    if (!prepare_transform(reinterpret_cast<PyArrayObject *>(image_object),
                           reinterpret_cast<PyArrayObject *>(voxel_object),
                           reinterpret_cast<PyArrayObject *>(matrix_object), call)) {
        return nullptr;
    }
    if (out_object == Py_None) {
        run_resample_job(call.job, resample);
        return call.take_result();
    }
    PyArrayObject *out = as_array(out_object);
    PyArrayObject *result = reinterpret_cast<PyArrayObject *>(call.result);
    if (out == nullptr) {
        return nullptr;
    }
    if (PyArray_NDIM(out) != PyArray_NDIM(result)
        || !PyArray_CompareLists(PyArray_DIMS(out), PyArray_DIMS(result), PyArray_NDIM(result))
        || !PyArray_ISCARRAY(out) || PyArray_TYPE(out) != NPY_FLOAT || !PyArray_ISNOTSWAPPED(out)) {
        PyErr_SetString(PyExc_ValueError, "out must be a writable C-contiguous float32 array of the image's shape");
        return nullptr;
    }
    call.job.target.data = PyArray_DATA(out);
    run_resample_job(call.job, resample);
    Py_INCREF(out_object);
    return out_object;
}

// resample_volumes(image, voxel_size, matrix) -> float32 array of the image's
// shape: the kernel's entry for whole grids, called as it is. The image is a
// native C-contiguous float32 array of rank 4 (volumes, z, y, x) of fewer than
// 2**31 elements; voxel_size and matrix are native C-contiguous float32 arrays
// of at least 3 and 12 elements.
PyObject *py_resample_volumes(PyObject *, PyObject *args)
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
    if (PyArray_NDIM(image) != 4 || PyArray_TYPE(image) != NPY_FLOAT || !PyArray_ISCARRAY_RO(image)
        || !PyArray_ISNOTSWAPPED(image) || PyArray_SIZE(image) > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError,
                        "image must be a native C-contiguous float32 array of rank 4 with fewer than 2**31 elements");
        return nullptr;
    }
    const float *voxel_size = float32_data(voxel_object, 3, "voxel_size");
    const float *matrix = voxel_size != nullptr ? float32_data(matrix_object, 12, "matrix") : nullptr;
    if (matrix == nullptr) {
        return nullptr;
    }
    // An empty axis makes every count fit, whatever the others hold.
    const npy_intp *dims = PyArray_DIMS(image);
    if (PyArray_SIZE(image) > 0) {
        for (int axis = 0; axis < 4; ++axis) {
            if (dims[axis] > INT32_MAX) {
                PyErr_SetString(PyExc_ValueError, "image has an axis of 2**31 elements or more");
                return nullptr;
            }
        }
    }
    PyObject *result = PyArray_ZEROS(4, PyArray_DIMS(image), NPY_FLOAT, 0);
    if (result == nullptr || PyArray_SIZE(image) == 0) {
        return result;
    }
    const volume_shape shape{static_cast<int32_t>(dims[0]), static_cast<int32_t>(dims[1]),
                             static_cast<int32_t>(dims[2]), static_cast<int32_t>(dims[3])};
    resample_volumes(static_cast<const float *>(PyArray_DATA(image)), shape, voxel_size, matrix,
                     static_cast<float *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(result))));
    return result;
}

// resample_block(*engine_arguments, variant): the package engine's resample
// (its checks and conversions) with the kernel variant named, on this thread.
PyObject *py_resample_block(PyObject *, PyObject *args)
{
    const Py_ssize_t count = PyTuple_GET_SIZE(args);
    const char *variant_name = count > 0 ? PyUnicode_AsUTF8(PyTuple_GET_ITEM(args, count - 1)) : nullptr;
    if (variant_name == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "resample_block needs the engine's arguments and a variant name");
        }
        return nullptr;
    }
    const kernel_variant *variant = find_variant(variant_name);
    if (variant == nullptr) {
        return nullptr;
    }
    PyObject *head = PyTuple_GetSlice(args, 0, count - 1);
    if (head == nullptr) {
        return nullptr;
    }
    resample_call call;
    const bool prepared = prepare_resample(head, call);
    Py_DECREF(head);
    if (!prepared) {
        return nullptr;
    }
    for (const resample_job &job : call.jobs) {
        run_resample_job(job, variant->resample);
    }
    PyObject *result = call.result;
    call.result = nullptr;
    return result;
}

// copies_source(*engine_arguments) -> bool: whether the package engine's
// resample, given these arguments, makes a float copy of the source rather
// than reading it where it lies. Nothing is run.
PyObject *py_copies_source(PyObject *, PyObject *args)
{
    resample_call call;
    if (!prepare_resample(args, call)) {
        return nullptr;
    }
    return PyBool_FromLong(call.source_numbers.get() != nullptr);
}

// engine_resample(variant, threads, *engine_arguments): the package engine's
// resample, arguments and result as voxwarpkit._engine.resample has them (its
// trailing thread count given here second instead), on `threads` threads with
// the kernel variant named, so that each variant can be timed as the package
// runs it. The interpreter lock is released while the kernel runs; there is
// no look for signals between pieces.
PyObject *py_engine_resample(PyObject *, PyObject *args)
{
    const Py_ssize_t count = PyTuple_GET_SIZE(args);
    PyObject *head = PyTuple_GetSlice(args, 0, 2);
    if (head == nullptr) {
        return nullptr;
    }
    const char *variant_name = nullptr;
    int threads = 0;
    const bool parsed = count >= 2 && PyArg_ParseTuple(head, "si", &variant_name, &threads);
    Py_DECREF(head);
    if (!parsed) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "engine_resample needs a variant name, a thread count and the arguments");
        }
        return nullptr;
    }
    if (threads < 1 || threads > 4096) {
        PyErr_Format(PyExc_ValueError, "threads must be from 1 to 4096, got %d", threads);
        return nullptr;
    }
    const kernel_variant *variant = find_variant(variant_name);
    if (variant == nullptr) {
        return nullptr;
    }
    PyObject *engine_args = PyTuple_GetSlice(args, 2, count);
    if (engine_args == nullptr) {
        return nullptr;
    }
    resample_call call;
    const bool prepared = prepare_resample(engine_args, call);
    Py_DECREF(engine_args);
    if (!prepared) {
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS;
    run_resample_jobs(call.jobs.data(), call.jobs.size(), variant->resample, threads, {nullptr, nullptr});
    Py_END_ALLOW_THREADS;
    PyObject *result = call.result;
    call.result = nullptr;
    return result;
}

// The parts of the floating-point environment that change results, as one
// comparable value: rounding mode, raised flags and (on x86) the whole MXCSR.
struct float_state {
    int rounding;
    int flags;
    unsigned int mxcsr;
    bool operator==(const float_state &other) const
    {
        return rounding == other.rounding && flags == other.flags && mxcsr == other.mxcsr;
    }
};

float_state current_float_state()
{
    float_state state{std::fegetround(), std::fetestexcept(FE_ALL_EXCEPT), 0};
#if defined(VOXWARPKIT_HAS_MXCSR)
    state.mxcsr = _mm_getcsr();
#endif
    return state;
}

int rounding_mode(const char *name)
{
    if (std::strcmp(name, "nearest") == 0) {
        return FE_TONEAREST;
    }
    if (std::strcmp(name, "upward") == 0) {
        return FE_UPWARD;
    }
    if (std::strcmp(name, "downward") == 0) {
        return FE_DOWNWARD;
    }
    if (std::strcmp(name, "toward zero") == 0) {
        return FE_TOWARDZERO;
    }
    return -1;
}

// call_in_float_environment(rounding, flush_to_zero, denormals_are_zero,
// trap_invalid, function, *args) -> (result, environment_kept): calls
// function(*args) with the rounding mode ("nearest", "upward", "downward",
// "toward zero"), the x86 denormal flags and, where the C library allows, a
// trap on invalid operations; the inexact flag is raised beforehand as a
// marker. environment_kept tells whether all of it was as set when the call
// returned. The original environment is restored before returning, so that
// no other Python code runs under the altered one.
PyObject *py_call_in_float_environment(PyObject *, PyObject *args)
{
    const Py_ssize_t count = PyTuple_GET_SIZE(args);
    const char *rounding_name;
    int flush_to_zero;
    int denormals_are_zero;
    int trap_invalid;
    PyObject *function;
    PyObject *head = PyTuple_GetSlice(args, 0, 5);
    if (head == nullptr) {
        return nullptr;
    }
    // The function stays referenced by `args` once `head` is gone.
    const bool parsed = count >= 5
                        && PyArg_ParseTuple(head, "spppO", &rounding_name, &flush_to_zero, &denormals_are_zero,
                                            &trap_invalid, &function);
    Py_DECREF(head);
    if (!parsed) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError,
                            "expected rounding, flush_to_zero, denormals_are_zero, trap_invalid, function");
        }
        return nullptr;
    }
    const int rounding = rounding_mode(rounding_name);
    if (rounding < 0) {
        PyErr_Format(PyExc_ValueError, "unknown rounding mode %s", rounding_name);
        return nullptr;
    }
#if !defined(VOXWARPKIT_HAS_MXCSR)
    if (flush_to_zero || denormals_are_zero) {
        PyErr_SetString(PyExc_NotImplementedError, "no MXCSR on this processor");
        return nullptr;
    }
#endif
#if !defined(__GLIBC__)
    if (trap_invalid) {
        PyErr_SetString(PyExc_NotImplementedError, "cannot unmask exceptions with this C library");
        return nullptr;
    }
#endif
    PyObject *call_args = PyTuple_GetSlice(args, 5, count);
    if (call_args == nullptr) {
        return nullptr;
    }

    std::fenv_t original;
    std::fegetenv(&original);
    std::fesetround(rounding);
#if defined(VOXWARPKIT_HAS_MXCSR)
    unsigned int mxcsr = _mm_getcsr() & ~0x8040u;
    mxcsr |= (flush_to_zero ? 0x8000u : 0u) | (denormals_are_zero ? 0x0040u : 0u);
    _mm_setcsr(mxcsr);
#endif
#if defined(__GLIBC__)
    if (trap_invalid) {
        feenableexcept(FE_INVALID);
    }
#endif
    std::feclearexcept(FE_ALL_EXCEPT);
    std::feraiseexcept(FE_INEXACT);
    const float_state before = current_float_state();
    PyObject *result = PyObject_CallObject(function, call_args);
    const float_state after = current_float_state();
    std::fesetenv(&original);

    Py_DECREF(call_args);
    if (result == nullptr) {
        return nullptr;
    }
    return Py_BuildValue("(NO)", result, after == before ? Py_True : Py_False);
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
    {"call_in_float_environment", py_call_in_float_environment, METH_VARARGS,
     "call_in_float_environment(rounding, flush_to_zero, denormals_are_zero, trap_invalid, function, *args)"
     " -> (result, environment_kept)"},
    {"kernel_variants", py_kernel_variants, METH_NOARGS, "kernel_variants() -> [(name, usable)], fastest first"},
    {"selected_kernel", py_selected_kernel, METH_NOARGS, "selected_kernel() -> name of the variant transform uses"},
    {"array2float", py_array2float, METH_O, "array2float(array) -> float32 buffer as a 1-D array"},
    {"array2float3d", py_array2float3d, METH_O, "array2float3d(array) -> float32 buffer as a 1-D array"},
    {"array2float4d", py_array2float4d, METH_O, "array2float4d(array) -> float32 buffer as a 1-D array"},
    {"float2array3d", py_float2array3d, METH_VARARGS, "float2array3d(values, target) -> status"},
    {"float2array4d", py_float2array4d, METH_VARARGS, "float2array4d(values, target) -> status"},
    {"resample", py_resample, METH_VARARGS,
     "resample(image, voxel_size, matrix, variant=None, out=None) -> transform's result from one variant"},
    {"resample_volumes", py_resample_volumes, METH_VARARGS,
     "resample_volumes(image, voxel_size, matrix) -> float32 array: the kernel's entry for whole grids, unchecked"},
    {"resample_block", py_resample_block, METH_VARARGS,
     "resample_block(*engine_resample_arguments, variant) -> the engine's result from one variant"},
    {"copies_source", py_copies_source, METH_VARARGS,
     "copies_source(*engine_resample_arguments) -> whether the engine would read a float copy of the source"},
    {"engine_resample", py_engine_resample, METH_VARARGS,
     "engine_resample(variant, threads, *engine_resample_arguments) -> the engine's result from one variant on "
     "`threads` threads"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "_voxwarpkit_testing",
    "Private test hooks of voxwarpkit; not a public API.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

VOXWARPKIT_MODULE_ENTRY PyInit__voxwarpkit_testing(void)
{
    if (!numpy_api_ready()) {
        return nullptr;
    }
    return PyModule_Create(&module);
}
