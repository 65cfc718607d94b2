// Exhaustive top-k searches of the Rank index: query preparation, blocking
// and the top-k accumulators around the rank steps of a tier's kernel table
// (kernels/rank_scan.h has the views and the exactness argument).
#pragma once

#include <cstddef>

#include "kernels/dispatch.h"
#include "search/rows.h"
#include "search/topk.h"

namespace kwivel {


// Top-k searches of nq finite query rows (dim floats each) over the index
// with the kernels of a tier (at most active_tier()).  Every tier gives the
// same bits, whatever the thread count.
SearchResult rank_search_symmetric(const RankRows& rows, const float* queries, std::size_t nq, std::size_t k,
                                   Tier tier);
SearchResult rank_search_asymmetric(const RankRows& rows, const float* queries, std::size_t nq, std::size_t k,
                                    Tier tier);

}  // namespace kwivel
