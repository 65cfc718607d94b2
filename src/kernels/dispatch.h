// The tier ladder and the kernel table.
//
// Every kernel of the library belongs to one tier of a single ladder:
//
//   portable < avx2 < avx512 < avx512_vpopcnt
//
// portable is baseline x86-64 (or any other machine); avx2 needs AVX2, FMA
// and POPCNT; avx512 adds AVX-512 F, DQ, BW and VL; avx512_vpopcnt adds
// VPOPCNTDQ.  best_tier() is a pure function of the feature set, tested on
// made-up register values like cpu::decode.
//
// KWIVEL_MAX_TIER (one of the tier names) caps the tier for the whole
// process, so users can pin results or work around a processor and tests can
// run every lower tier.  A cap above what the processor has is just the
// processor's best tier; an unknown value is a ConfigError that names the
// accepted values.
//
// The kernel table of a tier is the table of the tier below plus what the
// tier's ISA files install, so a tier with no kernel of its own for some job
// inherits the one below.  The portable table fills every entry.  Each ISA
// file (kernels/<tier>/*.cpp) has one shape: includes, a target region with
// its step kernels, the instantiation of a shared driver template, and one
// install function, listed in dispatch.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "base/cpu.h"

namespace kwivel {

class RankIndex;
class RankQuantIndex;
class TopK;
struct SearchResult;

enum class Tier : std::uint8_t { portable = 0, avx2 = 1, avx512 = 2, avx512_vpopcnt = 3 };
inline constexpr std::size_t kTierCount = 4;

const char* tier_name(Tier t);
std::optional<Tier> parse_tier(std::string_view name);

// A bad setting in the environment (reported to Python as ValueError).
struct ConfigError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// The highest tier a feature set runs.
Tier best_tier(const cpu::Features& f);
// `best` capped by the value of KWIVEL_MAX_TIER (null: no cap).
Tier capped_tier(Tier best, const char* max_tier);
// The tier this process runs: the processor's best under the cap (probed
// and read once).
Tier active_tier();
// portable up to active_tier(), in ladder order.
std::vector<Tier> runnable_tiers();

namespace kern {
struct SymScan;
struct AsymScan;
struct EvalScan;
}  // namespace kern

struct KernelTable {
    Tier tier = Tier::portable;

    // --- Rank searches (kernels/rank_scan.h): whole searches of all queries.
    void (*rank_symmetric)(const kern::SymScan&, const float* queries, std::size_t nq,
                           std::size_t k_eff, SearchResult& out) = nullptr;
    // Dimensions past the int16 range of the symmetric kernels.
    void (*rank_symmetric_wide)(const kern::SymScan&, const float* queries, std::size_t nq,
                                std::size_t k_eff, SearchResult& out) = nullptr;
    void (*rank_asymmetric)(const kern::AsymScan&, const float* queries, std::size_t nq,
                            std::size_t k_eff, SearchResult& out) = nullptr;

    // --- RankQuant symmetric search (kernels/quant_scan.h).
    // Single-query scans by code width: [0] 1 bit, [1] 2, [2] 4, [3] 8.
    using QuantScanFn = void (*)(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                                 const float* table, float scale, TopK& topk);
    QuantScanFn quant_scan[4] = {};
    // Search of nq query rows over a 1-, 2- or 4-bit index, filling out.
    void (*quant_search)(const RankQuantIndex&, const float* queries, std::size_t nq, float scale,
                         SearchResult& out) = nullptr;

    // --- RankQuant asymmetric search (kernels/quant_asym.h).
    // Vector paths by SimdTier ([1] AVX2, [2] AVX-512; the scalar path [0]
    // uses tables) and code width ([0] 2 bits, [1] 4 bits); null where the
    // tier has none.  One normalised query whose TopK carries its centring
    // offset:
    using QuantAsymScanFn = void (*)(const std::uint8_t* codes, std::size_t n, std::size_t dim, const float* qn,
                                     float inv, TopK& topk);
    QuantAsymScanFn quant_asym_scan[3][2] = {};
    // nq finite raw query rows over n documents, filling out:
    using QuantAsymSearchFn = void (*)(const std::uint8_t* codes, std::size_t n, std::size_t dim,
                                       const float* queries, std::size_t nq, float inv, SearchResult& out);
    QuantAsymSearchFn quant_asym_search[3][2] = {};
    // 8-bit codes through a dim * 256 table with 16-lane gathers (dim % 16 == 0).
    void (*quant_b8_gather)(const std::uint8_t* codes, std::size_t n, std::size_t dim, const float* table,
                            std::size_t table_len, float inv, TopK& topk) = nullptr;
    // Evaluation search (kernels/eval_scan.h): nq queries' centred codes over
    // the one-byte codes of a corpus, filling out.
    void (*eval_scan)(const kern::EvalScan&, const float* qc, std::size_t nq, SearchResult& out) = nullptr;

    // --- Popcount scans (Bitmap, SignBitmap), indexed by PopOp (kernels/popcount.h).
    // counts[i] = popcount(op(query, row i)) over the wpv words of row i, i in [0, n).
    void (*popcount_collect[2])(const std::uint64_t* rows, std::size_t n, std::size_t wpv,
                                const std::uint64_t* query, std::uint32_t* counts) = {};
    // nq <= 8 queries (query q at queries + q * wpv) sharing one pass over each
    // block of rows: counts[q * stride + i].
    void (*popcount_collect8[2])(const std::uint64_t* rows, std::size_t n, std::size_t wpv,
                                 const std::uint64_t* queries, std::size_t nq, std::uint32_t* counts,
                                 std::size_t stride) = {};

    // --- Bitmap top-n coordinate bitmaps (kernels/top_bits.h).
    // Returns whether every value was finite.
    bool (*top_bits)(const float* v, std::size_t dim, std::size_t n_top, bool ties_high, std::uint32_t* scratch,
                     std::uint64_t* words) = nullptr;

    // --- SignBitmap (kernels/sign_bits.h): sign words of n_words * 64
    // floats; returns whether all of them are finite.
    bool (*sign_words)(const float* values, std::size_t n_words, std::uint64_t* words) = nullptr;
};

// The table of a tier; asking for a tier above active_tier() is a Panic.
const KernelTable& kernel_table(Tier t);
// The table of active_tier().
const KernelTable& kernels();

}  // namespace kwivel
