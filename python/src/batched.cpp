// The module `kwivel._batched`: searches that run several index objects of
// `kwivel._kwivel` together.  The objects are recognised by the four type
// objects of that module, looked up once in the execution step; both
// modules are built from the same frame, so they share the instance layout
// and the claim counter of each object.
#include "frame.h"
#include "gates.h"
#include "members.h"

#include <algorithm>
#include <string>

#include "base/parallel.h"
#include "index/bitmap.h"
#include "index/rank_quant.h"
#include "index/sign_bitmap.h"
#include "kernels/dispatch.h"
#include "ordinal/rank_transform.h"
#include "search/cell_search.h"
#include "search/top_columns.h"

namespace kwivel::py {

namespace {

// The classes of kwivel._kwivel (strong references, kept for the process).
struct Types {
    PyTypeObject* rank = nullptr;
    PyTypeObject* rank_quant = nullptr;
    PyTypeObject* bitmap = nullptr;
    PyTypeObject* sign_bitmap = nullptr;
} types;

PyTypeObject* class_of(PyObject* module, const char* name) {
    PyObject* t = PyObject_GetAttrString(module, name);
    if (!t) raise_current();
    if (!PyType_Check(t)) {
        Py_DECREF(t);
        raise(PyExc_TypeError, std::string("kwivel._kwivel.") + name + " is not a class");
    }
    return reinterpret_cast<PyTypeObject*>(t);
}

template <class Core>
IndexObject<Core>& index_object(PyObject* obj) {
    return *reinterpret_cast<IndexObject<Core>*>(obj);
}

const char* type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

// A 1-D or 2-D integer array as a C-contiguous int64 array (a new
// reference; the caller's own array when it already is one).
Ref as_int64(PyObject* obj, int ndim, const char* name) {
    if (!PyArray_Check(obj) || !PyArray_ISINTEGER(reinterpret_cast<PyArrayObject*>(obj)))
        raise(PyExc_TypeError, std::string(name) + " must be an integer array, got " + type_name(obj));
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != ndim)
        raise(PyExc_ValueError, std::string(name) + " must be a " + std::to_string(ndim) + "-D array, got " +
                                    std::to_string(PyArray_NDIM(arr)) + "-D");
    PyObject* conv = PyArray_FromAny(obj, PyArray_DescrFromType(NPY_INT64), ndim, ndim, NPY_ARRAY_CARRAY_RO, nullptr);
    if (!conv) raise_current();
    return Ref(conv);
}

const std::int64_t* int64_data(const Ref& a) {
    return static_cast<const std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())));
}
std::size_t dim_of(const Ref& a, int axis) {
    return static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(a.get()), axis));
}

// ----- search_cells ------------------------------------------------------------------

const Signature kSearchCells("",
    "search_cells(probe, rerank, queries, starts, cells, ids, m, k, vectors=None, rescore=0, allowed=None, centre=None)\n"
    "--\n\n"
    "Two-stage search over rows stored cell by cell.\n\n"
    "`probe` (a `Bitmap` or `SignBitmap`) and `rerank` (a `RankQuant`) hold the\n"
    "same rows in the same order; cell c is rows `starts[c]:starts[c + 1]`.\n"
    "Query q probes the cells `cells[q]`; the best `m` rows of those cells by\n"
    "probe score form its shortlist, which `rerank` orders by asymmetric score\n"
    "(keeping `max(k, rescore)`); with `rescore > 0` the kept rows are rescored\n"
    "by exact cosine against `vectors` (float32, row order). `ids` are the\n"
    "caller's unique ids of the rows (None: row positions); `allowed` (one flag\n"
    "per row) excludes rows. With `centre` (dim floats) the probe's query\n"
    "bitmaps are built from each query scaled to unit length minus `centre`\n"
    "(a probe built on centred unit rows); the rerank and the rescoring read\n"
    "the queries as given. Returns `(scores, ids)`, float32 and int64 of\n"
    "shape (nq, k), best first, ties by lower id, padded with -inf / -1.");

PyObject* search_cells(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kSearchCells, args, nargs, kwnames, [](const Args& a) -> PyObject* {
        PyObject* probe = a[0];
        PyObject* rerank = a[1];
        const bool is_bitmap = PyObject_TypeCheck(probe, types.bitmap);
        if (!is_bitmap && !PyObject_TypeCheck(probe, types.sign_bitmap))
            raise(PyExc_TypeError, std::string("probe must be a Bitmap or SignBitmap, got ") + type_name(probe));
        if (!PyObject_TypeCheck(rerank, types.rank_quant))
            raise(PyExc_TypeError, std::string("rerank must be a RankQuant, got ") + type_name(rerank));
        // Claims first: both objects stay as they are for the whole call.
        ClaimCounter* probe_claim = is_bitmap ? &index_object<BitmapIndex>(probe).claim
                                              : &index_object<SignBitmapIndex>(probe).claim;
        ClaimGuard probe_guard(probe_claim, Claim::shared);
        IndexObject<RankQuantIndex>& rq_obj = index_object<RankQuantIndex>(rerank);
        ClaimGuard rerank_guard(&rq_obj.claim, Claim::shared);
        const RankQuantIndex& rq = *rq_obj.core;

        CellSearchInput in;
        std::size_t probe_dim = 0, probe_n = 0;
        const BitmapIndex* bm = nullptr;
        const SignBitmapIndex* sb = nullptr;
        if (is_bitmap) {
            bm = index_object<BitmapIndex>(probe).core;
            probe_dim = bm->dim();
            probe_n = bm->size();
            in.probe_words = bm->words().data();
            in.wpv = bm->words_per_vec();
            in.op = PopOp::and_op;
            in.max_score = static_cast<std::uint32_t>(bm->n_top());
            in.best_first = true;
        } else {
            sb = index_object<SignBitmapIndex>(probe).core;
            probe_dim = sb->dim();
            probe_n = sb->size();
            in.probe_words = sb->words().data();
            in.wpv = sb->words_per_vec();
            in.op = PopOp::xor_op;
            in.max_score = static_cast<std::uint32_t>(sb->dim());
            in.best_first = false;
        }
        if (probe_dim != rq.dim())
            raise(PyExc_ValueError, "probe and rerank index differ in dim: " + std::to_string(probe_dim) + " vs " +
                                        std::to_string(rq.dim()));
        if (probe_n != rq.size())
            raise(PyExc_ValueError, "probe and rerank index differ in length: " + std::to_string(probe_n) + " vs " +
                                        std::to_string(rq.size()) + " vectors");
        const std::size_t n = rq.size(), dim = rq.dim();
        in.codes = rq.codes().data();
        in.dim = dim;
        in.bits = rq.bits();
        in.n = n;

        in.m = to_u64(a[6], "m");
        in.k = to_u64(a[7], "k");
        in.rescore = a[9] ? to_u64(a[9], "rescore") : 0;

        F32View qview = as_f32_2d(a[2], dim);
        require_dense_rows(qview);
        const std::size_t nq = qview.rows;

        Ref starts = as_int64(a[3], 1, "starts");
        const std::size_t n_starts = dim_of(starts, 0);
        const std::int64_t* st = int64_data(starts);
        if (n_starts < 2) raise(PyExc_ValueError, "starts must hold n_cells + 1 >= 2 offsets");
        if (st[0] != 0) raise(PyExc_ValueError, "starts[0] must be 0");
        for (std::size_t c = 1; c < n_starts; ++c)
            if (st[c] < st[c - 1]) raise(PyExc_ValueError, "starts must be non-decreasing");
        if (st[n_starts - 1] != static_cast<std::int64_t>(n))
            raise(PyExc_ValueError, "starts[-1] must equal the number of rows (" + std::to_string(n) + ")");
        in.starts = st;
        in.n_cells = n_starts - 1;

        Ref cells = as_int64(a[4], 2, "cells");
        if (dim_of(cells, 0) != nq)
            raise(PyExc_ValueError, "cells has " + std::to_string(dim_of(cells, 0)) + " rows, queries " +
                                        std::to_string(nq));
        in.cells = int64_data(cells);
        in.nprobe = dim_of(cells, 1);
        for (std::size_t i = 0; i < nq * in.nprobe; ++i)
            if (in.cells[i] < 0 || static_cast<std::size_t>(in.cells[i]) >= in.n_cells)
                raise(PyExc_ValueError, "cells must lie in [0, " + std::to_string(in.n_cells) + ")");

        Ref ids;
        if (a[5] != Py_None) {
            ids = as_int64(a[5], 1, "ids");
            if (dim_of(ids, 0) != n)
                raise(PyExc_ValueError, "ids has " + std::to_string(dim_of(ids, 0)) + " entries, expected " +
                                            std::to_string(n));
            in.ids = int64_data(ids);
        }

        Ref vectors;
        if (a[8] && a[8] != Py_None) {
            if (!PyArray_Check(a[8])) raise(PyExc_TypeError, std::string("vectors must be a float32 array, got ") + type_name(a[8]));
            auto* v = reinterpret_cast<PyArrayObject*>(a[8]);
            if (PyArray_TYPE(v) != NPY_FLOAT32 || !PyArray_ISNOTSWAPPED(v))
                raise(PyExc_TypeError, "vectors must be a float32 array");
            if (PyArray_NDIM(v) != 2 || static_cast<std::size_t>(PyArray_DIM(v, 0)) != n ||
                static_cast<std::size_t>(PyArray_DIM(v, 1)) != dim)
                raise(PyExc_ValueError, "vectors must have shape (" + std::to_string(n) + ", " + std::to_string(dim) + ")");
            const npy_intp rs = PyArray_STRIDE(v, 0), cs = PyArray_STRIDE(v, 1);
            if ((dim > 1 && cs != 4) || (n > 1 && (rs < 0 || rs % 4 != 0)) || !PyArray_ISALIGNED(v))
                raise(PyExc_ValueError, "vectors rows must be contiguous float32 values");
            Py_INCREF(a[8]);
            vectors = Ref(a[8]);
            in.vectors = static_cast<const float*>(PyArray_DATA(v));
            in.vector_stride = n > 1 ? static_cast<std::size_t>(rs / 4) : dim;
        }
        if (in.rescore > 0) {
            if (!vectors) raise(PyExc_ValueError, "rescore needs the float vectors: pass vectors=");
            if (in.rescore < in.k)
                raise(PyExc_ValueError, "rescore (" + std::to_string(in.rescore) + ") must be >= k (" +
                                            std::to_string(in.k) + ")");
        }

        Ref allowed;
        if (a[10] && a[10] != Py_None) {
            PyObject* o = a[10];
            if (!PyArray_Check(o) || (PyArray_TYPE(reinterpret_cast<PyArrayObject*>(o)) != NPY_UINT8 &&
                                      PyArray_TYPE(reinterpret_cast<PyArrayObject*>(o)) != NPY_BOOL))
                raise(PyExc_TypeError, std::string("allowed must be a uint8 or bool array, got ") + type_name(o));
            auto* arr = reinterpret_cast<PyArrayObject*>(o);
            if (PyArray_NDIM(arr) != 1 || static_cast<std::size_t>(PyArray_DIM(arr, 0)) != n)
                raise(PyExc_ValueError, "allowed must have shape (" + std::to_string(n) + ",)");
            PyObject* conv = PyArray_FromAny(o, PyArray_DescrFromType(NPY_UINT8), 1, 1, NPY_ARRAY_CARRAY_RO, nullptr);
            if (!conv) raise_current();
            allowed = Ref(conv);
            in.allowed = static_cast<const std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(conv)));
        }

        std::vector<float> centre;
        if (a[11] && a[11] != Py_None) centre = gated_query(a[11], dim);

        const std::vector<float> queries = qview.to_vector();
        qview.owner = Ref();
        in.queries = queries.data();
        in.nq = nq;
        SearchResult result;
        std::vector<std::uint64_t> qwords;
        run_released([&] {
            qwords.resize(nq * in.wpv);
            parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
                std::vector<float> shifted;
                for (std::size_t q = lo; q < hi; ++q) {
                    const float* v = in.queries + q * dim;
                    if (!centre.empty()) {
                        shifted = l2_normalise(v, dim);
                        for (std::size_t j = 0; j < dim; ++j) shifted[j] -= centre[j];
                        v = shifted.data();
                    }
                    const std::vector<std::uint64_t> w = bm ? bm->build_query_bitmap_fp32(v, dim)
                                                            : sb->build_query_bitmap(v, dim);
                    std::copy(w.begin(), w.end(), qwords.begin() + static_cast<std::ptrdiff_t>(q * in.wpv));
                }
            });
            in.query_words = qwords.data();
            result = cell_search(in, active_tier());
        });
        Ref out_scores(to_numpy(std::move(result.scores), {nq, in.k}));
        Ref out_ids(to_numpy(std::move(result.ids), {nq, in.k}));
        return pair(std::move(out_scores), std::move(out_ids));
    });
}

// ----- top_cells ---------------------------------------------------------------------

const Signature kTopCells("",
    "top_cells(scores, width)\n"
    "--\n\n"
    "The `width` best columns of every row of `scores` (a 2-D float32 array,\n"
    "e.g. queries against cell centroids): int64 of shape (rows, width), best\n"
    "first, scores descending in IEEE total order, equal scores by lower column.");

PyObject* top_cells(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kTopCells, args, nargs, kwnames, [](const Args& a) -> PyObject* {
        PyObject* o = a[0];
        if (!PyArray_Check(o) || PyArray_TYPE(reinterpret_cast<PyArrayObject*>(o)) != NPY_FLOAT32)
            raise(PyExc_TypeError, std::string("scores must be a float32 array, got ") + type_name(o));
        if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(o)) != 2)
            raise(PyExc_ValueError, "scores must be a 2-D array");
        PyObject* conv = PyArray_FromAny(o, PyArray_DescrFromType(NPY_FLOAT32), 2, 2, NPY_ARRAY_CARRAY_RO, nullptr);
        if (!conv) raise_current();
        Ref scores(conv);
        const std::size_t rows = dim_of(scores, 0), cols = dim_of(scores, 1);
        const std::uint64_t width = to_u64(a[1], "width");
        if (width > cols)
            raise(PyExc_ValueError, "width (" + std::to_string(width) + ") exceeds the columns (" +
                                        std::to_string(cols) + ")");
        // The call's own copy (NaNs included: they have a place in the order).
        const auto* first = static_cast<const float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(conv)));
        const std::vector<float> s(first, first + rows * cols);
        scores = Ref();
        std::vector<std::int64_t> out(rows * width);
        run_released([&] { top_columns(s.data(), rows, cols, width, out.data()); });
        return to_numpy(std::move(out), {rows, static_cast<std::size_t>(width)});
    });
}

PyMethodDef functions[] = {
    KW_METHOD("search_cells", search_cells, kSearchCells.doc(), 0),
    KW_METHOD("top_cells", top_cells, kTopCells.doc(), 0),
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
    if (import_numpy() < 0) return -1;
    if (!panic_exception()) return -1;
    PyObject* result = guarded([&]() -> PyObject* {
        (void)active_tier();
        if (!types.rank) {
            Ref core(PyImport_ImportModule("kwivel._kwivel"));
            if (!core) raise_current();
            types.rank = class_of(core.get(), "Rank");
            types.rank_quant = class_of(core.get(), "RankQuant");
            types.bitmap = class_of(core.get(), "Bitmap");
            types.sign_bitmap = class_of(core.get(), "SignBitmap");
        }
        if (PyModule_AddFunctions(module, functions) != 0) raise_current();
        Ref all(Py_BuildValue("[ss]", "search_cells", "top_cells"));
        if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) != 0) raise_current();
        Py_RETURN_NONE;
    });
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_batched",
    "Batched searches over several index objects of `kwivel._kwivel` at once.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace kwivel::py

PyMODINIT_FUNC PyInit__batched(void) { return PyModuleDef_Init(&kwivel::py::module_def); }
