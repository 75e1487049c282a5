#pragma once
// ORVEX_VECTOR_CLONES marks a function whose loops are vectorised: it is compiled for
// AVX-512, for AVX2 and for the baseline processor, and the loader picks the widest
// clone the processor runs. Use it only where every lane's arithmetic is element-wise
// (no sums across lanes); floating-point operations are never fused here, so every
// clone gives the same bits.

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define ORVEX_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define ORVEX_VECTOR_CLONES
#endif
