// Scan kernels of the Rank searches, one portable twin per ISA variant.
#pragma once

#include <cstddef>

#include "cpu.h"
#include "rank.h"

namespace kwivel {

enum class RankKernel { portable, avx2 };

// Pure choice from a feature set: avx2 whenever AVX2 is there (the kernels
// never use FMA, which would change asymmetric scores), else portable.
RankKernel select_rank_kernel(const cpu::Features& f);
// The choice for the running processor.
RankKernel selected_rank_kernel();

// Symmetric (Spearman) and asymmetric (cosine vs centred ranks) top-k
// searches of nq query rows (dim floats each, finite) over the index.
// Every variant gives the same bits, whatever the thread count; asking for
// avx2 on a processor without it is a Panic.
SearchResult rank_search_symmetric(const RankIndex& index, const float* queries,
                                   std::size_t nq, std::size_t k, RankKernel kernel);
SearchResult rank_search_asymmetric(const RankIndex& index, const float* queries,
                                    std::size_t nq, std::size_t k, RankKernel kernel);

}  // namespace kwivel
