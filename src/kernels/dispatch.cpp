#include "kernels/dispatch.h"

#include <array>
#include <cstdlib>
#include <string>

#include "base/error.h"

namespace kwivel {

// Install functions of the ISA files, one per file.
void install_rank_rows_portable(KernelTable& t);
void install_rank_rows_avx2(KernelTable& t);
void install_rank_portable(KernelTable& t);
void install_quant_portable(KernelTable& t);
void install_rank_avx2(KernelTable& t);
void install_quant_avx2(KernelTable& t);
void install_sign_portable(KernelTable& t);
void install_popcount_portable(KernelTable& t);
void install_popcount_avx2(KernelTable& t);
void install_popcount_avx512_vpopcnt(KernelTable& t);
void install_sliced_portable(KernelTable& t);
void install_sliced_avx2(KernelTable& t);
void install_top_bits_portable(KernelTable& t);
void install_top_bits_avx512(KernelTable& t);
void install_sign_avx2(KernelTable& t);
void install_sign_avx512(KernelTable& t);
void install_eval_portable(KernelTable& t);
void install_quant_asym_avx2(KernelTable& t);
void install_eval_avx2(KernelTable& t);
void install_quant_asym_avx512(KernelTable& t);
void install_eval_avx512(KernelTable& t);

namespace {

using Installer = void (*)(KernelTable&);

// What each tier's files install over the table of the tier below.
const std::vector<Installer>& installers(Tier t) {
    static const std::array<std::vector<Installer>, kTierCount> by_tier = {{
        {install_rank_rows_portable, install_rank_portable, install_quant_portable, install_sign_portable, install_popcount_portable,
         install_sliced_portable, install_eval_portable, install_top_bits_portable},
        {install_rank_rows_avx2, install_rank_avx2, install_quant_avx2, install_sign_avx2, install_popcount_avx2, install_sliced_avx2, install_quant_asym_avx2,
         install_eval_avx2},
        {install_sign_avx512, install_quant_asym_avx512, install_top_bits_avx512, install_eval_avx512},
        {install_popcount_avx512_vpopcnt},
    }};
    return by_tier[static_cast<std::size_t>(t)];
}

constexpr const char* kNames[kTierCount] = {"portable", "avx2", "avx512", "avx512_vpopcnt"};

}  // namespace

const char* tier_name(Tier t) { return kNames[static_cast<std::size_t>(t)]; }

std::optional<Tier> parse_tier(std::string_view name) {
    for (std::size_t i = 0; i < kTierCount; ++i)
        if (name == kNames[i]) return static_cast<Tier>(i);
    return std::nullopt;
}

Tier best_tier(const cpu::Features& f) {
    if (!(f.avx2 && f.fma && f.popcnt)) return Tier::portable;
    if (!(f.avx512f && f.avx512dq && f.avx512bw && f.avx512vl)) return Tier::avx2;
    if (!f.avx512vpopcntdq) return Tier::avx512;
    return Tier::avx512_vpopcnt;
}

Tier capped_tier(Tier best, const char* max_tier) {
    if (!max_tier) return best;
    const std::optional<Tier> cap = parse_tier(max_tier);
    if (!cap) {
        std::string names;
        for (std::size_t i = 0; i < kTierCount; ++i) names += std::string(i ? ", " : "") + kNames[i];
        throw ConfigError("kwivel: KWIVEL_MAX_TIER=\"" + std::string(max_tier) + "\" is not a tier; expected one of " +
                          names);
    }
    return *cap < best ? *cap : best;
}

Tier active_tier() {
    static const Tier t = capped_tier(best_tier(cpu::features()), std::getenv("KWIVEL_MAX_TIER"));
    return t;
}

std::vector<Tier> runnable_tiers() {
    std::vector<Tier> out;
    for (std::size_t i = 0; i <= static_cast<std::size_t>(active_tier()); ++i) out.push_back(static_cast<Tier>(i));
    return out;
}

const KernelTable& kernel_table(Tier t) {
    KW_ASSERT(t <= active_tier(), std::string("kwivel: the ") + tier_name(t) +
                                      " kernels need a processor (and KWIVEL_MAX_TIER) that allows them");
    static const std::array<KernelTable, kTierCount> tables = [] {
        std::array<KernelTable, kTierCount> out{};
        for (std::size_t i = 0; i < kTierCount; ++i) {
            if (i > 0) out[i] = out[i - 1];
            out[i].tier = static_cast<Tier>(i);
            for (Installer install : installers(static_cast<Tier>(i))) install(out[i]);
        }
        return out;
    }();
    return tables[static_cast<std::size_t>(t)];
}

const KernelTable& kernels() { return kernel_table(active_tier()); }

}  // namespace kwivel
