#include "base/cpu.h"
#include "tiers.h"

#include <cpuid.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace kwivel::cpu {

// Lets EXPECT_EQ compare and print whole feature sets.
bool operator==(const Features& a, const Features& b) {
    return a.avx2 == b.avx2 && a.fma == b.fma && a.avx512f == b.avx512f && a.avx512dq == b.avx512dq &&
           a.avx512bw == b.avx512bw && a.avx512vpopcntdq == b.avx512vpopcntdq;
}

void PrintTo(const Features& f, std::ostream* os) {
    std::string s;
    if (f.avx2) s += " avx2";
    if (f.fma) s += " fma";
    if (f.avx512f) s += " avx512f";
    if (f.avx512dq) s += " avx512dq";
    if (f.avx512bw) s += " avx512bw";
    if (f.avx512vpopcntdq) s += " avx512vpopcntdq";
    *os << "{" << (s.empty() ? " none" : s) << " }";
}

}  // namespace kwivel::cpu

namespace {

using kwivel::cpu::decode;
using kwivel::cpu::Features;
using kwivel::cpu::Registers;

constexpr std::uint32_t bit(unsigned n) { return std::uint32_t{1} << n; }

// cpuid(1).ecx
constexpr std::uint32_t FMA = bit(12), OSXSAVE = bit(27), AVX = bit(28);
// cpuid(7, 0).ebx
constexpr std::uint32_t AVX2 = bit(5), AVX512F = bit(16), AVX512DQ = bit(17), AVX512BW = bit(30);
// cpuid(7, 0).ecx
constexpr std::uint32_t VPOPCNTDQ = bit(14);
// XCR0 state components: x87, SSE, AVX, opmask, ZMM_Hi256, Hi16_ZMM.
constexpr std::uint64_t X87 = 1, XMM = 2, YMM = 4, OPMASK = 32, ZMM_HI256 = 64, HI16_ZMM = 128;
constexpr std::uint64_t XCR0_AVX = X87 | XMM | YMM;
constexpr std::uint64_t XCR0_AVX512 = XCR0_AVX | OPMASK | ZMM_HI256 | HI16_ZMM;

Features make(bool avx2, bool fma, bool f, bool dq, bool bw, bool vpopcntdq) {
    Features r;
    r.avx2 = avx2;
    r.fma = fma;
    r.avx512f = f;
    r.avx512dq = dq;
    r.avx512bw = bw;
    r.avx512vpopcntdq = vpopcntdq;
    return r;
}

const Features NONE = make(false, false, false, false, false, false);
const Features AVX2_FMA = make(true, true, false, false, false, false);
const Features ALL = make(true, true, true, true, true, true);

// A processor with every feature, on an OS that saves all vector state.
Registers everything() {
    Registers r;
    r.max_leaf = 0x1f;
    r.leaf1_ecx = OSXSAVE | AVX | FMA;
    r.leaf7_ebx = AVX2 | AVX512F | AVX512DQ | AVX512BW;
    r.leaf7_ecx = VPOPCNTDQ;
    r.xcr0 = XCR0_AVX512;
    return r;
}

// ---------------------------------------------------------------------------
// Feature bits, with the OS side fully enabled.

struct BitsCase {
    const char* name;
    std::uint32_t leaf1_ecx;  // besides OSXSAVE | AVX
    std::uint32_t leaf7_ebx;
    std::uint32_t leaf7_ecx;
    Features expected;
};

void PrintTo(const BitsCase& c, std::ostream* os) { *os << c.name; }

class FeatureBits : public testing::TestWithParam<BitsCase> {};

TEST_P(FeatureBits, DecodeReportsExactlyTheseFeatures) {
    const BitsCase& c = GetParam();
    Registers r;
    r.max_leaf = 7;
    r.leaf1_ecx = OSXSAVE | AVX | c.leaf1_ecx;
    r.leaf7_ebx = c.leaf7_ebx;
    r.leaf7_ecx = c.leaf7_ecx;
    r.xcr0 = XCR0_AVX512;
    EXPECT_EQ(decode(r), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Alone, FeatureBits,
    testing::Values(
        BitsCase{"none", 0, 0, 0, NONE},
        BitsCase{"avx2", 0, AVX2, 0, make(true, false, false, false, false, false)},
        BitsCase{"fma", FMA, 0, 0, make(false, true, false, false, false, false)},
        BitsCase{"avx512f", 0, AVX512F, 0, make(false, false, true, false, false, false)},
        // The AVX-512 extensions mean nothing without the foundation.
        BitsCase{"dq_without_f", 0, AVX512DQ, 0, NONE},
        BitsCase{"bw_without_f", 0, AVX512BW, 0, NONE},
        BitsCase{"vpopcntdq_without_f", 0, 0, VPOPCNTDQ, NONE},
        BitsCase{"dq", 0, AVX512F | AVX512DQ, 0, make(false, false, true, true, false, false)},
        BitsCase{"bw", 0, AVX512F | AVX512BW, 0, make(false, false, true, false, true, false)},
        BitsCase{"vpopcntdq", 0, AVX512F, VPOPCNTDQ, make(false, false, true, false, false, true)},
        // AVX-512 without AVX2 (not a real part, but nothing ties them).
        BitsCase{"avx512_without_avx2", FMA, AVX512F | AVX512DQ | AVX512BW, VPOPCNTDQ,
                 make(false, true, true, true, true, true)},
        BitsCase{"all", FMA, AVX2 | AVX512F | AVX512DQ | AVX512BW, VPOPCNTDQ, ALL}),
    [](const auto& info) { return std::string(info.param.name); });

// Every bit of the feature registers set except one feature's own: that
// feature (and what depends on it) must be off, everything else on.  Reading
// a neighbouring bit by mistake shows up here.
struct MissingBitCase {
    const char* name;
    std::uint32_t Registers::*reg;
    std::uint32_t cleared;
    Features expected;
};

void PrintTo(const MissingBitCase& c, std::ostream* os) { *os << c.name; }

class MissingBit : public testing::TestWithParam<MissingBitCase> {};

TEST_P(MissingBit, OnlyThatFeatureAndItsDependentsGoAway) {
    const MissingBitCase& c = GetParam();
    Registers r = everything();
    r.leaf1_ecx = ~std::uint32_t{0};
    r.leaf7_ebx = ~std::uint32_t{0};
    r.leaf7_ecx = ~std::uint32_t{0};
    r.*c.reg &= ~c.cleared;
    EXPECT_EQ(decode(r), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    AllOthersSet, MissingBit,
    testing::Values(
        MissingBitCase{"nothing", &Registers::leaf1_ecx, 0, ALL},
        MissingBitCase{"avx2", &Registers::leaf7_ebx, AVX2, make(false, true, true, true, true, true)},
        MissingBitCase{"fma", &Registers::leaf1_ecx, FMA, make(true, false, true, true, true, true)},
        MissingBitCase{"avx512f", &Registers::leaf7_ebx, AVX512F, AVX2_FMA},
        MissingBitCase{"avx512dq", &Registers::leaf7_ebx, AVX512DQ, make(true, true, true, false, true, true)},
        MissingBitCase{"avx512bw", &Registers::leaf7_ebx, AVX512BW, make(true, true, true, true, false, true)},
        MissingBitCase{"vpopcntdq", &Registers::leaf7_ecx, VPOPCNTDQ, make(true, true, true, true, true, false)},
        MissingBitCase{"osxsave", &Registers::leaf1_ecx, OSXSAVE, NONE},
        MissingBitCase{"avx", &Registers::leaf1_ecx, AVX, NONE}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Register state the OS has (not) enabled, with every cpuid feature bit set.

struct OsStateCase {
    const char* name;
    std::uint32_t leaf1_ecx;
    std::uint64_t xcr0;
    Features expected;
};

void PrintTo(const OsStateCase& c, std::ostream* os) { *os << c.name; }

class OsState : public testing::TestWithParam<OsStateCase> {};

TEST_P(OsState, FeaturesNeedTheirRegisterStateEnabled) {
    const OsStateCase& c = GetParam();
    Registers r = everything();
    r.leaf1_ecx = c.leaf1_ecx;
    r.xcr0 = c.xcr0;
    EXPECT_EQ(decode(r), c.expected);
}

constexpr std::uint32_t OS_BITS = OSXSAVE | AVX | FMA;

INSTANTIATE_TEST_SUITE_P(
    Xcr0, OsState,
    testing::Values(
        OsStateCase{"all_state", OS_BITS, XCR0_AVX512, ALL},
        // Later state components (AMX tiles, PKRU, ...) change nothing.
        OsStateCase{"extra_components", OS_BITS, XCR0_AVX512 | 0x200 | 0x60000 | (1ull << 62), ALL},
        OsStateCase{"ymm_only", OS_BITS, XCR0_AVX, AVX2_FMA},
        OsStateCase{"no_opmask", OS_BITS, XCR0_AVX512 & ~OPMASK, AVX2_FMA},
        OsStateCase{"no_zmm_hi256", OS_BITS, XCR0_AVX512 & ~ZMM_HI256, AVX2_FMA},
        OsStateCase{"no_hi16_zmm", OS_BITS, XCR0_AVX512 & ~HI16_ZMM, AVX2_FMA},
        OsStateCase{"no_ymm", OS_BITS, XCR0_AVX512 & ~YMM, NONE},
        OsStateCase{"no_xmm", OS_BITS, XCR0_AVX512 & ~XMM, NONE},
        OsStateCase{"x87_only", OS_BITS, X87, NONE},
        OsStateCase{"xcr0_zero", OS_BITS, 0, NONE},
        // Without OSXSAVE, xcr0 is not to be trusted whatever it holds.
        OsStateCase{"no_osxsave", AVX | FMA, XCR0_AVX512, NONE},
        OsStateCase{"no_avx_bit", OSXSAVE | FMA, XCR0_AVX512, NONE}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Leaf 7 is only read from processors that report it.

class MaxLeaf : public testing::TestWithParam<std::uint32_t> {};

TEST_P(MaxLeaf, Leaf7CountsOnlyWhenReported) {
    Registers r = everything();
    r.max_leaf = GetParam();
    // FMA lives in leaf 1 and stays.
    EXPECT_EQ(decode(r), r.max_leaf >= 7 ? ALL : make(false, true, false, false, false, false));
}

INSTANTIATE_TEST_SUITE_P(Values, MaxLeaf, testing::Values(1u, 4u, 6u, 7u, 0xdu, 0x20u));

// ---------------------------------------------------------------------------
// The running processor.

TEST(Probe, RegistersAreReadConsistently) {
    const Registers a = kwivel::cpu::read_registers();
    const Registers b = kwivel::cpu::read_registers();
    EXPECT_EQ(a.max_leaf, b.max_leaf);
    EXPECT_EQ(a.leaf1_ecx, b.leaf1_ecx);
    EXPECT_EQ(a.leaf7_ebx, b.leaf7_ebx);
    EXPECT_EQ(a.leaf7_ecx, b.leaf7_ecx);
    EXPECT_EQ(a.xcr0, b.xcr0);
    // Every x86-64 processor has leaf 1 (and SSE3 at least on anything this
    // runs on: bit 0 of leaf1 ecx).
    EXPECT_GE(a.max_leaf, 1u);
    EXPECT_TRUE(a.leaf1_ecx & 1u) << std::hex << a.leaf1_ecx;
    if (a.leaf1_ecx & OSXSAVE) {
        // x87 and SSE state are always enabled when XSAVE is.
        EXPECT_EQ(a.xcr0 & (X87 | XMM), X87 | XMM) << std::hex << a.xcr0;
    } else {
        EXPECT_EQ(a.xcr0, 0u);
    }
    if (a.max_leaf < 7) {
        EXPECT_EQ(a.leaf7_ebx, 0u);
        EXPECT_EQ(a.leaf7_ecx, 0u);
    }
}

// Each register comes from the leaf, subleaf and output register it names.
TEST(Probe, RegistersMatchRawCpuid) {
    const Registers r = kwivel::cpu::read_registers();
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(0, eax, ebx, ecx, edx);
    EXPECT_EQ(r.max_leaf, eax);
    __cpuid(1, eax, ebx, ecx, edx);
    EXPECT_EQ(r.leaf1_ecx, ecx);
    if (r.max_leaf >= 7) {
        __cpuid_count(7, 0, eax, ebx, ecx, edx);
        EXPECT_EQ(r.leaf7_ebx, ebx);
        EXPECT_EQ(r.leaf7_ecx, ecx);
    }
}

TEST(Probe, FeaturesAreCachedAndMatchDecode) {
    const Features& first = kwivel::cpu::features();
    const Features& second = kwivel::cpu::features();
    EXPECT_EQ(&first, &second);
    EXPECT_EQ(first, decode(kwivel::cpu::read_registers()));
}

// libgcc makes the same decision from its own probe (cpuid plus xgetbv):
// an independent check of what read_registers() and decode() conclude.
TEST(Probe, AgreesWithCompilerRuntime) {
    __builtin_cpu_init();
    const Features& f = kwivel::cpu::features();
    EXPECT_EQ(f.avx2, __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(f.fma, __builtin_cpu_supports("fma") != 0);
    EXPECT_EQ(f.avx512f, __builtin_cpu_supports("avx512f") != 0);
    if (f.avx512f) {
        EXPECT_EQ(f.avx512dq, __builtin_cpu_supports("avx512dq") != 0);
        EXPECT_EQ(f.avx512bw, __builtin_cpu_supports("avx512bw") != 0);
        EXPECT_EQ(f.avx512vpopcntdq, __builtin_cpu_supports("avx512vpopcntdq") != 0);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// The tier ladder: a pure decision on made-up feature sets.

#include "kernels/dispatch.h"

namespace {

using kwivel::Tier;

Features with(std::initializer_list<bool Features::*> on) {
    Features f;
    for (bool Features::*m : on) f.*m = true;
    return f;
}

TEST(TierLadder, DecodeReadsPopcntAndVl) {
    Registers r = everything();
    EXPECT_FALSE(decode(r).popcnt);
    EXPECT_FALSE(decode(r).avx512vl);
    r.leaf1_ecx |= bit(23);
    r.leaf7_ebx |= bit(31);
    EXPECT_TRUE(decode(r).popcnt);
    EXPECT_TRUE(decode(r).avx512vl);
    r.leaf7_ebx &= ~AVX512F;  // VL means nothing without the foundation
    EXPECT_FALSE(decode(r).avx512vl);
}

TEST(TierLadder, BestTierOfFeatureSets) {
    using F = Features;
    const auto avx2 = {&F::avx2, &F::fma, &F::popcnt};
    const auto avx512 = {&F::avx2, &F::fma, &F::popcnt, &F::avx512f, &F::avx512dq, &F::avx512bw, &F::avx512vl};
    EXPECT_EQ(kwivel::best_tier(F{}), Tier::portable);
    EXPECT_EQ(kwivel::best_tier(with(avx2)), Tier::avx2);
    EXPECT_EQ(kwivel::best_tier(with({&F::avx2, &F::fma})), Tier::portable);
    EXPECT_EQ(kwivel::best_tier(with({&F::avx2, &F::popcnt})), Tier::portable);
    EXPECT_EQ(kwivel::best_tier(with(avx512)), Tier::avx512);
    for (bool F::*missing : {&F::avx512f, &F::avx512dq, &F::avx512bw, &F::avx512vl}) {
        F f = with(avx512);
        f.*missing = false;
        f.avx512vpopcntdq = true;
        EXPECT_EQ(kwivel::best_tier(f), Tier::avx2);
    }
    F all = with(avx512);
    all.avx512vpopcntdq = true;
    EXPECT_EQ(kwivel::best_tier(all), Tier::avx512_vpopcnt);
    all.avx2 = false;  // AVX-512 without AVX2 is not a rung of the ladder
    EXPECT_EQ(kwivel::best_tier(all), Tier::portable);
}

TEST(TierLadder, CapFromTheEnvironmentValue) {
    for (Tier best : kwivel::tiers::all_tiers()) {
        EXPECT_EQ(kwivel::capped_tier(best, nullptr), best);
        for (Tier cap : kwivel::tiers::all_tiers())
            EXPECT_EQ(kwivel::capped_tier(best, kwivel::tier_name(cap)), std::min(best, cap));
    }
    for (const char* bad : {"", "AVX2", "avx512vpopcnt", "sse4"}) {
        try {
            kwivel::capped_tier(Tier::avx2, bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const kwivel::ConfigError& e) {
            EXPECT_EQ(std::string(e.what()), std::string("kwivel: KWIVEL_MAX_TIER=\"") + bad +
                                                 "\" is not a tier; expected one of portable, avx2, avx512, "
                                                 "avx512_vpopcnt");
        }
    }
}

// One test per tier: a tier this machine (or KWIVEL_MAX_TIER) does not run
// is reported as skipped, never silently left out of the kernel tests.
class TierRuns : public testing::TestWithParam<Tier> {};

TEST_P(TierRuns, TableIsCompleteAndInheritsBelow) {
    const Tier t = GetParam();
    if (t > kwivel::active_tier()) GTEST_SKIP() << "this machine does not run the " << kwivel::tier_name(t) << " tier";
    const kwivel::KernelTable& k = kwivel::kernel_table(t);
    EXPECT_EQ(k.tier, t);
    EXPECT_NE(k.rank_sym_group, nullptr);
    EXPECT_NE(k.rank_sym_group_wide, nullptr);
    EXPECT_NE(k.rank_asym_fill, nullptr);
    EXPECT_NE(k.rank_asym_group, nullptr);
    EXPECT_NE(k.rank_asym_bounds, nullptr);
    for (auto* scan : k.quant_table_scan) EXPECT_NE(scan, nullptr);
    // The vector-only steps: from avx2 (avx512 for the gather) on.
    EXPECT_EQ(k.quant_int_scan != nullptr, t >= Tier::avx2);
    for (const auto& steps : k.quant_asym) {
        EXPECT_EQ(steps.unpack != nullptr && steps.group != nullptr && steps.group_size > 0, t >= Tier::avx2);
    }
    EXPECT_EQ(k.quant_b8_gather != nullptr, t >= Tier::avx512);
    EXPECT_NE(k.eval_group, nullptr);
    EXPECT_GT(k.eval_group_size, 0u);
    for (auto* scan : k.popcount_collect) EXPECT_NE(scan, nullptr);
    for (auto* scan : k.popcount_collect8) EXPECT_NE(scan, nullptr);
    EXPECT_NE(k.top_bits, nullptr);
    EXPECT_NE(k.sign_words, nullptr);
    // Dimensions past int16 have one implementation, inherited by every tier.
    EXPECT_EQ(k.rank_sym_group_wide, kwivel::kernel_table(Tier::portable).rank_sym_group_wide);
}

INSTANTIATE_TEST_SUITE_P(Ladder, TierRuns, testing::ValuesIn(kwivel::tiers::all_tiers()),
                         [](const auto& info) { return std::string(kwivel::tier_name(info.param)); });

}  // namespace
