#include "base/cpu.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace kwivel::cpu {

namespace {

constexpr bool bit(std::uint64_t value, unsigned n) { return (value >> n) & 1u; }

// cpuid(1).ecx
constexpr unsigned kFma = 12;
constexpr unsigned kPopcnt = 23;
constexpr unsigned kOsxsave = 27;
constexpr unsigned kAvx = 28;
// cpuid(7, 0).ebx
constexpr unsigned kAvx2 = 5;
constexpr unsigned kAvx512F = 16;
constexpr unsigned kAvx512DQ = 17;
constexpr unsigned kAvx512BW = 30;
constexpr unsigned kAvx512VL = 31;
// cpuid(7, 0).ecx
constexpr unsigned kAvx512Vpopcntdq = 14;

// XCR0 state components the OS must save and restore.
constexpr std::uint64_t kXcr0Ymm = (1u << 1) | (1u << 2);                // SSE, AVX
constexpr std::uint64_t kXcr0Zmm = (1u << 5) | (1u << 6) | (1u << 7);    // opmask, ZMM_Hi256, Hi16_ZMM

#if defined(__x86_64__) || defined(__i386__)
std::uint64_t xgetbv0() {
    std::uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}
#endif

}  // namespace

Features decode(const Registers& regs) {
    const bool os_ymm = bit(regs.leaf1_ecx, kOsxsave) && bit(regs.leaf1_ecx, kAvx) &&
                        (regs.xcr0 & kXcr0Ymm) == kXcr0Ymm;
    const bool os_zmm = os_ymm && (regs.xcr0 & kXcr0Zmm) == kXcr0Zmm;
    // Leaf 7 registers hold garbage (or another leaf's values) on processors
    // that do not report it.
    const bool has_leaf7 = regs.max_leaf >= 7;
    const std::uint32_t ebx7 = has_leaf7 ? regs.leaf7_ebx : 0;
    const std::uint32_t ecx7 = has_leaf7 ? regs.leaf7_ecx : 0;

    Features f;
    f.popcnt = bit(regs.leaf1_ecx, kPopcnt);
    f.avx2 = os_ymm && bit(ebx7, kAvx2);
    f.fma = os_ymm && bit(regs.leaf1_ecx, kFma);
    f.avx512f = os_zmm && bit(ebx7, kAvx512F);
    f.avx512dq = f.avx512f && bit(ebx7, kAvx512DQ);
    f.avx512bw = f.avx512f && bit(ebx7, kAvx512BW);
    f.avx512vl = f.avx512f && bit(ebx7, kAvx512VL);
    f.avx512vpopcntdq = f.avx512f && bit(ecx7, kAvx512Vpopcntdq);
    return f;
}

Registers read_registers() {
    Registers regs;
#if defined(__x86_64__) || defined(__i386__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid_count(0, 0, &eax, &ebx, &ecx, &edx)) return regs;
    regs.max_leaf = eax;
    if (__get_cpuid_count(1, 0, &eax, &ebx, &ecx, &edx)) regs.leaf1_ecx = ecx;
    if (regs.max_leaf >= 7 && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        regs.leaf7_ebx = ebx;
        regs.leaf7_ecx = ecx;
    }
    // xgetbv faults unless the OS has turned XSAVE on.
    if (bit(regs.leaf1_ecx, kOsxsave)) regs.xcr0 = xgetbv0();
#endif
    return regs;
}

const Features& features() {
    static const Features f = decode(read_registers());
    return f;
}

}  // namespace kwivel::cpu
