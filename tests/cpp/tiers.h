// Running kernel tests on every tier of the ladder.
//
// A kernel test loops over runnable_tiers() (portable up to the tier this
// process runs); the TierLadder suite in test_cpu.cpp reports each tier the
// machine lacks as a skipped test, so a missing tier is never a silent drop.
#pragma once

#include <string>
#include <vector>

#include "kernels/dispatch.h"

namespace kwivel::tiers {

inline std::vector<Tier> all_tiers() {
    return {Tier::portable, Tier::avx2, Tier::avx512, Tier::avx512_vpopcnt};
}

inline std::string tier_label(Tier t) { return tier_name(t); }

}  // namespace kwivel::tiers
