#include "members.h"

namespace kwivel::py {

PyObject* search_result(SearchResult&& r) {
    const std::size_t nq = r.nq, k = r.k_eff;
    Ref scores(to_numpy(std::move(r.scores), {nq, k}));
    Ref ids(to_numpy(std::move(r.ids), {nq, k}));
    return pair(std::move(scores), std::move(ids));
}

}  // namespace kwivel::py
