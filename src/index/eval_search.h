// The evaluation search: a stateless symmetric RankQuant-style search at any
// bucket width from 1 to 7 bits (8 is accepted inside the core), over a raw
// corpus encoded on the fly with one unpacked code byte per coordinate.
#pragma once

#include <cstddef>

#include "kernels/dispatch.h"
#include "search/topk.h"

namespace kwivel {

// Rank-transforms and buckets the n_docs = corpus_len / dim corpus rows and
// the nq = queries_len / dim query rows, and returns each query's k_eff =
// min(k, n_docs) best rows by the cosine of the two code vectors centred at
// (2^bits - 1) / 2, scaled by the summed centred norm every row shares.
// Scores do not depend on the tier or the thread count.
SearchResult rankquant_eval_search(const float* corpus, std::size_t corpus_len, const float* queries,
                                   std::size_t queries_len, std::size_t dim, unsigned bits, std::size_t k,
                                   Tier tier);

// 1 / (sqrt(S) * sqrt(S)) with S the float32 sum, over r = 0 .. dim-1 in
// order, of (float((r << bits) / dim) - centre)^2.
float eval_scale(std::size_t dim, unsigned bits);

}  // namespace kwivel
