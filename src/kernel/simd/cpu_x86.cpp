// Processor features, for choosing a kernel variant. An instruction set is
// usable only when the CPU has it and the OS saves its registers on a context
// switch (XGETBV), or its first use would fault or corrupt state.

#include "kernel/simd/cpu_x86.h"

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#define VOXWARPKIT_X86 1
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace {

#if defined(VOXWARPKIT_X86)

struct cpuid_registers {
    uint32_t eax, ebx, ecx, edx;
};

// A leaf above the highest the processor has returns another leaf's data (or
// garbage), so both paths ask for the highest of its range first.
cpuid_registers cpuid(uint32_t leaf, uint32_t subleaf)
{
    cpuid_registers r{};
#if defined(_MSC_VER)
    int values[4];
    __cpuid(values, static_cast<int>(leaf & 0x80000000u));
    if (leaf > static_cast<uint32_t>(values[0])) {
        return r;
    }
    __cpuidex(values, static_cast<int>(leaf), static_cast<int>(subleaf));
    r = {static_cast<uint32_t>(values[0]), static_cast<uint32_t>(values[1]), static_cast<uint32_t>(values[2]),
         static_cast<uint32_t>(values[3])};
#else
    if (leaf > __get_cpuid_max(leaf & 0x80000000u, nullptr)) {
        return r;
    }
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
#endif
    return r;
}

// XCR0: which register states the OS saves.
uint64_t enabled_register_states()
{
#if defined(_MSC_VER)
    return _xgetbv(0);
#else
    uint32_t low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<uint64_t>(high) << 32) | low;
#endif
}

constexpr uint64_t xmm_ymm_state = 0x6;     // SSE and AVX registers
constexpr uint64_t zmm_state = 0xE0;        // opmask, upper ZMM0-15, ZMM16-31
constexpr uint32_t osxsave_bit = 1u << 27;  // leaf 1, ECX
constexpr uint32_t avx_bit = 1u << 28;      // leaf 1, ECX
constexpr uint32_t avx2_bit = 1u << 5;      // leaf 7, EBX
constexpr uint32_t avx512f_bit = 1u << 16;  // leaf 7, EBX

bool avx_state_enabled(uint64_t *states)
{
    const cpuid_registers leaf1 = cpuid(1, 0);
    if ((leaf1.ecx & osxsave_bit) == 0 || (leaf1.ecx & avx_bit) == 0) {
        return false;
    }
    *states = enabled_register_states();
    return (*states & xmm_ymm_state) == xmm_ymm_state;
}

#endif

}  // namespace

bool cpu_supports_avx2()
{
#if defined(VOXWARPKIT_X86)
    uint64_t states = 0;
    return avx_state_enabled(&states) && (cpuid(7, 0).ebx & avx2_bit) != 0;
#else
    return false;
#endif
}

bool cpu_supports_avx512()
{
#if defined(VOXWARPKIT_X86)
    uint64_t states = 0;
    if (!avx_state_enabled(&states) || (states & zmm_state) != zmm_state) {
        return false;
    }
    const uint32_t ebx = cpuid(7, 0).ebx;
    return (ebx & avx2_bit) != 0 && (ebx & avx512f_bit) != 0;
#else
    return false;
#endif
}
