// Target regions for the instruction-set tiers.
//
// The library is built for baseline x86-64.  An ISA file brackets its step
// kernels with KW_TARGET_<TIER>_BEGIN / _END, which compiles just those
// functions for the tier's instruction sets (GCC's target pragma; clang
// ignores it and needs its attribute push).  Headers are included before the
// region, so shared inline code stays baseline and no ISA code leaks into
// it; per-file -m flags would do exactly that.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#define KW_X86 1
#include <immintrin.h>
#endif

#define KW_ISA_AVX2 "avx2,fma,popcnt"
#define KW_ISA_AVX512 KW_ISA_AVX2 ",avx512f,avx512dq,avx512bw,avx512vl"
#define KW_ISA_AVX512_VPOPCNT KW_ISA_AVX512 ",avx512vpopcntdq"

#define KW_PRAGMA(x) _Pragma(#x)
// GCC 12 reports the deliberately undefined pass-through operand of the
// unmasked AVX-512 intrinsics (_mm512_undefined_*) as uninitialised; the
// AVX-512 regions silence that report, and only inside the region.
#if defined(__clang__)
#define KW_TARGET_BEGIN(isa) KW_PRAGMA(clang attribute push(__attribute__((target(isa))), apply_to = function))
#define KW_TARGET_END KW_PRAGMA(clang attribute pop)
#define KW_QUIET_UNDEFINED_OPERANDS
#else
#define KW_TARGET_BEGIN(isa) _Pragma("GCC push_options") KW_PRAGMA(GCC target(isa)) _Pragma("GCC diagnostic push")
#define KW_TARGET_END _Pragma("GCC diagnostic pop") _Pragma("GCC pop_options")
#define KW_QUIET_UNDEFINED_OPERANDS \
    _Pragma("GCC diagnostic ignored \"-Wuninitialized\"") _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"")
#endif

#define KW_TARGET_AVX2_BEGIN KW_TARGET_BEGIN(KW_ISA_AVX2)
#define KW_TARGET_AVX512_BEGIN KW_TARGET_BEGIN(KW_ISA_AVX512) KW_QUIET_UNDEFINED_OPERANDS
#define KW_TARGET_AVX512_VPOPCNT_BEGIN KW_TARGET_BEGIN(KW_ISA_AVX512_VPOPCNT) KW_QUIET_UNDEFINED_OPERANDS
