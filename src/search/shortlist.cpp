#include "search/shortlist.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "base/error.h"

namespace kwivel {
namespace {

constexpr std::size_t kDirectBins = 65536;
// Below this many bins the counting pass spreads over four interleaved
// histograms: scores crowd into a few bins, and a single histogram would
// make every increment wait for the previous one to the same bin.
constexpr std::size_t kSplitBins = 4096;

// Keys are scores turned so that a higher key is better.
template <ScoreOrder order>
inline std::uint32_t key_of(std::uint32_t s, std::uint32_t max_score) {
    if constexpr (order == ScoreOrder::descending)
        return s;
    else
        return max_score - s;
}

[[noreturn]] void over_max() { panic("kwivel: shortlist score above its stated maximum"); }

// hist[key >> shift] for every score (hist sized bins, zeroed here).
template <ScoreOrder order, class S>
void count_keys(const S* scores, std::size_t n, std::uint32_t max_score, unsigned shift,
                std::size_t bins, std::vector<std::uint32_t>& hist) {
    hist.assign(bins, 0);
    if (bins <= kSplitBins && n >= 4 * bins) {
        std::vector<std::uint32_t> h(4 * bins, 0);
        std::uint32_t* h0 = h.data();
        std::uint32_t* h1 = h0 + bins;
        std::uint32_t* h2 = h1 + bins;
        std::uint32_t* h3 = h2 + bins;
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            const std::uint32_t top = std::max(std::max<std::uint32_t>(scores[i], scores[i + 1]),
                                               std::max<std::uint32_t>(scores[i + 2], scores[i + 3]));
            if (top > max_score) over_max();
            ++h0[key_of<order>(scores[i], max_score) >> shift];
            ++h1[key_of<order>(scores[i + 1], max_score) >> shift];
            ++h2[key_of<order>(scores[i + 2], max_score) >> shift];
            ++h3[key_of<order>(scores[i + 3], max_score) >> shift];
        }
        for (; i < n; ++i) {
            if (scores[i] > max_score) over_max();
            ++h0[key_of<order>(scores[i], max_score) >> shift];
        }
        for (std::size_t b = 0; b < bins; ++b) hist[b] = h0[b] + h1[b] + h2[b] + h3[b];
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            if (scores[i] > max_score) over_max();
            ++hist[key_of<order>(scores[i], max_score) >> shift];
        }
    }
}

// Walks the bins from the best down until `want` ids are covered: returns
// the cut bin and sets `above` to the ids in better bins.
std::size_t find_cut(const std::vector<std::uint32_t>& hist, std::size_t want, std::size_t& above) {
    std::size_t cum = 0;
    for (std::size_t b = hist.size(); b-- > 0;) {
        if (cum + hist[b] >= want) {
            above = cum;
            return b;
        }
        cum += hist[b];
    }
    panic("kwivel: shortlist histogram does not cover the requested ids");
}

template <ScoreOrder order, class S>
std::size_t select_ordered(const S* scores, std::size_t n, std::uint32_t max_score, std::size_t m_eff,
                           std::uint32_t* out) {
    std::vector<std::uint32_t> hist;
    if (static_cast<std::size_t>(max_score) < kDirectBins) {
        count_keys<order>(scores, n, max_score, 0, static_cast<std::size_t>(max_score) + 1, hist);
        std::size_t above = 0;
        const std::size_t cut = find_cut(hist, m_eff, above);
        std::size_t take = m_eff - above;
        // hist becomes the next output slot of each winning key.
        std::size_t pos = 0;
        for (std::size_t b = hist.size(); b-- > cut;) {
            const std::uint32_t c = hist[b];
            hist[b] = static_cast<std::uint32_t>(pos);
            pos += c;
        }
        std::size_t placed = 0;
        for (std::size_t i = 0; i < n && placed < m_eff; ++i) {
            const std::uint32_t k = key_of<order>(scores[i], max_score);
            if (k > cut || (k == cut && take > 0)) {
                if (k == cut) --take;
                out[hist[k]++] = static_cast<std::uint32_t>(i);
                ++placed;
            }
        }
        return m_eff;
    }

    // Two levels: the bucket of the cut by the high bits, then the exact
    // cut by the low bits inside that bucket.
    unsigned shift = 0;
    while ((static_cast<std::uint64_t>(max_score) >> shift) >= kDirectBins) ++shift;
    count_keys<order>(scores, n, max_score, shift, (static_cast<std::size_t>(max_score) >> shift) + 1, hist);
    std::size_t above_hi = 0;
    const std::size_t bucket = find_cut(hist, m_eff, above_hi);
    const std::uint32_t low_mask = (std::uint32_t{1} << shift) - 1;
    hist.assign(std::size_t{1} << shift, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t k = key_of<order>(scores[i], max_score);
        if ((k >> shift) == bucket) ++hist[k & low_mask];
    }
    std::size_t above_lo = 0;
    const std::size_t low = find_cut(hist, m_eff - above_hi, above_lo);
    const std::uint32_t cut = static_cast<std::uint32_t>((bucket << shift) | low);
    std::size_t take = m_eff - above_hi - above_lo;
    std::size_t placed = 0;
    for (std::size_t i = 0; i < n && placed < m_eff; ++i) {
        const std::uint32_t k = key_of<order>(scores[i], max_score);
        if (k > cut || (k == cut && take > 0)) {
            if (k == cut) --take;
            out[placed++] = static_cast<std::uint32_t>(i);
        }
    }
    // Winners arrive in id order; a stable sort by key keeps ties by id.
    std::stable_sort(out, out + m_eff, [&](std::uint32_t a, std::uint32_t b) {
        return key_of<order>(scores[a], max_score) > key_of<order>(scores[b], max_score);
    });
    return m_eff;
}

template <class S>
std::size_t select_any(const S* scores, std::size_t n, std::uint32_t max_score, std::size_t m, ScoreOrder order,
                       std::uint32_t* out) {
    KW_ASSERT(n <= std::numeric_limits<std::uint32_t>::max(), "kwivel: shortlist over more ids than uint32 holds");
    const std::size_t m_eff = std::min(m, n);
    if (m_eff == 0) return 0;
    return order == ScoreOrder::descending ? select_ordered<ScoreOrder::descending>(scores, n, max_score, m_eff, out)
                                           : select_ordered<ScoreOrder::ascending>(scores, n, max_score, m_eff, out);
}

}  // namespace

std::size_t select_shortlist(const std::uint32_t* scores, std::size_t n, std::uint32_t max_score, std::size_t m,
                             ScoreOrder order, std::uint32_t* out) {
    return select_any(scores, n, max_score, m, order, out);
}

std::size_t select_shortlist(const std::uint16_t* scores, std::size_t n, std::uint32_t max_score, std::size_t m,
                             ScoreOrder order, std::uint32_t* out) {
    return select_any(scores, n, max_score, m, order, out);
}

std::size_t select_shortlist(const std::uint8_t* scores, std::size_t n, std::uint32_t max_score, std::size_t m,
                             ScoreOrder order, std::uint32_t* out) {
    return select_any(scores, n, max_score, m, order, out);
}

}  // namespace kwivel
