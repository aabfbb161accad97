#ifndef VOXWARPKIT_FLOAT_ENVIRONMENT_H
#define VOXWARPKIT_FLOAT_ENVIRONMENT_H

#include <cfenv>
#include <cstdint>

// For the lifetime of this object the thread computes under IEEE 754's default
// environment: round to nearest, ties to even; subnormals neither flushed to
// zero nor read as zero; NaNs propagated, not replaced by a default one; every
// exception masked. A caller may have changed any of these (a library built
// with fast-math sets flush-to-zero for the whole process), and each would
// change results. The caller's settings and status flags come back on
// destruction. Only the registers the guard changes are saved: on x86-64 the
// SSE control and status register, on ARM64 FPCR and FPSR; on 32-bit x86 the
// x87 environment too, since floats returned from functions pass through it.
struct ieee_default_environment {
    ieee_default_environment();
    ~ieee_default_environment();
    ieee_default_environment(const ieee_default_environment &) = delete;
    ieee_default_environment &operator=(const ieee_default_environment &) = delete;

#if defined(__x86_64__) || defined(_M_X64)
    unsigned int caller_mxcsr;
#elif defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
    uint64_t caller_fpcr;
    uint64_t caller_fpsr;
#else
    std::fenv_t caller;
#endif
};

#endif
