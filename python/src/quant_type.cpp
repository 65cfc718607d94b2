// The Python-facing RankQuant class.
#include "classes.h"
#include "members.h"

#include <algorithm>
#include <optional>
#include <string>

#include "index/rank_quant.h"
#include "io/formats.h"
#include "ordinal/buckets.h"
#include "io/framing.h"

namespace kwivel::py {

namespace {

using QuantObject = IndexObject<RankQuantIndex>;

RankQuantIndex& core(QuantObject& o) { return *o.core; }

struct QuantTraits {
    using Core = RankQuantIndex;
    static constexpr const char* write_doc =
        "write($self, path)\n--\n\n"
        "Serialise the quantised index to a `.kwrq` file.\n\n"
        "`path` is forwarded to the filesystem unmodified \u2014 no `..` / traversal\n"
        "sanitisation \u2014 so treat it as trusted input (see the module docstring).";
    static constexpr const char* load_doc =
        "load($cls, path)\n--\n\n"
        "Load a `RankQuant` index from a `.kwrq` file written by [`RankQuant::write`]\n"
        "(legacy `.hyrq` files are also accepted).\n\n"
        "`path` is forwarded to the filesystem unmodified \u2014 no `..` / traversal\n"
        "sanitisation \u2014 so treat it as trusted input (see the module docstring).";
    static void write_file(const Core& index, const std::string& path) { write_rank_quant(index, path); }
    static Core load_file(const std::string& path) { return load_rank_quant(path); }
    static constexpr const char* name = "RankQuant";
    static constexpr const char* swap_remove_doc =
        "swap_remove($self, idx)\n--\n\n"
        "Remove the vector at `idx` in O(1) by swapping with the last vector.\n"
        "Raises `IndexError` if `idx >= len(self)`.";
};
using Common = CommonMembers<QuantTraits>;

const Signature kNew("", "RankQuant(dim, bits)\n--\n\n");

PyObject* quant_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a = parse_args(kNew, args, kwargs);
        const std::uint64_t dim = to_u64(a[0], "dim");
        const std::uint8_t bits = to_u8(a[1], "bits");
        // 8-bit indexes exist only inside the core.
        const std::optional<QuantShapeError> err = rankquant_shape_error(dim, bits == 8 ? 0 : bits);
        if (err == QuantShapeError::bits) raise(PyExc_ValueError, "bits must be 1, 2, or 4");
        if (err == QuantShapeError::dim_range) raise(PyExc_ValueError, "dim must be in [2, 65535]");
        if (err) raise(PyExc_ValueError, rankquant_dim_step_message(dim, bits));
        return new_index_object(type, RankQuantIndex(dim, bits));
    });
}

const Signature kAdd("RankQuant", "add($self, vectors)\n--\n\n");
PyObject* quant_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<QuantObject>(self, Claim::exclusive, kAdd, args, nargs, kwnames, [](QuantObject& o, const Args& a) {
        RankQuantIndex& idx = core(o);
        return add_rows(idx.dim(), idx.size(), idx.bytes_per_vec(), 1, a[0],
                        [&](const float* v, std::size_t n) { idx.add(v, n); });
    });
}

const Signature kSearch("RankQuant", "search($self, queries, k)\n--\n\n");
PyObject* quant_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<QuantObject>(self, Claim::shared, kSearch, args, nargs, kwnames, [](QuantObject& o, const Args& a) {
        const RankQuantIndex& idx = core(o);
        return topk_search(idx.dim(), a, [&](const std::vector<float>& q, std::uint64_t k) {
            return idx.search(q.data(), q.size(), k);
        });
    });
}

const Signature kSearchAsym("RankQuant",
    "search_asymmetric($self, queries, k)\n--\n\n"
    "Asymmetric search via the AVX-512 / AVX2 / scalar dispatch path.");
PyObject* quant_search_asymmetric(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<QuantObject>(self, Claim::shared, kSearchAsym, args, nargs, kwnames, [](QuantObject& o, const Args& a) {
        const RankQuantIndex& idx = core(o);
        return topk_search(idx.dim(), a, [&](const std::vector<float>& q, std::uint64_t k) {
            return idx.search_asymmetric(q.data(), q.size(), k);
        });
    });
}

const Signature kSearchAsymSubset("RankQuant",
    "search_asymmetric_subset($self, query, candidates, k)\n--\n\n"
    "Asymmetric scoring restricted to a candidate subset (e.g. the top-M\n"
    "shortlist from a [`Bitmap`] or [`SignBitmap`] probe). Returns\n"
    "``(scores, global_ids)`` where ``global_ids`` are the original doc\n"
    "indices (mapped from the local candidate slot).\n"
    "\n"
    "Both returned arrays have length ``min(k, len(candidates))`` \u2014 **not**\n"
    "``k``. When ``k > len(candidates)`` the result is silently capped to the\n"
    "candidate count; the subset path does not pad with sentinel rows. A\n"
    "caller assembling a fixed-width ``(n_q, k)`` buffer must therefore size\n"
    "each row by its candidate count, not by ``k``.\n"
    "\n"
    "Uses the same AVX-512 \u2192 AVX2 \u2192 scalar dispatch as ``search_asymmetric``.\n"
    "\n"
    "``candidates`` may be unsorted and may contain duplicates. Duplicate\n"
    "candidate IDs are scored as separate entries and can produce duplicate\n"
    "hits; callers that require unique row IDs should deduplicate before\n"
    "calling.\n"
    "\n"
    "If the shortlist came from [`Bitmap`], this is the exact RankQuant\n"
    "rerank stage over that survivor set; it does not itself apply or\n"
    "calibrate a bitmap overlap threshold.\n"
    "\n"
    "``candidates`` may be a 1-D array of any integer dtype \u2014 the ``uint32``\n"
    "emitted by ``top_m_candidates``/``top_m_candidates_batched`` or a plain\n"
    "``int64`` index array (``np.arange``, ``np.where(...)[0]``, fancy-index\n"
    "results). Ids are converted to ``uint32``; a negative id, one ``>= 2**32``,\n"
    "or one ``>= len(self)`` raises a ``ValueError``/``IndexError``.");
PyObject* quant_search_asymmetric_subset(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return call_method<QuantObject>(self, Claim::shared, kSearchAsymSubset, args, nargs, kwnames,
                                    [](QuantObject& o, const Args& a) {
        const RankQuantIndex& idx = core(o);
        const std::uint64_t k = to_u64(a[2], "k");
        F32View view = as_f32_1d(a[0], true, idx.dim());
        CandidateIds ids = as_u32_ids_1d(a[1], "candidate id");
        const CandidateIds::Slice slice = ids.slice();
        check_ids_in_range(slice, idx.size(), "candidate id");
        // Only repeated ids make a list this long; refuse it as bad input.
        if (slice.size > idx.size())
            raise(PyExc_ValueError, "search_asymmetric_subset: candidate list length " + std::to_string(slice.size) +
                                        " exceeds n_vectors " + std::to_string(idx.size()) +
                                        "; deduplicate repeated ids before calling");
        std::vector<float> query = view.to_vector();
        view.owner = Ref();
        std::vector<std::uint32_t> cands = std::move(ids).into_owned();
        SearchResult r;
        run_released([&] { r = idx.search_asymmetric_subset(query.data(), query.size(), cands.data(), cands.size(), k); });
        const std::size_t n = r.k_eff;
        Ref scores(to_numpy(std::move(r.scores), {n}));
        Ref global_ids(to_numpy(std::move(r.ids), {n}));
        return pair(std::move(scores), std::move(global_ids));
    });
}

PyObject* quant_repr(PyObject* self) {
    return call_slot<QuantObject>(self, Claim::shared, [](QuantObject& o) {
        const RankQuantIndex& idx = core(o);
        const std::string s = "RankQuant(dim=" + std::to_string(idx.dim()) + ", bits=" + std::to_string(idx.bits()) +
                              ", n=" + std::to_string(idx.size()) + ")";
        return PyUnicode_FromString(s.c_str());
    });
}

PyObject* quant_get_bits(PyObject* self, void*) {
    return call_slot<QuantObject>(self, Claim::shared, [](QuantObject& o) { return PyLong_FromLong(core(o).bits()); });
}
PyObject* quant_get_bytes_per_vec(PyObject* self, void*) {
    return call_slot<QuantObject>(self, Claim::shared,
                                  [](QuantObject& o) { return PyLong_FromSize_t(core(o).bytes_per_vec()); });
}
PyObject* quant_get_byte_size(PyObject* self, void*) {
    return call_slot<QuantObject>(self, Claim::shared,
                                  [](QuantObject& o) { return PyLong_FromSize_t(core(o).codes().size()); });
}

PyMethodDef quant_methods[] = {
    KW_METHOD("add", quant_add, kAdd.doc(), 0),
    KW_METHOD("search", quant_search, kSearch.doc(), 0),
    KW_METHOD("search_asymmetric", quant_search_asymmetric, kSearchAsym.doc(), 0),
    KW_METHOD("search_asymmetric_subset", quant_search_asymmetric_subset, kSearchAsymSubset.doc(), 0),
    KW_METHOD("write", Common::write, Common::write_doc, 0),
    KW_METHOD("load", Common::load, Common::load_doc, METH_CLASS),
    KW_METHOD("swap_remove", Common::swap_remove, Common::swap_remove_doc, 0),
    KW_METHOD("is_empty", Common::is_empty, Common::is_empty_doc, 0),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef quant_getset[] = {
    {"dim", Common::get_dim, nullptr, nullptr, nullptr},
    {"bits", quant_get_bits, nullptr, nullptr, nullptr},
    {"bytes_per_vec", quant_get_bytes_per_vec, nullptr, nullptr, nullptr},
    {"byte_size", quant_get_byte_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot quant_slots[] = {
    {Py_tp_doc, const_cast<char*>(kNew.doc())},
    {Py_tp_new, reinterpret_cast<void*>(quant_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_index_object<RankQuantIndex>)},
    {Py_tp_repr, reinterpret_cast<void*>(quant_repr)},
    {Py_sq_length, reinterpret_cast<void*>(Common::len)},
    {Py_tp_methods, quant_methods},
    {Py_tp_getset, quant_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec rank_quant_spec = {
    "kwivel.RankQuant", sizeof(QuantObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, quant_slots,
};

}  // namespace kwivel::py
