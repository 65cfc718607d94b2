// The Python-facing Bitmap class.
#include "classes.h"
#include "members.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "base/limits.h"
#include "base/memory.h"
#include "base/parallel.h"
#include "index/bitmap.h"
#include "io/formats.h"
#include "io/framing.h"

namespace kwivel::py {

namespace {

using BitmapObject = IndexObject<BitmapIndex>;

BitmapIndex& core(BitmapObject& o) { return *o.core; }

struct BitmapTraits {
    using Core = BitmapIndex;
    static constexpr const char* write_doc =
        "write($self, path)\n--\n\n"
        "Serialise the bitmap index to a `.kwbm` file.\n\n"
        "`path` is forwarded to the filesystem unmodified \u2014 no `..` / traversal\n"
        "sanitisation \u2014 so treat it as trusted input (see the module docstring).";
    static constexpr const char* load_doc =
        "load($cls, path)\n--\n\n"
        "Load a `Bitmap` index from a `.kwbm` file written by [`Bitmap::write`]\n"
        "(legacy `.hybm` files are also accepted).\n\n"
        "`path` is forwarded to the filesystem unmodified \u2014 no `..` / traversal\n"
        "sanitisation \u2014 so treat it as trusted input (see the module docstring).";
    static void write_file(const Core& index, const std::string& path) { write_bitmap(index, path); }
    static Core load_file(const std::string& path) { return load_bitmap(path); }
    static constexpr const char* name = "Bitmap";
    static constexpr const char* swap_remove_doc = "";  // no removal
};
using Common = CommonMembers<BitmapTraits>;

// A (rows, dim) block of queries, gated and copied; rows receives the count.
std::vector<float> batch_copy(PyObject* obj, std::size_t dim, std::size_t& rows) {
    F32View view = as_f32_2d(obj, dim);
    require_dense_rows(view);
    rows = view.rows;
    return view.to_vector();
}

// Refuses a group of `rows` queries whose buffers could not be sized: the
// score buffer (rows * n_vectors overlaps) and the query bitmaps (rows *
// words_per_vec words), counted in elements and in bytes.
void check_batch_size(std::size_t rows, const BitmapIndex& idx, const char* message) {
    std::size_t cells, bytes;
    if (!checked_mul(rows, std::max(idx.size(), idx.words_per_vec()), cells) ||
        !checked_mul(cells, sizeof(std::uint64_t), bytes))
        raise(PyExc_ValueError, message);
}

// Ids through the id gate, viewed contiguously and checked against the index.
CandidateIds gated_ids(PyObject* obj, const BitmapIndex& idx, CandidateIds::Slice& slice) {
    CandidateIds ids = as_u32_ids_1d(obj, "doc id");
    slice = ids.slice();
    check_ids_in_range(slice, idx.size(), "doc id");
    return ids;
}

// ----- constructor -----------------------------------------------------------------

const Signature kNew("", "Bitmap(dim, n_top)\n--\n\n");

PyObject* bitmap_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a = parse_args(kNew, args, kwargs);
        const std::uint64_t dim = to_u64(a[0], "dim");
        const std::uint64_t n_top = to_u64(a[1], "n_top");
        if (const std::optional<std::string> err = BitmapIndex::shape_error(dim, n_top))
            raise(PyExc_ValueError, *err);
        return new_index_object(type, BitmapIndex(dim, n_top));
    });
}

// ----- methods -----------------------------------------------------------------------

const Signature kAdd("Bitmap", "add($self, vectors)\n--\n\n");
PyObject* bitmap_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<BitmapObject>(self, Claim::exclusive, kAdd, args, nargs, kwnames,
                                     [](BitmapObject& o, const Args& a) {
        BitmapIndex& idx = core(o);
        return add_rows(idx.dim(), idx.size(), idx.words_per_vec(), 8, a[0],
                        [&](const float* v, std::size_t n) { idx.add(v, n); });
    });
}

const Signature kSearch("Bitmap",
    "search($self, queries, k)\n--\n\n"
    "Bitmap-overlap search: returns the top-`k` doc indices by\n"
    "popcount(query_top AND doc_top). This uses the overlap statistic from\n"
    "the finite threshold theorem but returns a top-k ranking, not a\n"
    "calibrated threshold-admission set.");
PyObject* bitmap_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<BitmapObject>(self, Claim::shared, kSearch, args, nargs, kwnames,
                                     [](BitmapObject& o, const Args& a) {
        const BitmapIndex& idx = core(o);
        return topk_search(idx.dim(), a, [&](const std::vector<float>& q, std::uint64_t k) {
            return idx.search(q.data(), q.size(), k);
        });
    });
}

const Signature kSearchSubset("Bitmap",
    "search_subset($self, query, doc_ids, k)\n--\n\n"
    "Search one query against a caller-supplied subset of document IDs.\n\n"
    "`doc_ids` are global row ordinals. They may be unsorted and may contain\n"
    "duplicates; each entry is scored independently, so duplicate IDs can\n"
    "produce duplicate hits. Results are ordered by bitmap-overlap descending,\n"
    "then row ID ascending, which matches the tie policy of the core library.");
PyObject* bitmap_search_subset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<BitmapObject>(self, Claim::shared, kSearchSubset, args, nargs, kwnames,
                                     [](BitmapObject& o, const Args& a) {
        const BitmapIndex& idx = core(o);
        const std::uint64_t k = to_u64(a[2], "k");
        const std::vector<float> q = gated_query(a[0], idx.dim());
        CandidateIds::Slice slice{};
        CandidateIds gated = gated_ids(a[1], idx, slice);
        const std::vector<std::uint32_t> ids = std::move(gated).into_owned();
        SubsetHits hits;
        run_released([&] { hits = idx.search_subset(q.data(), q.size(), ids.data(), ids.size(), k); });
        const std::size_t len = hits.ids.size();
        Ref scores(to_numpy(std::move(hits.scores), {len}));
        Ref out_ids(to_numpy(std::move(hits.ids), {len}));
        return pair(std::move(scores), std::move(out_ids));
    });
}

const Signature kTopM("Bitmap",
    "top_m_candidates($self, query, m)\n--\n\n"
    "Return top-`m` candidate doc IDs for a single query as a 1-D `uint32`\n"
    "array. Used as the candidate generator for two-stage retrieval (bitmap\n"
    "probe \u2192 exact RankQuant rerank). This is a fixed-budget shortlist over\n"
    "the formal overlap statistic; the theorem's admission rule is an\n"
    "explicit overlap threshold.");
PyObject* bitmap_top_m(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<BitmapObject>(self, Claim::shared, kTopM, args, nargs, kwnames,
                                     [](BitmapObject& o, const Args& a) {
        const BitmapIndex& idx = core(o);
        const std::uint64_t m = to_u64(a[1], "m");
        const std::vector<float> q = gated_query(a[0], idx.dim());
        std::vector<std::uint32_t> ids;
        run_released([&] { ids = idx.top_m_candidates(q.data(), q.size(), m); });
        const std::size_t len = ids.size();
        return to_numpy(std::move(ids), {len});
    });
}

const Signature kTopMBatched("Bitmap",
    "top_m_candidates_batched($self, queries, m)\n--\n\n"
    "Batched candidate generation: stream the bitmap corpus once and return\n"
    "top-`m` candidate doc IDs for each query. `queries` is a 2-D `(batch,\n"
    "dim)` f32 array; returns a 2-D `uint32` array of shape `(batch, m_eff)`\n"
    "where `m_eff = min(m, len(index))`. The column count is `m_eff`\n"
    "regardless of `batch`, so an empty `(0, dim)` input returns `(0, m_eff)`.\n"
    "Each row has the same fixed-budget semantics as\n"
    "[`Bitmap::top_m_candidates`].");
PyObject* bitmap_top_m_batched(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<BitmapObject>(self, Claim::shared, kTopMBatched, args, nargs, kwnames,
                                     [](BitmapObject& o, const Args& a) {
        const BitmapIndex& idx = core(o);
        const std::uint64_t m = to_u64(a[1], "m");
        std::size_t nq = 0;
        const std::vector<float> q = batch_copy(a[0], idx.dim(), nq);
        check_batch_size(nq, idx, "batch * index size overflows usize");
        Shortlists lists;
        run_released([&] { lists = idx.top_m_candidates_batched(q.data(), q.size(), m); });
        std::size_t cells;
        if (!checked_mul(nq, lists.m_eff, cells)) raise(PyExc_ValueError, "result size (batch * m) overflows usize");
        KW_ASSERT(lists.ids.size() == cells, "internal: bitmap batched candidate flatten shape invariant");
        return to_numpy(std::move(lists.ids), {nq, lists.m_eff});
    });
}

const Signature kTopMChunked("Bitmap",
    "top_m_candidates_batched_chunked($self, queries, m, batch_size)\n--\n\n"
    "Chunked batched candidate generation: like\n"
    "[`Bitmap::top_m_candidates_batched`] but processes `queries` in groups of\n"
    "`batch_size` rows in parallel \u2014 use when the full query workload is\n"
    "larger than one batch fits efficiently in cache. `queries` is a 2-D `(n,\n"
    "dim)` f32 array; returns a 2-D `uint32` array `(n, m_eff)`. `batch_size`\n"
    "must be > 0. Each row has the same fixed-budget semantics as\n"
    "[`Bitmap::top_m_candidates`].");
PyObject* bitmap_top_m_chunked(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<BitmapObject>(self, Claim::shared, kTopMChunked, args, nargs, kwnames,
                                     [](BitmapObject& o, const Args& a) {
        const BitmapIndex& idx = core(o);
        const std::uint64_t m = to_u64(a[1], "m");
        const std::uint64_t batch_size = to_u64(a[2], "batch_size");
        if (batch_size == 0) raise(PyExc_ValueError, "batch_size must be > 0");
        std::size_t nq = 0;
        const std::vector<float> q = batch_copy(a[0], idx.dim(), nq);
        check_batch_size(std::min<std::uint64_t>(batch_size, std::max<std::size_t>(nq, 1)), idx,
                         "batch_size * index size overflows usize");
        Shortlists lists;
        run_released([&] { lists = idx.top_m_candidates_batched_chunked(q.data(), q.size(), m, batch_size); });
        std::size_t cells;
        if (!checked_mul(nq, lists.m_eff, cells))
            raise(PyExc_ValueError, "result size (n_queries * m) overflows usize");
        KW_ASSERT(lists.ids.size() == cells, "internal: bitmap chunked candidate flatten shape invariant");
        return to_numpy(std::move(lists.ids), {nq, lists.m_eff});
    });
}

const Signature kQueryBitmap("Bitmap",
    "build_query_bitmap_fp32($self, query)\n--\n\n"
    "Build the query-side top-`n_top` bitmap from an FP32 query, returned as a\n"
    "1-D `uint64` array of `dim / 64` words (the doc-side packing). Pairs with\n"
    "[`Bitmap::body_overlap_scores_subset`] for staged rescoring. The returned\n"
    "bitmap has exactly `n_top` active coordinates.");
PyObject* bitmap_query_bitmap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<BitmapObject>(self, Claim::shared, kQueryBitmap, args, nargs, kwnames,
                                     [](BitmapObject& o, const Args& a) {
        const BitmapIndex& idx = core(o);
        F32View view = as_f32_1d(a[0], true, idx.dim());
        require_dense_rows(view);
        std::vector<std::uint64_t> words = idx.build_query_bitmap_fp32(view.data, view.size());
        const std::size_t len = words.size();
        return to_numpy(std::move(words), {len});
    });
}

const Signature kOverlapSubset("Bitmap",
    "body_overlap_scores_subset($self, q_bitmap, doc_ids)\n--\n\n"
    "Compute bitmap-overlap scores for a subset of doc IDs against a pre-built\n"
    "query bitmap. `q_bitmap` is a 1-D `uint64` array of `dim / 64` words\n"
    "(e.g. from [`Bitmap::build_query_bitmap_fp32`]); `doc_ids` is a 1-D\n"
    "integer array of any dtype (converted to `uint32`) whose ids must be in\n"
    "range. Returns a 1-D `uint32` array of overlap scores aligned to `doc_ids`.\n"
    "These are the exact overlap values to compare against an explicit\n"
    "calibrated cutoff when using threshold admission.\n\n"
    "`doc_ids` must also be sorted in ascending order (repeats allowed). That\n"
    "is a policy of this binding, not of the core, which scores unsorted ids\n"
    "correctly in input order, only with worse cache locality; for an\n"
    "unordered survivor set pass `np.sort(doc_ids)`.");
PyObject* bitmap_overlap_subset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<BitmapObject>(self, Claim::shared, kOverlapSubset, args, nargs, kwnames,
                                     [](BitmapObject& o, const Args& a) {
        const BitmapIndex& idx = core(o);
        TypedView<std::uint64_t> qv = as_typed_1d<std::uint64_t>(a[0], "q_bitmap");
        qv.require_contiguous();
        if (qv.len != idx.words_per_vec())
            raise(PyExc_ValueError, "q_bitmap length " + std::to_string(qv.len) + " does not match dim/64 = " +
                                        std::to_string(idx.words_per_vec()));
        CandidateIds::Slice slice{};
        CandidateIds gated = gated_ids(a[1], idx, slice);
        for (std::size_t i = 1; i < slice.size; ++i)
            if (slice.data[i] < slice.data[i - 1]) raise(PyExc_ValueError, "doc_ids must be sorted in ascending order");
        const std::vector<std::uint64_t> q = qv.to_vector();
        qv.owner = Ref();
        const std::vector<std::uint32_t> ids = std::move(gated).into_owned();
        std::vector<std::uint32_t> out(ids.size(), 0);
        run_released([&] { idx.body_overlap_scores_subset(q.data(), q.size(), ids.data(), ids.size(), out.data()); });
        const std::size_t len = out.size();
        return to_numpy(std::move(out), {len});
    });
}

// ----- slots and properties ------------------------------------------------------------

PyObject* bitmap_repr(PyObject* self) {
    return call_slot<BitmapObject>(self, Claim::shared, [](BitmapObject& o) {
        const BitmapIndex& idx = core(o);
        const std::string s = "Bitmap(dim=" + std::to_string(idx.dim()) + ", n_top=" + std::to_string(idx.n_top()) +
                              ", n=" + std::to_string(idx.size()) + ")";
        return PyUnicode_FromString(s.c_str());
    });
}

PyObject* bitmap_get_n_top(PyObject* self, void*) {
    return call_slot<BitmapObject>(self, Claim::shared, [](BitmapObject& o) { return PyLong_FromSize_t(core(o).n_top()); });
}
PyObject* bitmap_get_bytes_per_vec(PyObject* self, void*) {
    return call_slot<BitmapObject>(self, Claim::shared,
                                   [](BitmapObject& o) { return PyLong_FromSize_t(8 * core(o).words_per_vec()); });
}
PyObject* bitmap_get_byte_size(PyObject* self, void*) {
    return call_slot<BitmapObject>(self, Claim::shared,
                                   [](BitmapObject& o) { return PyLong_FromSize_t(8 * core(o).words().size()); });
}

PyMethodDef bitmap_methods[] = {
    KW_METHOD("add", bitmap_add, kAdd.doc(), 0),
    KW_METHOD("search", bitmap_search, kSearch.doc(), 0),
    KW_METHOD("search_subset", bitmap_search_subset, kSearchSubset.doc(), 0),
    KW_METHOD("top_m_candidates", bitmap_top_m, kTopM.doc(), 0),
    KW_METHOD("top_m_candidates_batched", bitmap_top_m_batched, kTopMBatched.doc(), 0),
    KW_METHOD("top_m_candidates_batched_chunked", bitmap_top_m_chunked, kTopMChunked.doc(), 0),
    KW_METHOD("build_query_bitmap_fp32", bitmap_query_bitmap, kQueryBitmap.doc(), 0),
    KW_METHOD("body_overlap_scores_subset", bitmap_overlap_subset, kOverlapSubset.doc(), 0),
    KW_METHOD("write", Common::write, Common::write_doc, 0),
    KW_METHOD("load", Common::load, Common::load_doc, METH_CLASS),
    KW_METHOD("is_empty", Common::is_empty, Common::is_empty_doc, 0),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef bitmap_getset[] = {
    {"dim", Common::get_dim, nullptr, nullptr, nullptr},
    {"n_top", bitmap_get_n_top, nullptr, nullptr, nullptr},
    {"bytes_per_vec", bitmap_get_bytes_per_vec, nullptr, nullptr, nullptr},
    {"byte_size", bitmap_get_byte_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot bitmap_slots[] = {
    {Py_tp_doc, const_cast<char*>(kNew.doc())},
    {Py_tp_new, reinterpret_cast<void*>(bitmap_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_index_object<BitmapIndex>)},
    {Py_tp_repr, reinterpret_cast<void*>(bitmap_repr)},
    {Py_sq_length, reinterpret_cast<void*>(Common::len)},
    {Py_tp_methods, bitmap_methods},
    {Py_tp_getset, bitmap_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec bitmap_spec = {
    "kwivel.Bitmap", sizeof(BitmapObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, bitmap_slots,
};

}  // namespace kwivel::py
