%module voxwarpkit

%{
#include "voxwarpkit.h"
#include "bindings/numpy_api.h"
%}

// Arrays reach the driver as they are; it checks them itself.
%typemap(in) PyArrayObject * {
    $1 = (PyArrayObject *) $input;
}

// Runs in the module's exec slot (SWIG 4.4 and later; earlier glue crashes
// the interpreter at exit when warnings are errors).
%init %{
    // Fails the import with the ImportError transform would raise.
    if (!numpy_api_ready()) {
        return -1;
    }
%}

PyObject *transform(PyArrayObject *image, PyArrayObject *voxel_size, PyArrayObject *matrix);
