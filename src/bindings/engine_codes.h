#ifndef VOXWARPKIT_ENGINE_CODES_H
#define VOXWARPKIT_ENGINE_CODES_H

// The codes of the engine's enums under the names the package gives them.

#include <Python.h>

// Adds to `module` the dicts METHOD_CODES, EDGE_RULE_CODES, RESULT_TYPE_CODES and
// BLENDING_CODES, each name -> the value the engine's calls take, made from the
// enums themselves so that Python keeps no copy of them; false with the error set
// when one cannot be made.
bool add_engine_codes(PyObject *module);

#endif
