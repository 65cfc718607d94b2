// The Python-facing Rank class.
#include "classes.h"
#include "members.h"

#include <string>

#include "index/rank.h"
#include "io/formats.h"
#include "io/framing.h"

namespace kwivel::py {

namespace {

using RankObject = IndexObject<RankIndex>;

RankIndex& core(RankObject& o) { return *o.core; }

// ----- constructor -----------------------------------------------------------------

const Signature kNew("", "Rank(dim)\n--\n\n");

PyObject* rank_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a = parse_args(kNew, args, kwargs);
        const std::uint64_t dim = to_u64(a[0], "dim");
        if (dim < 2 || dim > MAX_DIM) raise(PyExc_ValueError, "dim must be in [2, 65535]");
        return new_index_object(type, RankIndex(dim));
    });
}

// ----- methods -----------------------------------------------------------------------

const Signature kAdd("Rank", "add($self, vectors)\n--\n\n");
PyObject* rank_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<RankObject>(self, Claim::exclusive, kAdd, args, nargs, kwnames, [](RankObject& o, const Args& a) {
        RankIndex& idx = core(o);
        return add_rows(idx.dim(), idx.size(), idx.dim(), 2, a[0],
                        [&](const float* v, std::size_t n) { idx.add(v, n); });
    });
}

const Signature kSearch("Rank",
    "search($self, queries, k)\n--\n\n"
    "Symmetric rank-cosine search: rank-transforms the query, scores against\n"
    "stored rank vectors via Spearman correlation.");
PyObject* rank_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<RankObject>(self, Claim::shared, kSearch, args, nargs, kwnames, [](RankObject& o, const Args& a) {
        const RankIndex& idx = core(o);
        return topk_search(idx.dim(), a, [&](const std::vector<float>& q, std::uint64_t k) {
            return idx.search(q.data(), q.size(), k);
        });
    });
}

const Signature kSearchAsym("Rank",
    "search_asymmetric($self, queries, k)\n--\n\n"
    "Asymmetric rank-cosine search: queries stay as L2-normalised FP32, stored\n"
    "documents are integer ranks.");
PyObject* rank_search_asymmetric(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<RankObject>(self, Claim::shared, kSearchAsym, args, nargs, kwnames, [](RankObject& o, const Args& a) {
        const RankIndex& idx = core(o);
        return topk_search(idx.dim(), a, [&](const std::vector<float>& q, std::uint64_t k) {
            return idx.search_asymmetric(q.data(), q.size(), k);
        });
    });
}

struct RankTraits {
    using Core = RankIndex;
    static constexpr const char* write_doc =
        "write($self, path)\n--\n\n"
        "Serialise the rank index to a `.kwr` file.\n\n"
        "`path` is forwarded to the filesystem unmodified \u2014 no `..` / traversal\n"
        "sanitisation \u2014 so treat it as trusted input (see the module docstring).";
    static constexpr const char* load_doc =
        "load($cls, path)\n--\n\n"
        "Load a `Rank` index from a `.kwr` file previously written by [`Rank::write`]\n"
        "(legacy `.hyr` files are also accepted).\n\n"
        "`path` is forwarded to the filesystem unmodified \u2014 no `..` / traversal\n"
        "sanitisation \u2014 so treat it as trusted input (see the module docstring).";
    static void write_file(const Core& index, const std::string& path) { write_rank(index, path); }
    static Core load_file(const std::string& path) { return load_rank(path); }
    static constexpr const char* name = "Rank";
    static constexpr const char* swap_remove_doc =
        "swap_remove($self, idx)\n--\n\n"
        "Remove the vector at `idx` in O(1) by swapping with the last vector.\n"
        "Order is not preserved. Returns the old index of the moved vector.\n"
        "Raises `IndexError` if `idx >= len(self)`.";
};
using Common = CommonMembers<RankTraits>;

// ----- slots and properties --------------------------------------------------------

PyObject* rank_repr(PyObject* self) {
    return call_slot<RankObject>(self, Claim::shared, [](RankObject& o) {
        const std::string s = "Rank(dim=" + std::to_string(core(o).dim()) + ", n=" + std::to_string(core(o).size()) + ")";
        return PyUnicode_FromString(s.c_str());
    });
}

PyObject* rank_get_bytes_per_vec(PyObject* self, void*) {
    return call_slot<RankObject>(self, Claim::shared, [](RankObject& o) { return PyLong_FromSize_t(2 * core(o).dim()); });
}
PyObject* rank_get_byte_size(PyObject* self, void*) {
    return call_slot<RankObject>(self, Claim::shared,
                                 [](RankObject& o) { return PyLong_FromSize_t(2 * core(o).ranks().size()); });
}

PyMethodDef rank_methods[] = {
    KW_METHOD("add", rank_add, kAdd.doc(), 0),
    KW_METHOD("search", rank_search, kSearch.doc(), 0),
    KW_METHOD("search_asymmetric", rank_search_asymmetric, kSearchAsym.doc(), 0),
    KW_METHOD("write", Common::write, Common::write_doc, 0),
    KW_METHOD("load", Common::load, Common::load_doc, METH_CLASS),
    KW_METHOD("swap_remove", Common::swap_remove, Common::swap_remove_doc, 0),
    KW_METHOD("is_empty", Common::is_empty, Common::is_empty_doc, 0),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rank_getset[] = {
    {"dim", Common::get_dim, nullptr, nullptr, nullptr},
    {"bytes_per_vec", rank_get_bytes_per_vec, nullptr, nullptr, nullptr},
    {"byte_size", rank_get_byte_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rank_slots[] = {
    {Py_tp_doc, const_cast<char*>(kNew.doc())},
    {Py_tp_new, reinterpret_cast<void*>(rank_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_index_object<RankIndex>)},
    {Py_tp_repr, reinterpret_cast<void*>(rank_repr)},
    {Py_sq_length, reinterpret_cast<void*>(Common::len)},
    {Py_tp_methods, rank_methods},
    {Py_tp_getset, rank_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec rank_spec = {
    "kwivel.Rank", sizeof(RankObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, rank_slots,
};

}  // namespace kwivel::py
