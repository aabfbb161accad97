#ifndef VOXWARPKIT_CPU_X86_H
#define VOXWARPKIT_CPU_X86_H

// What the processor and its OS support, read with CPUID and XGETBV: an
// instruction set is usable only when the CPU has it and the OS saves its
// registers on a context switch. Both are false on any processor but x86.

// True when AVX2 instructions can run on this thread's processor.
bool cpu_supports_avx2();

// True when AVX-512F (and AVX2) instructions can run on this thread's processor.
bool cpu_supports_avx512();

#endif
