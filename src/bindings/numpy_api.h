#ifndef VOXWARPKIT_NUMPY_API_H
#define VOXWARPKIT_NUMPY_API_H

// numpy's C API for the Python-facing code. numpy hands its functions out as
// a table of pointers; each extension module keeps one table, defined in
// numpy_api.cpp and shared by all of the module's files, and numpy_api_ready
// alone loads it. Include this header, never <numpy/arrayobject.h> directly:
// that would give the including file a table of its own, never loaded.

#include <Python.h>

// Since numpy 2.5 its type header declares the table too: included first, it
// would leave this file a table that is never loaded, and every call a crash.
#if defined(NUMPY_CORE_INCLUDE_NUMPY_NDARRAYTYPES_H_) || defined(NDARRAYTYPES_H)
#error "a numpy header was included before bindings/numpy_api.h; include this header instead"
#endif

#define PY_ARRAY_UNIQUE_SYMBOL voxwarpkit_numpy_api
#if !defined(VOXWARPKIT_NUMPY_API_DEFINITION)
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

// Makes the table match the numpy now in sys.modules: true when it does,
// false with ImportError "numpy.core.multiarray failed to import" set (numpy's
// own error printed first) when numpy cannot be imported. Called on every call
// that uses numpy, so that a numpy that has become unusable fails the call
// cleanly; when sys.modules still holds the module that provided the table, it
// returns at once, without the import machinery. Needs the interpreter lock.
bool numpy_api_ready();

#endif
