%module voxwarpkit

%{
#include "voxwarpkit.h"
#include <numpy/arrayobject.h>
%}

// Arrays reach the driver as they are; it checks them itself.
%typemap(in) PyArrayObject * {
    $1 = (PyArrayObject *) $input;
}

// Runs in the module's exec slot (SWIG 4.4 and later; earlier glue crashes
// the interpreter at exit when warnings are errors).
%init %{
    // Written out rather than import_array(), whose failure text differs
    // between numpy versions.
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        return -1;
    }
%}

PyObject *transform(PyArrayObject *image, PyArrayObject *voxel_size, PyArrayObject *matrix);
