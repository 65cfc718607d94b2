// Shortlists: the m best ids of a score buffer, selected by counting.
//
// Scores are small unsigned integers (overlaps, Hamming distances), so the
// cut of the best m is found by a histogram instead of a comparison sort:
// one pass counts the scores, a walk over the counts finds the cut value
// and how many ids at the cut are taken (the lowest ids), and one more pass
// places the winners.  With max_score below 65536 the winners are placed
// straight into order by their counts; above it a two-level histogram (high
// bits, then the low bits inside the cut's bucket) finds the cut and only
// the winners are sorted.  Memory stays O(n + 65536) either way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kwivel {

enum class ScoreOrder { descending, ascending };

// Writes the m_eff = min(m, n) best ids of scores[0, n) to out and returns
// m_eff.  descending: higher score first; ascending: lower score first;
// equal scores by ascending id.  Every score must be at most max_score
// (max_score below 2^32).
std::size_t select_shortlist(const std::uint32_t* scores, std::size_t n, std::uint32_t max_score, std::size_t m,
                             ScoreOrder order, std::uint32_t* out);
// The same over narrower scores (a buffer of many score rows costs less
// memory and bandwidth when its scores fit 8 or 16 bits).
std::size_t select_shortlist(const std::uint16_t* scores, std::size_t n, std::uint32_t max_score, std::size_t m,
                             ScoreOrder order, std::uint32_t* out);
std::size_t select_shortlist(const std::uint8_t* scores, std::size_t n, std::uint32_t max_score, std::size_t m,
                             ScoreOrder order, std::uint32_t* out);

}  // namespace kwivel
