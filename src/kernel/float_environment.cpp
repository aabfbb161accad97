#include "kernel/float_environment.h"

#if defined(__x86_64__) || defined(_M_X64)

#include <xmmintrin.h>

namespace {
// Every exception masked, round to nearest, FTZ and DAZ off, no flag raised.
constexpr unsigned int default_mxcsr = 0x1F80;
}  // namespace

ieee_default_environment::ieee_default_environment() : caller_mxcsr(_mm_getcsr())
{
    _mm_setcsr(default_mxcsr);
}

ieee_default_environment::~ieee_default_environment()
{
    _mm_setcsr(caller_mxcsr);
}

#elif defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))

namespace {

uint64_t read_fpcr()
{
    uint64_t value;
    __asm__ volatile("mrs %0, fpcr" : "=r"(value));
    return value;
}

void write_fpcr(uint64_t value)
{
    __asm__ volatile("msr fpcr, %0" : : "r"(value));
}

uint64_t read_fpsr()
{
    uint64_t value;
    __asm__ volatile("mrs %0, fpsr" : "=r"(value));
    return value;
}

void write_fpsr(uint64_t value)
{
    __asm__ volatile("msr fpsr, %0" : : "r"(value));
}

}  // namespace

// FPCR 0 is IEEE's default: round to nearest, FZ (flush-to-zero), DN (default
// NaN), FZ16 and the alternative-format bits off, every trap disabled.
ieee_default_environment::ieee_default_environment() : caller_fpcr(read_fpcr()), caller_fpsr(read_fpsr())
{
    if (caller_fpcr != 0) {
        write_fpcr(0);
    }
}

ieee_default_environment::~ieee_default_environment()
{
    if (caller_fpcr != 0) {
        write_fpcr(caller_fpcr);
    }
    write_fpsr(caller_fpsr);
}

#else

#if defined(__SSE__) || (defined(_M_IX86_FP) && _M_IX86_FP >= 1)
#include <xmmintrin.h>
#define VOXWARPKIT_HAS_MXCSR 1
#endif

namespace {
#if defined(VOXWARPKIT_HAS_MXCSR)
constexpr unsigned int flush_to_zero = 0x8000;       // MXCSR.FTZ
constexpr unsigned int denormals_are_zero = 0x0040;  // MXCSR.DAZ
#endif
}  // namespace

ieee_default_environment::ieee_default_environment()
{
    std::feholdexcept(&caller);  // saves, clears the flags and masks every exception
    std::fesetround(FE_TONEAREST);
#if defined(VOXWARPKIT_HAS_MXCSR)
    // Outside the C standard's environment: flush-to-zero and denormals-are-zero.
    _mm_setcsr(_mm_getcsr() & ~(flush_to_zero | denormals_are_zero));
#endif
}

ieee_default_environment::~ieee_default_environment()
{
    std::fesetenv(&caller);
}

#endif
