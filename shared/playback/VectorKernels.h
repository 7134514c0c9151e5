#pragma once

// Byte loops that run over every pixel of a frame are compiled twice on x86-64: once for AVX2 and
// once for the baseline, picked at load time by the CPU's abilities. Elsewhere they are compiled
// once.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define QUELLON_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QUELLON_VECTOR_CLONES
#endif
