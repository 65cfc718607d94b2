// The Python-facing SignBitmap class.
#include "classes.h"
#include "members.h"

#include <algorithm>
#include <string>

#include "index/sign_bitmap.h"
#include "io/formats.h"
#include "io/framing.h"

namespace kwivel::py {

namespace {

using SignObject = IndexObject<SignBitmapIndex>;

SignBitmapIndex& core(SignObject& o) { return *o.core; }

struct SignTraits {
    using Core = SignBitmapIndex;
    static constexpr const char* write_doc =
        "write($self, path)\n--\n\n"
        "Persist the sign-bitmap payload to a `.kwsb` file. Format: 13-byte header\n"
        "(`KWSB` magic + version + dim + n_vectors) + LE u64 bitmaps.\n\n"
        "`path` is forwarded to the filesystem unmodified \u2014 no `..` / traversal\n"
        "sanitisation \u2014 so treat it as trusted input (see the module docstring).";
    static constexpr const char* load_doc =
        "load($cls, path)\n--\n\n"
        "Load a `SignBitmap` from a `.kwsb` file previously written by\n"
        "[`SignBitmap::write`] (legacy `.hysb` files are also accepted). Raises\n"
        "`IOError` if the file is missing, malformed, or its payload length\n"
        "disagrees with the header-declared shape.\n\n"
        "`path` is forwarded to the filesystem unmodified \u2014 no `..` / traversal\n"
        "sanitisation \u2014 so treat it as trusted input (see the module docstring).";
    static void write_file(const Core& index, const std::string& path) { write_sign_bitmap(index, path); }
    static Core load_file(const std::string& path) { return load_sign_bitmap(path); }
    static constexpr const char* name = "SignBitmap";
    static constexpr const char* swap_remove_doc = "";  // no removal
};
using Common = CommonMembers<SignTraits>;

// A (batch, dim) block of queries, gated, checked against the index size
// and copied; rows receives the batch size.
std::vector<float> batch_copy(PyObject* obj, const SignBitmapIndex& idx, std::size_t& rows) {
    F32View view = as_f32_2d(obj, idx.dim());
    require_dense_rows(view);
    std::size_t cells;
    if (!checked_mul(view.rows, std::max(idx.size(), idx.words_per_vec()), cells))
        raise(PyExc_ValueError, "batch * index size overflows usize");
    rows = view.rows;
    return view.to_vector();
}

// ----- constructor -----------------------------------------------------------------

const Signature kNew("", "SignBitmap(dim)\n--\n\n");

PyObject* sign_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a = parse_args(kNew, args, kwargs);
        const std::uint64_t dim = to_u64(a[0], "dim");
        if (dim == 0 || dim % 64 != 0) raise(PyExc_ValueError, "dim must be a positive multiple of 64");
        if (dim > MAX_SIGN_BITMAP_DIM)
            raise(PyExc_ValueError, "dim " + std::to_string(dim) + " exceeds the maximum sign-bitmap dimension " +
                                        std::to_string(MAX_SIGN_BITMAP_DIM));
        return new_index_object(type, SignBitmapIndex(dim));
    });
}

// ----- methods -----------------------------------------------------------------------

const Signature kAdd("SignBitmap", "add($self, vectors)\n--\n\n");
PyObject* sign_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<SignObject>(self, Claim::exclusive, kAdd, args, nargs, kwnames, [](SignObject& o, const Args& a) {
        SignBitmapIndex& idx = core(o);
        F32View view = as_f32_2d(a[0], idx.dim(), /*scan_finite=*/false);
        require_dense_rows(view);
        // The call's private copy of the rows is their sign bits: one
        // parallel pass over the caller's floats under the lock, which also
        // does the gate's finiteness scan; less work than copying the
        // floats, and all that the rows contribute.  The index grows with
        // the lock released.
        bool finite = true;
        RowBuffer<std::uint64_t> words = idx.bitmaps(view.data, view.size(), &finite);
        if (!finite) raise(PyExc_ValueError, finite_message());
        check_add_capacity(idx.size(), view.rows, idx.words_per_vec(), 8);
        view.owner = Ref();
        run_released([&] { idx.append(std::move(words)); });
        Py_RETURN_NONE;
    });
}

const Signature kTopM("SignBitmap",
    "top_m_candidates($self, query, m)\n--\n\n"
    "Top-`m` candidate doc IDs for a single query, ranked by ascending Hamming\n"
    "distance (= descending sign agreement). Returns a 1-D `uint32` array of\n"
    "length `min(m, len(index))`.");
PyObject* sign_top_m(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<SignObject>(self, Claim::shared, kTopM, args, nargs, kwnames, [](SignObject& o, const Args& a) {
        const SignBitmapIndex& idx = core(o);
        const std::uint64_t m = to_u64(a[1], "m");
        const std::vector<float> q = gated_query(a[0], idx.dim());
        std::vector<std::uint32_t> ids;
        run_released([&] { ids = idx.top_m_candidates(q.data(), q.size(), m); });
        const std::size_t len = ids.size();
        return to_numpy(std::move(ids), {len});
    });
}

const Signature kTopMBatched("SignBitmap",
    "top_m_candidates_batched($self, queries, m)\n--\n\n"
    "Batched: streams the sign-bitmap corpus once per CHUNK=8 queries via the\n"
    "AVX-512 VPOPCNTDQ XOR-popcount kernel. `queries` is a flat `(batch, dim)`\n"
    "array. Returns a 2-D `uint32` array of shape `(batch, m_eff)` where\n"
    "`m_eff = min(m, len(index))`. The second dimension is `m_eff` regardless of\n"
    "`batch` \u2014 an empty queries array (`batch=0`) returns shape `(0, m_eff)`,\n"
    "not `(0, 0)`, so callers get a consistent column count across batched calls.");
PyObject* sign_top_m_batched(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<SignObject>(self, Claim::shared, kTopMBatched, args, nargs, kwnames,
                                   [](SignObject& o, const Args& a) {
        const SignBitmapIndex& idx = core(o);
        const std::uint64_t m = to_u64(a[1], "m");
        std::size_t nq = 0;
        const std::vector<float> q = batch_copy(a[0], idx, nq);
        const std::size_t m_eff = std::min<std::uint64_t>(m, idx.size());
        std::vector<std::uint32_t> ids;
        run_released([&] { ids = idx.top_m_candidates_batched(q.data(), q.size(), m); });
        std::size_t cells;
        if (!checked_mul(nq, m_eff, cells)) raise(PyExc_ValueError, "result size (batch * m) overflows usize");
        KW_ASSERT(ids.size() == cells, "internal: batched candidate flatten shape invariant");
        return to_numpy(std::move(ids), {nq, m_eff});
    });
}

const Signature kScoreAll("SignBitmap",
    "score_all($self, query)\n--\n\n"
    "Dense full-corpus sign-agreement scores for a single query. Returns a\n"
    "1-D `uint32` array of length `len(index)`, aligned by document id.");
PyObject* sign_score_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<SignObject>(self, Claim::shared, kScoreAll, args, nargs, kwnames, [](SignObject& o, const Args& a) {
        const SignBitmapIndex& idx = core(o);
        const std::vector<float> q = gated_query(a[0], idx.dim());
        ScoreBuffer scores;
        run_released([&] { scores = idx.score_all(q.data(), q.size()); });
        const std::size_t len = scores.size();
        return to_numpy(std::move(scores), {len});
    });
}

const Signature kScoreAllBatched("SignBitmap",
    "score_all_batched($self, queries)\n--\n\n"
    "Batched dense full-corpus sign-agreement scores. Returns a 2-D `uint32`\n"
    "array of shape `(batch, len(index))`, aligned by query row and document id.");
PyObject* sign_score_all_batched(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<SignObject>(self, Claim::shared, kScoreAllBatched, args, nargs, kwnames,
                                   [](SignObject& o, const Args& a) {
        const SignBitmapIndex& idx = core(o);
        std::size_t nq = 0;
        const std::vector<float> q = batch_copy(a[0], idx, nq);
        ScoreBuffer scores;
        run_released([&] { scores = idx.score_all_batched(q.data(), q.size()); });
        KW_ASSERT(scores.size() == nq * idx.size(), "internal: batched dense score flatten shape invariant");
        return to_numpy(std::move(scores), {nq, idx.size()});
    });
}

const Signature kQueryBitmap("SignBitmap",
    "build_query_bitmap($self, query)\n--\n\n"
    "Build the query-side sign bitmap from an FP32 query, returned as a 1-D\n"
    "`uint64` array of `dim / 64` words (`bit j` set iff `q[j] > 0`).");
PyObject* sign_build_query_bitmap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<SignObject>(self, Claim::shared, kQueryBitmap, args, nargs, kwnames,
                                   [](SignObject& o, const Args& a) {
        const SignBitmapIndex& idx = core(o);
        F32View view = as_f32_1d(a[0], true, idx.dim());
        require_dense_rows(view);
        std::vector<std::uint64_t> words = idx.build_query_bitmap(view.data, view.size());
        const std::size_t len = words.size();
        return to_numpy(std::move(words), {len});
    });
}

// ----- slots and properties ------------------------------------------------------------

PyObject* sign_repr(PyObject* self) {
    return call_slot<SignObject>(self, Claim::shared, [](SignObject& o) {
        const SignBitmapIndex& idx = core(o);
        const std::string s = "SignBitmap(dim=" + std::to_string(idx.dim()) + ", n=" + std::to_string(idx.size()) + ")";
        return PyUnicode_FromString(s.c_str());
    });
}

PyObject* sign_get_bytes_per_vec(PyObject* self, void*) {
    return call_slot<SignObject>(self, Claim::shared,
                                 [](SignObject& o) { return PyLong_FromSize_t(core(o).bytes_per_vec()); });
}
PyObject* sign_get_byte_size(PyObject* self, void*) {
    return call_slot<SignObject>(self, Claim::shared,
                                 [](SignObject& o) { return PyLong_FromSize_t(core(o).byte_size()); });
}

PyMethodDef sign_methods[] = {
    KW_METHOD("add", sign_add, kAdd.doc(), 0),
    KW_METHOD("top_m_candidates", sign_top_m, kTopM.doc(), 0),
    KW_METHOD("top_m_candidates_batched", sign_top_m_batched, kTopMBatched.doc(), 0),
    KW_METHOD("score_all", sign_score_all, kScoreAll.doc(), 0),
    KW_METHOD("score_all_batched", sign_score_all_batched, kScoreAllBatched.doc(), 0),
    KW_METHOD("build_query_bitmap", sign_build_query_bitmap, kQueryBitmap.doc(), 0),
    KW_METHOD("write", Common::write, Common::write_doc, 0),
    KW_METHOD("load", Common::load, Common::load_doc, METH_CLASS),
    KW_METHOD("is_empty", Common::is_empty, Common::is_empty_doc, 0),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sign_getset[] = {
    {"dim", Common::get_dim, nullptr, nullptr, nullptr},
    {"bytes_per_vec", sign_get_bytes_per_vec, nullptr, nullptr, nullptr},
    {"byte_size", sign_get_byte_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot sign_slots[] = {
    {Py_tp_doc, const_cast<char*>(kNew.doc())},
    {Py_tp_new, reinterpret_cast<void*>(sign_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_index_object<SignBitmapIndex>)},
    {Py_tp_repr, reinterpret_cast<void*>(sign_repr)},
    {Py_sq_length, reinterpret_cast<void*>(Common::len)},
    {Py_tp_methods, sign_methods},
    {Py_tp_getset, sign_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec sign_bitmap_spec = {
    "kwivel.SignBitmap", sizeof(SignObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, sign_slots,
};

}  // namespace kwivel::py
