%module voxwarpkit

%{
#include "voxwarpkit.h"
#include <numpy/arrayobject.h>
%}

// Arrays reach the driver as they are; it checks them itself.
%typemap(in) PyArrayObject * {
    $1 = (PyArrayObject *) $input;
}

%init %{
    // Written out rather than import_array(), whose failure text differs
    // between numpy versions.
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
#if SWIG_VERSION >= 0x040400
        return -1;  // SWIG 4.4 and later run this in the module's exec slot
#else
        Py_DECREF(m);
        return NULL;
#endif
    }
%}

PyObject *transform(PyArrayObject *image, PyArrayObject *voxel_size, PyArrayObject *matrix);
