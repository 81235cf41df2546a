// VELA_SIMD_CLONES: entry points compiled twice on x86-64 with GCC, for the baseline ISA and for
// AVX2 with FMA, chosen once at load time by the CPU's features; the kernels are inlined into each
// clone (flatten) so that the whole loop nest uses the wider registers. Defining VELA_SIMD_CLONES
// empty on the command line builds the baseline code alone.
#pragma once

#ifndef VELA_SIMD_CLONES
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define VELA_SIMD_CLONES __attribute__((target_clones("arch=x86-64-v3", "default"), flatten))
#else
#define VELA_SIMD_CLONES
#endif
#endif
