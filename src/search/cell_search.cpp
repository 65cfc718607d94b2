#include "search/cell_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/parallel.h"
#include "kernels/common.h"
#include "kernels/quant_asym.h"
#include "search/quant_asym_search.h"
#include "search/scan_support.h"
#include "search/sliced_scan.h"
#include "ordinal/rank_transform.h"

namespace kwivel {

namespace {

// Widest score range filtered through a histogram; wider ones (sign bitmaps
// of more than 65536 dimensions) keep every reachable row.
constexpr std::uint32_t kMaxHistogramScore = 65536;

// Queries inverted together (their shortlist states live side by side):
// up to 128, fewer when their histograms would pass about 1 MiB.
std::size_t block_queries(std::uint32_t max_score) {
    const std::size_t bins = std::size_t{std::min(max_score, kMaxHistogramScore)} + 1;
    return std::clamp<std::size_t>((std::size_t{1} << 20) / (4 * bins), kPopGroup, 128);
}

// Rows per scan tile: about 512 KiB of probe words, at most 8192 rows, so a
// group's counts for the tile (8 x 4 bytes per row) stay in L2.  (The same
// tiling as the flat popcount shortlists of search/popcount_shortlists.cpp.)
std::size_t tile_rows(std::size_t wpv) { return std::clamp<std::size_t>(65536 / wpv, 1, 8192); }

// One query's running shortlist: the histogram of the distances counted so
// far (only entries up to `bound` are meaningful), `within` = how many
// counted rows lie at or below `bound`, and the rows kept with their
// distances.  The histogram-bound scheme is the one of
// search/popcount_shortlists.cpp, carried across cells.
struct Running {
    std::vector<std::uint32_t> hist;
    std::uint32_t bound = 0;
    std::size_t within = 0;
    std::vector<std::uint32_t> rows;  // the first len entries are kept rows
    std::vector<std::uint32_t> dist;
    std::size_t len = 0;

    void reset(std::uint32_t max_score) {
        if (max_score <= kMaxHistogramScore)
            hist.assign(std::size_t{max_score} + 1, 0);
        else
            hist.clear();
        bound = max_score;
        within = 0;
        len = 0;
    }
};

// Rows picked from a tile: positions and their counts.
struct Picks {
    std::vector<std::uint32_t> pos, count;
};

struct Context {
    const CellSearchInput& in;
    const KernelTable& table;
    Tier tier;
    float inv;      // 1 / the rows' centred norm
};

std::int64_t caller_id(const CellSearchInput& in, std::size_t row) {
    return in.ids ? in.ids[row] : static_cast<std::int64_t>(row);
}

// Keeps rows of one tile (first row r0) in a query's state: pos[0 .. got)
// are the tile positions of the rows within the query's bound, ascending,
// and c[j] the count of row pos[j].  Only these rows are looked at one by
// one, their histogram counted and kept.  The bound is lowered after the
// tile: rows kept against the older bound are dropped later.
void admit(const Context& cx, Running& st, const std::uint32_t* pos, const std::uint32_t* c, std::size_t got,
           std::size_t r0) {
    const CellSearchInput& in = cx.in;
    const std::uint32_t max = in.max_score;
    std::uint32_t bound = st.bound;
    if (st.rows.size() < st.len + got) {  // grows only: no fill per tile
        st.rows.resize(2 * (st.len + got));
        st.dist.resize(2 * (st.len + got));
    }
    std::uint32_t* rows = st.rows.data();
    std::uint32_t* dist = st.dist.data();
    std::size_t w = st.len;
    const bool filtered = !st.hist.empty();  // else every reachable row is kept
    std::uint32_t* hist = st.hist.data();
    std::size_t within = st.within;
    // Without an id map a query's rows arrive in ascending id order, so once
    // m counted rows lie at or below the bound a later row at the bound
    // loses every tie it could enter: only rows below it are taken then.
    const bool later_ties_lose = filtered && in.ids == nullptr;
    for (std::size_t j = 0; j < got; ++j) {
        const std::uint32_t i = pos[j];
        const std::uint32_t d = in.best_first ? max - c[j] : c[j];
        if (d == bound && later_ties_lose && within >= in.m) continue;
        if (in.allowed && !in.allowed[r0 + i]) continue;
        if (filtered) ++hist[d];
        ++within;
        rows[w] = static_cast<std::uint32_t>(r0 + i);
        dist[w] = d;
        ++w;
    }
    if (filtered) {
        // Lower the bound while m counted rows remain at or below it.
        while (bound > 0 && within - hist[bound] >= in.m) {
            within -= hist[bound];
            --bound;
        }
        st.bound = bound;
        st.within = within;
        // Drop rows the bound has since passed, so the lists stay near m long.
        if (w > 4 * in.m + 1024) {
            std::size_t v = 0;
            for (std::size_t i = 0; i < w; ++i) {
                rows[v] = rows[i];
                dist[v] = dist[i];
                v += dist[i] <= bound;
            }
            w = v;
        }
    }
    st.len = w;
}

// The group scan's tile: the table's filter picks the rows within the
// bound from the counts c of nb rows (once the bound has settled, nearly
// none).
void keep(const Context& cx, Running& st, const std::uint32_t* c, std::size_t nb, std::size_t r0, Picks& pk) {
    const std::uint32_t max = cx.in.max_score, bound = st.bound;
    pk.pos.resize(nb);
    pk.count.resize(nb);
    const std::size_t got = cx.in.best_first
                                ? cx.table.pop_select(c, nb, max - std::min(bound, max), max, pk.pos.data())
                                : cx.table.pop_select(c, nb, 0, bound, pk.pos.data());
    for (std::size_t j = 0; j < got; ++j) pk.count[j] = c[pk.pos[j]];
    admit(cx, st, pk.pos.data(), pk.count.data(), got, r0);
}

// A shortlist entry ordered by (distance, caller id).
struct Entry {
    std::uint32_t dist;
    std::int64_t id;
    std::uint32_t row;
};

// The final shortlist of a query: at most m rows by (distance, caller id),
// returned in row order.  A query's cells are scanned in ascending cell
// order and cells hold ascending row ranges, so its kept rows are already
// in row order.  With a histogram, fewer than m kept rows lie strictly
// below the bound (keep lowers it only while m remain at or below the next
// lower distance), and every counted row below it was kept, so those rows
// are all in; only the rows at the bound compete, by caller id, for the
// places left, and one more pass keeps the order.  Without one, every kept
// row competes.
void finish_shortlist(const Context& cx, Running& st, std::vector<Entry>& e, std::vector<std::int64_t>& tie_ids,
                      std::vector<std::uint32_t>& out) {
    const CellSearchInput& in = cx.in;
    out.clear();
    if (st.hist.empty()) {
        e.clear();
        for (std::size_t i = 0; i < st.len; ++i)
            if (st.dist[i] <= st.bound) e.push_back({st.dist[i], caller_id(in, st.rows[i]), st.rows[i]});
        if (e.size() > in.m) {
            std::nth_element(e.begin(), e.begin() + static_cast<std::ptrdiff_t>(in.m), e.end(),
                             [](const Entry& a, const Entry& b) { return a.dist != b.dist ? a.dist < b.dist : a.id < b.id; });
            e.resize(in.m);
        }
        for (const Entry& x : e) out.push_back(x.row);
        std::sort(out.begin(), out.end());
        return;
    }
    const std::uint32_t bound = st.bound;
    std::size_t below = 0;
    tie_ids.clear();
    for (std::size_t i = 0; i < st.len; ++i) {
        below += st.dist[i] < bound;
        if (st.dist[i] == bound) tie_ids.push_back(caller_id(in, st.rows[i]));
    }
    KW_ASSERT(below <= in.m, "kwivel: shortlist bound kept more than m rows below it");
    const std::size_t left = in.m - below;
    // Ties with an id below `cut` are taken, and `at_cut` of those equal to it.
    const bool all_ties = tie_ids.size() <= left;
    std::int64_t cut = 0;
    std::size_t at_cut = 0;
    if (!all_ties && left > 0) {
        std::nth_element(tie_ids.begin(), tie_ids.begin() + static_cast<std::ptrdiff_t>(left - 1), tie_ids.end());
        cut = tie_ids[left - 1];
        at_cut = left;
        for (const std::int64_t id : tie_ids) at_cut -= id < cut;
    }
    for (std::size_t i = 0; i < st.len; ++i) {
        const std::uint32_t d = st.dist[i];
        if (d < bound || (d == bound && all_ties)) {
            out.push_back(st.rows[i]);
        } else if (d == bound && left > 0) {
            const std::int64_t id = caller_id(in, st.rows[i]);
            if (id < cut) {
                out.push_back(st.rows[i]);
            } else if (id == cut && at_cut > 0) {
                out.push_back(st.rows[i]);
                --at_cut;
            }
        }
    }
}

// Per-thread working set of the rerank and rescoring.
struct Scratch {
    SubsetScratch sub;
    std::vector<Entry> entries;
    std::vector<std::int64_t> tie_ids;
    std::vector<std::uint32_t> shortlist;
    std::vector<double> qd;
    struct Hit {
        float score;
        std::int64_t id;
    };
    std::vector<Hit> hits;
};

// Asymmetric scores of one query over the gathered shortlist rows, the
// keep best by (score, caller id): the steps of
// quant_search_asymmetric_subset with caller ids in place of row ids.
// Leaves the kept scores and shortlist slots in sc.sub.local_*; returns how
// many were kept.
std::size_t rerank(const Context& cx, const float* query, Scratch& sc, std::size_t keep) {
    const CellSearchInput& in = cx.in;
    const std::size_t dim = in.dim, bpv = dim * in.bits / 8, nc = sc.shortlist.size();
    const std::size_t k_eff = std::min(keep, nc);
    if (k_eff == 0) return 0;
    SubsetScratch& s = sc.sub;
    s.qn = l2_normalise(query, dim);
    s.gathered.resize(nc * bpv);
    s.global_ids.resize(nc);
    for (std::size_t slot = 0; slot < nc; ++slot) {
        const std::uint32_t row = sc.shortlist[slot];
        std::memcpy(s.gathered.data() + slot * bpv, in.codes + std::size_t{row} * bpv, bpv);
        s.global_ids[slot] = caller_id(in, row);
    }
    TopK tk(k_eff);
    tk.set_id_map(s.global_ids.data(), nc);
    quant_asym_scan_rows(s.gathered.data(), nc, dim, in.bits, s.qn.data(), cx.inv, cx.tier, s.table, tk);
    s.local_scores.resize(k_eff);
    s.local_slots.resize(k_eff);
    tk.finalize_into_with_scratch(s.local_scores.data(), k_eff, s.local_slots.data(), k_eff, s.finalize);
    return k_eff;
}

// Exact cosine of a query with one float row, summed in double; 0 when
// either norm is 0.
double cosine(const float* row, const double* q, double qq, std::size_t dim) {
    double dot = 0.0, xx = 0.0;
    for (std::size_t j = 0; j < dim; ++j) {
        const double x = row[j];
        dot += x * q[j];
        xx += x * x;
    }
    const double norm = std::sqrt(xx * qq);
    return norm > 0.0 ? dot / norm : 0.0;
}

// Stages 2 and 3 of query q, written to its result row.
void finish_query(const Context& cx, std::size_t q, Scratch& sc, SearchResult& out) {
    const CellSearchInput& in = cx.in;
    float* scores = out.scores.data() + q * in.k;
    std::int64_t* ids = out.ids.data() + q * in.k;
    std::fill(scores, scores + in.k, kern::kNegInf);
    std::fill(ids, ids + in.k, std::int64_t{-1});
    const float* query = in.queries + q * in.dim;
    const std::size_t kept = rerank(cx, query, sc, std::max(in.k, in.rescore));
    const SubsetScratch& s = sc.sub;
    if (in.rescore == 0) {
        for (std::size_t i = 0; i < std::min(kept, in.k); ++i) {
            scores[i] = s.local_scores[i];
            ids[i] = s.global_ids[static_cast<std::size_t>(s.local_slots[i])];
        }
        return;
    }
    sc.qd.assign(query, query + in.dim);
    double qq = 0.0;
    for (double v : sc.qd) qq += v * v;
    sc.hits.clear();
    for (std::size_t i = 0; i < kept; ++i) {
        const auto slot = static_cast<std::size_t>(s.local_slots[i]);
        const float* row = in.vectors + std::size_t{sc.shortlist[slot]} * in.vector_stride;
        sc.hits.push_back({static_cast<float>(cosine(row, sc.qd.data(), qq, in.dim)), s.global_ids[slot]});
    }
    std::sort(sc.hits.begin(), sc.hits.end(), [](const Scratch::Hit& a, const Scratch::Hit& b) {
        return a.score != b.score ? a.score > b.score : a.id < b.id;
    });
    for (std::size_t i = 0; i < std::min(kept, in.k); ++i) {
        scores[i] = sc.hits[i].score;
        ids[i] = sc.hits[i].id;
    }
}

// Per-thread working set of the shortlist scans.
struct ShortlistScratch {
    explicit ShortlistScratch(const CellSearchInput& in)
        : queries(in.op, in.max_score, in.best_first), block(in.wpv) {}
    std::vector<std::uint32_t> tile;
    std::vector<std::uint64_t> group_words;
    Picks picks;
    SlicedQueries queries;
    SlicedBlock block;
};

// The rows [lo, hi) of one cell for the block queries members[0 .. count):
// bit-sliced blocks where enough of them share the cell, else groups of up
// to kPopGroup through the group scan.
void scan_cell(const Context& cx, std::size_t b0, std::size_t lo, std::size_t hi, const std::uint32_t* members,
               std::size_t count, std::vector<Running>& states, ShortlistScratch& sx) {
    const CellSearchInput& in = cx.in;
    const std::size_t wpv = in.wpv, op = static_cast<std::size_t>(in.op);
    if (sliced_scan_pays(cx.table, wpv, count)) {
        Picks& pk = sx.picks;
        pk.pos.resize(kSliceRows);
        pk.count.resize(kSliceRows);
        for (std::size_t r0 = lo; r0 < hi; r0 += kSliceRows) {
            const std::size_t nr = std::min(kSliceRows, hi - r0);
            const std::uint64_t* rows = in.probe_words + r0 * wpv;
            sx.block.load(cx.table, rows, nr, sx.queries.needs_r());
            for (std::size_t g = 0; g < count; ++g) {
                Running& st = states[members[g]];
                const std::size_t got =
                    sx.block.select(cx.table, sx.queries, members[g], st.bound, pk.pos.data(), pk.count.data());
                admit(cx, st, pk.pos.data(), pk.count.data(), got, r0);
            }
        }
        return;
    }
    const std::size_t block = tile_rows(wpv);
    sx.tile.resize(kPopGroup * block);
    sx.group_words.resize(kPopGroup * wpv);
    for (std::size_t g0 = 0; g0 < count; g0 += kPopGroup) {
        const std::size_t ng = std::min(kPopGroup, count - g0);
        for (std::size_t g = 0; g < ng; ++g)
            std::memcpy(sx.group_words.data() + g * wpv, in.query_words + (b0 + members[g0 + g]) * wpv, wpv * 8);
        for (std::size_t r0 = lo; r0 < hi; r0 += block) {
            const std::size_t nr = std::min(block, hi - r0);
            const std::uint64_t* rows = in.probe_words + r0 * wpv;
            if (ng == 1)
                cx.table.popcount_collect[op](rows, nr, wpv, sx.group_words.data(), sx.tile.data());
            else
                cx.table.popcount_collect8[op](rows, nr, wpv, sx.group_words.data(), ng, sx.tile.data(), block);
            for (std::size_t g = 0; g < ng; ++g)
                keep(cx, states[members[g0 + g]], sx.tile.data() + g * block, nr, r0, sx.picks);
        }
    }
}

// Shortlists of queries [b0, b1): the block's probe lists inverted, each
// probed cell scanned once for all of its queries.
void shortlist_block(const Context& cx, std::size_t b0, std::size_t b1, std::vector<Running>& states,
                     ShortlistScratch& sx) {
    const CellSearchInput& in = cx.in;
    const std::size_t nb = b1 - b0;
    for (std::size_t i = 0; i < nb; ++i) states[i].reset(in.max_score);
    // (cell, query in block) pairs, each cell once per query.
    std::vector<std::pair<std::int64_t, std::uint32_t>> probes;
    probes.reserve(nb * in.nprobe);
    for (std::size_t i = 0; i < nb; ++i) {
        const std::int64_t* c = in.cells + (b0 + i) * in.nprobe;
        for (std::size_t j = 0; j < in.nprobe; ++j) probes.emplace_back(c[j], static_cast<std::uint32_t>(i));
    }
    std::sort(probes.begin(), probes.end());
    probes.erase(std::unique(probes.begin(), probes.end()), probes.end());
    bool prepared = false;
    std::vector<std::uint32_t> members;
    for (std::size_t p = 0; p < probes.size();) {
        const std::int64_t cell = probes[p].first;
        std::size_t e = p;
        members.clear();
        while (e < probes.size() && probes[e].first == cell) members.push_back(probes[e++].second);
        if (!prepared && sliced_scan_pays(cx.table, in.wpv, members.size())) {
            sx.queries.prepare(in.query_words + b0 * in.wpv, nb, in.wpv);
            prepared = true;
        }
        scan_cell(cx, b0, static_cast<std::size_t>(in.starts[cell]), static_cast<std::size_t>(in.starts[cell + 1]),
                  members.data(), members.size(), states, sx);
        p = e;
    }
}

}  // namespace

SearchResult cell_search(const CellSearchInput& in, Tier tier) {
    SearchResult out = SearchResult::sized(in.nq, in.k);
    if (in.nq == 0 || in.k == 0) return out;
    KW_ASSERT(in.rescore == 0 || (in.vectors != nullptr && in.rescore >= in.k),
              "kwivel: rescoring needs the float rows and rescore >= k");
    KW_ASSERT(in.bits == 1 || in.bits == 2 || in.bits == 4 || in.bits == 8, "kwivel: bits must be 1, 2, 4 or 8");
    const Context cx{in, kernel_table(tier), tier, 1.0f / asymmetric_norm(in.dim, in.bits)};
    const std::size_t cap = block_queries(in.max_score);
    parallel_for(0, in.nq, [&](std::size_t lo, std::size_t hi) {
        std::vector<Running> states(std::min(cap, hi - lo));
        ShortlistScratch sx(in);
        Scratch sc;
        search::for_blocks(lo, hi, cap, [&](std::size_t b0, std::size_t b1) {
            if (in.m > 0) shortlist_block(cx, b0, b1, states, sx);
            for (std::size_t q = b0; q < b1; ++q) {
                if (in.m > 0)
                    finish_shortlist(cx, states[q - b0], sc.entries, sc.tie_ids, sc.shortlist);
                else
                    sc.shortlist.clear();
                finish_query(cx, q, sc, out);
            }
        });
    });
    return out;
}

}  // namespace kwivel
