// SBC_WIDEST_VECTORS: compile a function once per instruction set (AVX-512F, AVX2 and the
// baseline) and let the loader pick the widest one this processor runs, so that one binary
// runs on every x86-64. For the element-wise stages, whose loops the compiler vectorises:
// every element is computed alone and in the written order (no reassociation, no contraction:
// -ffp-contract=off), so all copies give the same bits. Bodies they call must be inlined into
// them (SBC_INLINE) to be compiled for the chosen instruction set.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define SBC_WIDEST_VECTORS __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define SBC_WIDEST_VECTORS
#endif
#define SBC_INLINE inline __attribute__((always_inline))
