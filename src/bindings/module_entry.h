// The one way a module of this package declares its entry point.
#pragma once

#include <Python.h>

// The build hides every symbol that is not marked, and before Python 3.9
// PyMODINIT_FUNC carries no visibility of its own on Linux and macOS: the entry
// would be hidden and the module could not be imported.
#if defined(_WIN32) || PY_VERSION_HEX >= 0x03090000
#define VOXWARPKIT_MODULE_ENTRY PyMODINIT_FUNC
#else
#define VOXWARPKIT_MODULE_ENTRY extern "C" __attribute__((visibility("default"))) PyObject *
#endif
