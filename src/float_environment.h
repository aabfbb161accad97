#ifndef VOXWARPKIT_FLOAT_ENVIRONMENT_H
#define VOXWARPKIT_FLOAT_ENVIRONMENT_H

#include <cfenv>

// For the lifetime of this object the thread computes under IEEE 754's default
// environment: round to nearest, ties to even; subnormals neither flushed to
// zero nor read as zero; every exception masked. A caller may have changed
// any of these (a library built with fast-math sets flush-to-zero for the
// whole process), and each would change results. The caller's environment,
// status flags included, is restored on destruction, on every return path.
struct ieee_default_environment {
    ieee_default_environment();
    ~ieee_default_environment();
    ieee_default_environment(const ieee_default_environment &) = delete;
    ieee_default_environment &operator=(const ieee_default_environment &) = delete;

    std::fenv_t caller;
};

#endif
