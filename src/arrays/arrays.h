#ifndef VOXWARPKIT_ARRAYS_H
#define VOXWARPKIT_ARRAYS_H

#include <Python.h>
#include "bindings/numpy_api.h"  // numpy's types with the module's one API table

// Numpy arrays <-> float buffers. Every function reads only the data pointer,
// the lengths and byte strides of the axes it uses, the element type and its
// byte order, so any strided view works; none asks numpy to cast or copy.
// Float buffers come from malloc, hold elements in C order of their logical
// indices, and are released by their owner with free.

// Reads the elements along axis 0 (index 0 on any later axis) into a new
// buffer of length(axis 0) floats, or returns null with a Python error set.
float *array2float(PyArrayObject *array);

// Reads a rank-3 array into a new buffer of d0*d1*d2 floats, or returns null
// with a Python error set.
float *array2float3d(PyArrayObject *array);

// Reads a rank-4 array into a new buffer of d0*d1*d2*d3 floats, or returns
// null with a Python error set.
float *array2float4d(PyArrayObject *array);

// Reads a rank-4 array of any boolean, integer or floating element type of up
// to 64 bits into a new buffer of d0*d1*d2*d3 floats: exactly where float32
// holds the value, otherwise rounded once to the nearest float. Returns null
// with a Python error set.
float *anyarray2float4d(PyArrayObject *array);

// Writes the buffer into the rank-3 `array`, converting to its element type;
// returns 0, or 1 (nothing written, no Python error) for an unsupported type.
int float2array3d(const float *buffer, PyArrayObject *array);

// Writes the buffer into the rank-4 `array`, converting to its element type;
// returns 0, or 1 (nothing written, no Python error) for an unsupported type.
int float2array4d(const float *buffer, PyArrayObject *array);

#endif
