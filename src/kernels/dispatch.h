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
// inherits the one below.  The portable table fills every entry but the
// vector-only ones (quant_int_scan, quant_asym, quant_b8_gather).  Each ISA
// file (kernels/<tier>/*.cpp) has one shape: includes, a target region with
// its step kernels, and one install function, listed in dispatch.cpp.
// Entries are steps over plain views (pointers, counts, strides) that offer
// scores to a kern::Offers sink; the drivers that block queries, own the
// top-k accumulators and call a step once per tile live in src/search/ and
// src/index/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "base/cpu.h"

namespace kwivel {

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

struct SlicedTest;

namespace kern {
struct SymScan;
struct AsymScan;
struct AsymCandidate;
struct EvalScan;
struct Offers;
struct IntBlock;
struct AsymBlock;
}  // namespace kern

struct KernelTable {
    Tier tier = Tier::portable;

    // --- The rank transform of one row (kernels/rank_rows_body.inc): ranks of
    // values[0..d), 1 <= d <= 65535, finite, ties in index order.
    void (*rank_row)(const float* values, std::size_t d, std::uint16_t* out) = nullptr;

    // --- Rank search steps (kernels/rank_scan.h; driven by search/rank_search.h).
    void (*rank_sym_group)(const kern::SymScan&, const std::int16_t* cq, std::size_t nqg, std::size_t j0,
                           std::size_t j1, const kern::Offers&) = nullptr;
    // Dimensions past the int16 range of the symmetric steps.
    void (*rank_sym_group_wide)(const kern::SymScan&, const std::int32_t* cq, std::size_t nqg, std::size_t j0,
                                std::size_t j1, const kern::Offers&) = nullptr;
    void (*rank_asym_fill)(const kern::AsymScan&, std::size_t j0, std::size_t j1, float* tile) = nullptr;
    void (*rank_asym_group)(const kern::AsymScan&, const float* u, const float* cs, std::size_t nqg,
                            const float* tile, std::size_t j0, std::size_t j1, const kern::Offers&) = nullptr;
    std::size_t (*rank_asym_bounds)(const kern::SymScan&, const std::int16_t* w, std::size_t nqg, std::size_t j0,
                                    std::size_t j1, const std::int32_t* ta, kern::AsymCandidate* out) = nullptr;

    // --- RankQuant symmetric steps (kernels/quant_scan.h; driven by search/quant_search.h).
    // One query's table over n packed rows, by code width ([0] 1 bit, [1] 2,
    // [2] 4, [3] 8), offered to query 0 of the sink: the definition of the
    // score, which only the portable tier installs.
    using QuantTableScanFn = void (*)(const std::uint8_t* codes, std::size_t n, std::size_t dim,
                                      const float* table, float scale, const kern::Offers&);
    QuantTableScanFn quant_table_scan[4] = {};
    // The integer form (1, 2 and 4 bits): a block of prepared queries over
    // the whole index through a tile of tdocs expanded rows.  Null on the
    // portable tier, whose searches scan the tables.
    void (*quant_int_scan)(const kern::IntBlock&, std::uint8_t* tile, std::size_t tdocs) = nullptr;

    // --- RankQuant asymmetric vector steps (kernels/quant_asym.h; driven by
    // search/quant_asym_search.h), by code width ([0] 2 bits, [1] 4 bits).
    // unpack writes one document's codes as floats in coordinate order;
    // group scores cnt unpacked documents of a tile (first id j0) for block
    // queries q0 .. q0 + nqg, nqg <= group_size.  Null on the portable tier,
    // whose path is the table scan above (select_simd_tier names the tier
    // whose steps a search takes).
    struct QuantAsymSteps {
        void (*unpack)(const std::uint8_t* row, std::size_t dim, float* out) = nullptr;
        void (*group)(const kern::AsymBlock&, std::size_t q0, std::size_t nqg, const float* tile, std::size_t j0,
                      std::size_t cnt) = nullptr;
        std::size_t group_size = 0;
    };
    QuantAsymSteps quant_asym[2] = {};
    // 8-bit codes through a dim * 256 table with 16-lane gathers (dim % 16
    // == 0), one query: offers (score f of row i) when f + off passes query
    // 0's threshold.  Null below avx512.
    void (*quant_b8_gather)(const std::uint8_t* codes, std::size_t n, std::size_t dim, const float* table,
                            std::size_t table_len, float inv, float off, const kern::Offers&) = nullptr;

    // Evaluation search step (kernels/eval_scan.h; driven by index/eval_search.cpp):
    // a transposed tile of documents [j0, j1) for nqg <= eval_group queries'
    // centred codes qc (stride dim).
    void (*eval_group)(const kern::EvalScan&, const float* qc, std::size_t nqg, const float* tile, std::size_t j0,
                       std::size_t j1, const kern::Offers&) = nullptr;
    std::size_t eval_group_size = 0;

    // --- Popcount scans (Bitmap, SignBitmap), indexed by PopOp (kernels/popcount.h).
    // counts[i] = popcount(op(query, row i)) over the wpv words of row i, i in [0, n).
    void (*popcount_collect[2])(const std::uint64_t* rows, std::size_t n, std::size_t wpv,
                                const std::uint64_t* query, std::uint32_t* counts) = {};
    // nq <= 8 queries (query q at queries + q * wpv) sharing one pass over each
    // block of rows: counts[q * stride + i].
    void (*popcount_collect8[2])(const std::uint64_t* rows, std::size_t n, std::size_t wpv,
                                 const std::uint64_t* queries, std::size_t nq, std::uint32_t* counts,
                                 std::size_t stride) = {};
    // The filter of the shortlist drivers: the positions i < n with lo <=
    // counts[i] <= hi (counts below 2^31), ascending, into out (room for n);
    // returns how many.
    std::size_t (*pop_select)(const std::uint32_t* counts, std::size_t n, std::uint32_t lo, std::uint32_t hi,
                              std::uint32_t* out) = nullptr;

    // --- Bit-sliced scans of many queries over one block (kernels/sliced.h).
    void (*slice_block)(const std::uint64_t* rows, std::size_t n, std::size_t wpv, std::uint64_t* planes) = nullptr;
    void (*sliced_select)(const std::uint64_t* planes, const std::uint16_t* list, std::size_t len,
                          const SlicedTest& test, std::uint64_t* mask, std::uint64_t* s) = nullptr;

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
