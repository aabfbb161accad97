#ifndef VOXWARPKIT_FLOAT_BUFFER_H
#define VOXWARPKIT_FLOAT_BUFFER_H

#include <cstddef>

// A float buffer of `count` floats from malloc (released with free), or null.
// Asks for at least one byte, since malloc(0) may return null. Large buffers
// are offered to the OS for huge pages, which makes filling them fault once
// per 2 MiB instead of once per 4 KiB.
float *allocate_float_buffer(size_t count);

// The same, filled with zeros. calloc knows when fresh pages from the OS are
// zero already and then writes nothing, where malloc and memset would touch
// every page twice.
float *allocate_zeroed_float_buffer(size_t count);

#endif
