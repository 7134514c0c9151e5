#pragma once

// Byte loops that run over every pixel of a frame are compiled twice on x86-64: once for AVX2 and
// once for the baseline. The kernel is chosen at its first call, not by a load-time resolver: a
// resolver runs during relocation, before a sanitizer's runtime exists, and crashes the program
// when the sanitizer instruments it. Elsewhere the loops are compiled once.
//
//   QUELLON_VECTOR_KERNEL(name, (parameters...), (arguments...))
// after `name##Kernel`, an always-inline function with those parameters, defines `name` itself.
#if defined(__x86_64__) && defined(__GNUC__)

/// Whether AVX2 kernels (written with intrinsics too) are built, to be chosen by hasAVX2().
#define QUELLON_HAS_AVX2_KERNELS 1

namespace quellon::vector_kernels {

/// Whether this CPU runs the AVX2 kernels; asked once.
inline bool hasAVX2()
{
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}

} // namespace quellon::vector_kernels

#define QUELLON_KERNEL_BODY __attribute__((always_inline)) inline
#define QUELLON_VECTOR_KERNEL(name, parameters, arguments)                                                   \
    __attribute__((target("avx2"))) void name##AVX2 parameters { name##Kernel arguments; }                  \
    void name parameters                                                                                       \
    {                                                                                                          \
        if (::quellon::vector_kernels::hasAVX2())                                                             \
            name##AVX2 arguments;                                                                              \
        else                                                                                                   \
            name##Kernel arguments;                                                                            \
    }

#else

#define QUELLON_HAS_AVX2_KERNELS 0
#define QUELLON_KERNEL_BODY inline
#define QUELLON_VECTOR_KERNEL(name, parameters, arguments)                                                   \
    void name parameters { name##Kernel arguments; }

#endif
