// Running kernel tests on every tier of the ladder.
//
// A kernel test is parameterised over all_tiers() and skips a tier this
// process does not run with GTEST_SKIP, or loops over runnable_tiers()
// (portable up to the tier this process runs); the TierRuns suite in
// test_cpu.cpp then reports each missing tier as a skipped test.  Either way
// a missing tier is never a silent drop.
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
