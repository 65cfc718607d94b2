// The module's free functions.
#include "classes.h"
#include "gates.h"
#include "members.h"

#include <string>

#include "base/limits.h"
#include "index/eval_search.h"
#include "index/rank.h"

namespace kwivel::py {

namespace {

const Signature kRankTransform("",
    "rank_transform(v)\n--\n\n"
    "Dimension-wise rank transform: `out[k]` = rank of `v[k]` among `v` (ties\n"
    "broken by index), equivalent to numpy `argsort(argsort(v))`. Returns a 1-D\n"
    "`uint16` array; `len(v)` must be <= 65535 (the u16 rank invariant).");
PyObject* fn_rank_transform(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kRankTransform, args, nargs, kwnames, [](const Args& a) {
        F32View v = as_f32_1d(a[0], false, 0);
        if (v.size() > MAX_DIM)
            raise(PyExc_ValueError, "length " + std::to_string(v.size()) + " exceeds u16::MAX (65535)");
        const std::vector<float> values = v.to_vector();
        return to_numpy(rank_transform(values.data(), values.size()), {values.size()});
    });
}

// ----- bucket arithmetic ---------------------------------------------------------

[[noreturn]] void value_error(const std::string& msg) { raise(PyExc_ValueError, msg); }

void require_bits_below_8(unsigned bits) {
    if (bits >= 8) value_error("bits must be <= 7");
}

// Codes per byte for a packable width, or the width refusal.
std::size_t packable_codes_per_byte(unsigned bits) {
    if (bits != 1 && bits != 2 && bits != 4) value_error("bits must be 1, 2, or 4");
    return codes_per_byte(bits);
}

const Signature kRankToBucket("",
    "rank_to_bucket(rank, d, bits)\n--\n\n"
    "Bucket a single rank into one of `1 << bits` equal-width bins on `[0, d)`.");
PyObject* fn_rank_to_bucket(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kRankToBucket, args, nargs, kwnames, [](const Args& a) {
        const std::uint16_t rank = to_u16(a[0], "rank");
        const std::uint64_t d = to_u64(a[1], "d");
        const std::uint8_t bits = to_u8(a[2], "bits");
        require_bits_below_8(bits);
        if (d == 0) value_error("d must be > 0");
        if (rank >= d) value_error("rank (" + std::to_string(rank) + ") must be < d (" + std::to_string(d) + ")");
        return PyLong_FromUnsignedLong(rank_to_bucket(rank, d, bits));
    });
}

const Signature kBucketRanks("",
    "bucket_ranks(ranks, bits)\n--\n\n"
    "Bucket every entry of a rank vector. Returns a 1-D `uint8` array.");
PyObject* fn_bucket_ranks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kBucketRanks, args, nargs, kwnames, [](const Args& a) {
        const TypedView<std::uint16_t> ranks = as_typed_1d<std::uint16_t>(a[0], "ranks");
        const std::uint8_t bits = to_u8(a[1], "bits");
        require_bits_below_8(bits);
        ranks.require_contiguous();
        const std::vector<std::uint16_t> r = ranks.to_vector();
        for (std::uint16_t x : r)
            if (x >= r.size())
                value_error("rank (" + std::to_string(x) + ") must be < d (" + std::to_string(r.size()) + ")");
        return to_numpy(bucket_ranks(r.data(), r.size(), bits), {r.size()});
    });
}

const Signature kPackBuckets("",
    "pack_buckets(buckets, bits)\n--\n\n"
    "Pack bucket indices (each in `[0, 1 << bits)`) into a dense byte stream.\n"
    "`bits` \u2208 {1, 2, 4}; `len(buckets)` must be a multiple of `8 / bits`.");
PyObject* fn_pack_buckets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kPackBuckets, args, nargs, kwnames, [](const Args& a) {
        const TypedView<std::uint8_t> buckets = as_typed_1d<std::uint8_t>(a[0], "buckets");
        const std::uint8_t bits = to_u8(a[1], "bits");
        const std::size_t per_byte = packable_codes_per_byte(bits);
        buckets.require_contiguous();
        if (buckets.len % per_byte != 0)
            value_error("len " + std::to_string(buckets.len) + " must be a multiple of " + std::to_string(per_byte) +
                        " for bits = " + std::to_string(bits));
        const std::vector<std::uint8_t> codes = buckets.to_vector();
        const unsigned limit = 1u << bits;
        for (std::uint8_t c : codes)
            if (c >= limit)
                value_error("bucket value " + std::to_string(c) + " out of range [0, " + std::to_string(limit) +
                            ") for bits = " + std::to_string(bits));
        return to_numpy(pack_buckets(codes.data(), codes.size(), bits), {codes.size() / per_byte});
    });
}

const Signature kUnpackBuckets("",
    "unpack_buckets(packed, d, bits)\n--\n\n"
    "Unpack a `bits`-bit packed byte stream into `d` bucket indices (inverse of\n"
    "`pack_buckets`). Returns a 1-D `uint8` array.");
PyObject* fn_unpack_buckets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kUnpackBuckets, args, nargs, kwnames, [](const Args& a) {
        const TypedView<std::uint8_t> packed = as_typed_1d<std::uint8_t>(a[0], "packed");
        const std::uint64_t d = to_u64(a[1], "d");
        const std::uint8_t bits = to_u8(a[2], "bits");
        const std::size_t per_byte = packable_codes_per_byte(bits);
        packed.require_contiguous();
        std::size_t n_codes;
        if (!checked_mul(packed.len, per_byte, n_codes) || n_codes != d)
            value_error("packed length " + std::to_string(packed.len) + " * " + std::to_string(per_byte) +
                        " codes/byte != d = " + std::to_string(d));
        const std::vector<std::uint8_t> bytes = packed.to_vector();
        return to_numpy(unpack_buckets(bytes.data(), d, bits), {d});
    });
}

const Signature kRankquantBytesPerVec("",
    "rankquant_bytes_per_vec(d, bits)\n--\n\n"
    "Bytes per packed RankQuant document at dimension `d` and bit width `bits`.");
PyObject* fn_rankquant_bytes_per_vec(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kRankquantBytesPerVec, args, nargs, kwnames, [](const Args& a) {
        const std::uint64_t d = to_u64(a[0], "d");
        const std::uint8_t bits = to_u8(a[1], "bits");
        const std::size_t per_byte = packable_codes_per_byte(bits);
        if (d % per_byte != 0)
            value_error("d " + std::to_string(d) + " must be a multiple of " + std::to_string(per_byte) +
                        " for bits = " + std::to_string(bits));
        return PyLong_FromUnsignedLongLong(d / per_byte);
    });
}

const Signature kBucketCentre("",
    "bucket_centre(bucket, bits)\n--\n\n"
    "Mean-centred value of a bucket index for a `bits`-bit RankQuant scheme.");
PyObject* fn_bucket_centre(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kBucketCentre, args, nargs, kwnames, [](const Args& a) {
        const std::uint8_t bucket = to_u8(a[0], "bucket");
        const std::uint8_t bits = to_u8(a[1], "bits");
        require_bits_below_8(bits);
        const unsigned limit = 1u << bits;
        if (bucket >= limit)
            value_error("bucket " + std::to_string(bucket) + " out of range [0, " + std::to_string(limit) +
                        ") for bits = " + std::to_string(bits));
        return PyFloat_FromDouble(bucket_centre(bucket, bits));
    });
}

const Signature kRankNorm("",
    "rank_norm(d)\n--\n\n"
    "Analytical L2 norm of a mean-centred rank vector of length `d`:\n"
    "`sqrt(d * (d^2 - 1) / 12)`.");
PyObject* fn_rank_norm(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kRankNorm, args, nargs, kwnames, [](const Args& a) {
        return PyFloat_FromDouble(rank_norm(to_u64(a[0], "d")));
    });
}

const Signature kRankquantNorm("",
    "rankquant_norm(d, bits)\n--\n\n"
    "Analytical L2 norm of a mean-centred `bits`-bit RankQuant vector of length\n"
    "`d` (assumes uniform bucket composition, exact for permutation ranks).");
PyObject* fn_rankquant_norm(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kRankquantNorm, args, nargs, kwnames, [](const Args& a) {
        const std::uint64_t d = to_u64(a[0], "d");
        const std::uint8_t bits = to_u8(a[1], "bits");
        packable_codes_per_byte(bits);
        return PyFloat_FromDouble(rankquant_norm(d, bits));
    });
}

// ----- evaluation search -----------------------------------------------------------

// The corpus width: read directly from a 2-D float32 array, otherwise after
// the float gate's kind and dimension check.
std::uint64_t corpus_width(PyObject* corpus) {
    if (PyArray_Check(corpus)) {
        auto* arr = reinterpret_cast<PyArrayObject*>(corpus);
        PyArray_Descr* f32 = PyArray_DescrFromType(NPY_FLOAT32);
        const bool fast = PyArray_NDIM(arr) == 2 && PyArray_EquivTypes(PyArray_DESCR(arr), f32);
        Py_DECREF(f32);
        if (fast) return static_cast<std::uint64_t>(PyArray_DIM(arr, 1));
    }
    gate_float_ndim(corpus, 2);
    return axis_len(corpus, 1);
}

const Signature kRankquantEvalSearch("",
    "rankquant_eval_search(corpus, queries, bits, k)\n--\n\n"
    "Eval-only symmetric RankQuant-style search for arbitrary `bits` in `1..=7`.\n"
    "\n"
    "This rank-transforms and buckets the raw `corpus`/`queries` matrices on the\n"
    "fly, so it supports non-byte-aligned widths such as `bits=3` without changing\n"
    "`RankQuant` storage or `.kwrq` persistence. Returns `(scores, indices)` with\n"
    "the same shape contract as `RankQuant.search`.");
PyObject* fn_rankquant_eval_search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kRankquantEvalSearch, args, nargs, kwnames, [](const Args& a) {
        const std::uint8_t bits = to_u8(a[2], "bits");
        const std::uint64_t k = to_u64(a[3], "k");
        if (bits < 1 || bits > 7) value_error("bits must be in 1..=7");
        const std::uint64_t dim = corpus_width(a[0]);
        if (dim < 2 || dim > MAX_DIM) value_error("corpus width must be in [2, 65535]");
        F32View corpus_view = as_f32_2d(a[0], dim);
        require_dense_rows(corpus_view);
        F32View query_view = as_f32_2d(a[1], dim);
        require_dense_rows(query_view);
        std::vector<float> corpus = corpus_view.to_vector();
        corpus_view.owner = Ref();
        std::vector<float> queries = query_view.to_vector();
        query_view.owner = Ref();
        SearchResult r;
        run_released([&] {
            r = rankquant_eval_search(corpus.data(), corpus.size(), queries.data(), queries.size(), dim, bits, k,
                                      active_tier());
        });
        return search_result(std::move(r));
    });
}

#define KW_FUNCTION(name, fn, sig) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS, sig.doc()}

}  // namespace

PyMethodDef module_functions[] = {
    KW_FUNCTION("rank_transform", fn_rank_transform, kRankTransform),
    KW_FUNCTION("rank_to_bucket", fn_rank_to_bucket, kRankToBucket),
    KW_FUNCTION("bucket_ranks", fn_bucket_ranks, kBucketRanks),
    KW_FUNCTION("pack_buckets", fn_pack_buckets, kPackBuckets),
    KW_FUNCTION("unpack_buckets", fn_unpack_buckets, kUnpackBuckets),
    KW_FUNCTION("rankquant_bytes_per_vec", fn_rankquant_bytes_per_vec, kRankquantBytesPerVec),
    KW_FUNCTION("bucket_centre", fn_bucket_centre, kBucketCentre),
    KW_FUNCTION("rank_norm", fn_rank_norm, kRankNorm),
    KW_FUNCTION("rankquant_norm", fn_rankquant_norm, kRankquantNorm),
    KW_FUNCTION("rankquant_eval_search", fn_rankquant_eval_search, kRankquantEvalSearch),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kwivel::py
