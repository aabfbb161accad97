#include "float_environment.h"

#if defined(__SSE__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 1)
#include <xmmintrin.h>
#define VOXWARP_HAS_MXCSR 1
#endif

namespace {

#if defined(VOXWARP_HAS_MXCSR)
constexpr unsigned int flush_to_zero = 0x8000;      // MXCSR.FTZ
constexpr unsigned int denormals_are_zero = 0x0040; // MXCSR.DAZ
#endif

}  // namespace

ieee_default_environment::ieee_default_environment()
{
    std::feholdexcept(&caller);  // saves, clears the flags and masks every exception
    std::fesetround(FE_TONEAREST);
#if defined(VOXWARP_HAS_MXCSR)
    // Outside the C standard's environment: flush-to-zero and denormals-are-zero.
    _mm_setcsr(_mm_getcsr() & ~(flush_to_zero | denormals_are_zero));
#endif
}

ieee_default_environment::~ieee_default_environment()
{
    std::fesetenv(&caller);
}
