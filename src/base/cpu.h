// Processor feature probe (cpuid + xgetbv), run once per process.
#pragma once

#include <cstdint>

namespace kwivel::cpu {

struct Features {
    bool popcnt = false;
    bool avx2 = false;
    bool fma = false;
    bool avx512f = false;
    bool avx512dq = false;
    bool avx512bw = false;
    bool avx512vl = false;
    bool avx512vpopcntdq = false;
};

// Raw register values the decision is made from.
struct Registers {
    std::uint32_t max_leaf = 0;      // cpuid(0).eax
    std::uint32_t leaf1_ecx = 0;     // cpuid(1).ecx: FMA (12), POPCNT (23), OSXSAVE (27), AVX (28)
    std::uint32_t leaf7_ebx = 0;     // cpuid(7,0).ebx: AVX2 (5), AVX512F (16), DQ (17), BW (30), VL (31)
    std::uint32_t leaf7_ecx = 0;     // cpuid(7,0).ecx: AVX512_VPOPCNTDQ (14)
    std::uint64_t xcr0 = 0;          // xgetbv(0), meaningful only with OSXSAVE
};

// Pure decision from register values: a feature counts only when the
// operating system has enabled the register state it needs (XMM|YMM for
// AVX2/FMA, plus opmask and ZMM state for AVX-512).
Features decode(const Registers& regs);

// Reads the registers of the running processor.
Registers read_registers();

// The running processor's features, probed on first call and cached.
const Features& features();

}  // namespace kwivel::cpu
