#ifndef VOXWARPKIT_FLOAT_BUFFER_H
#define VOXWARPKIT_FLOAT_BUFFER_H

#include <cstddef>
#include <cstdlib>
#include <memory>

// A float buffer of `count` floats from malloc (released with free), or null.
// Asks for at least one byte, since malloc(0) may return null. Large buffers
// are not advised onto huge pages: where memory is churned by other work,
// gathering 2 MiB pages cost more time than the fewer faults saved.
float *allocate_float_buffer(size_t count);

// Releases a float buffer with free.
struct free_deleter {
    void operator()(float *buffer) const { std::free(buffer); }
};

// A float buffer that is released on every return path.
using owned_float_buffer = std::unique_ptr<float, free_deleter>;

#endif
