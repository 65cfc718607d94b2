#include "gates.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "base/limits.h"
#include "base/parallel.h"
#include "index/rank.h"
#include "base/finite.h"
#include "base/memory.h"

namespace kwivel::py {

namespace {

constexpr const char* kNonContiguous =
    "expected a C-contiguous NumPy array; got non-contiguous input. Use np.ascontiguousarray(x, "
    "dtype=np.float32) if you intend to make a copy.";
constexpr const char* kNonFinite = "input contains NaN or infinity; kwivel requires all-finite f32 embeddings";
constexpr const char* kIdsNotContiguous = "array must be C-contiguous; call np.ascontiguousarray() first";

Ref getattr(PyObject* obj, const char* name) {
    PyObject* v = PyObject_GetAttrString(obj, name);
    if (!v) raise_current();
    return Ref(v);
}

std::string str_of(PyObject* obj) {
    Ref s(PyObject_Str(obj));
    if (!s) raise_current();
    const char* c = PyUnicode_AsUTF8(s.get());
    if (!c) raise_current();
    return c;
}

// Whether `obj` is an ndarray of `ndim` dimensions whose dtype is equivalent
// to the native type `typenum`.
bool is_array_of(PyObject* obj, int ndim, int typenum) {
    if (!PyArray_Check(obj)) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != ndim) return false;
    PyArray_Descr* want = PyArray_DescrFromType(typenum);
    const bool eq = PyArray_EquivTypes(PyArray_DESCR(arr), want);
    Py_DECREF(want);
    return eq;
}

[[noreturn]] void width_mismatch(std::uint64_t width, std::uint64_t dim) {
    raise(PyExc_ValueError,
          "array width " + std::to_string(width) + " does not match index dimension " + std::to_string(dim));
}

// Arrays at least this large are copied by the worker pool (the workers
// touch only the array's memory, never Python objects).
constexpr std::size_t kParallelFloats = std::size_t{1} << 20;

// Fills the view from a float32 array and runs the layout and finiteness checks.
F32View finish_view(Ref owner, std::size_t ndim, bool scan_finite = true) {
    auto* arr = reinterpret_cast<PyArrayObject*>(owner.get());
    F32View v;
    v.data = static_cast<const float*>(PyArray_DATA(arr));
    if (ndim == 2) {
        v.rows = static_cast<std::size_t>(PyArray_DIM(arr, 0));
        v.cols = static_cast<std::size_t>(PyArray_DIM(arr, 1));
        v.row_stride = PyArray_STRIDE(arr, 0);
        v.col_stride = PyArray_STRIDE(arr, 1);
    } else {
        v.rows = 1;
        v.cols = static_cast<std::size_t>(PyArray_DIM(arr, 0));
        v.row_stride = static_cast<npy_intp>(v.cols * sizeof(float));
        v.col_stride = PyArray_STRIDE(arr, 0);
    }
    v.owner = std::move(owner);
    const bool contiguous = ndim == 2
        ? (v.rows == 0 || v.cols == 0 ||
           ((v.cols == 1 || v.col_stride == 4) &&
            (v.rows == 1 || v.row_stride == static_cast<npy_intp>(4 * v.cols))))
        : (v.cols < 2 || v.col_stride == 4);
    if (!contiguous) raise(PyExc_ValueError, kNonContiguous);
    if (scan_finite && !all_finite(v.data, v.size())) raise(PyExc_ValueError, kNonFinite);
    return v;
}

// numpy.ascontiguousarray(obj, "float32").  The conversion runs under
// numpy.errstate(over="ignore", invalid="ignore"): a value beyond float32's
// range becomes an infinity that the finiteness check then refuses with its
// own ValueError, instead of NumPy warning about the cast first (which
// warnings-as-errors would turn into a different exception).
Ref ascontiguous_f32(PyObject* obj) {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) raise_current();
    Ref fn = getattr(numpy.get(), "ascontiguousarray");
    Ref errstate = getattr(numpy.get(), "errstate");
    Ref no_args(PyTuple_New(0));
    Ref quiet(Py_BuildValue("{s:s,s:s}", "over", "ignore", "invalid", "ignore"));
    if (!no_args || !quiet) raise_current();
    Ref ctx(PyObject_Call(errstate.get(), no_args.get(), quiet.get()));
    if (!ctx) raise_current();
    Ref entered(PyObject_CallMethod(ctx.get(), "__enter__", nullptr));
    if (!entered) raise_current();
    Ref res(PyObject_CallFunction(fn.get(), "Os", obj, "float32"));
    // Leave the context on every path, keeping a conversion error if any.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref exited(PyObject_CallMethod(ctx.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
    if (!exited) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        raise_current();
    }
    PyErr_Restore(type, value, tb);
    if (!res) raise_current();
    return res;
}

}  // namespace

std::unique_ptr<float[]> F32View::copy() const {
    const std::size_t n = size();
    std::unique_ptr<float[]> out(new float[std::max<std::size_t>(n, 1)]);
    advise_huge_pages(out.get(), n * sizeof(float));
    const auto fill = [&](std::size_t lo, std::size_t hi) {
        std::memcpy(out.get() + lo, data + lo, (hi - lo) * sizeof(float));
    };
    if (n < kParallelFloats)
        fill(0, n);
    else
        parallel_for(0, n, fill);  // each thread faults in and fills its own part
    return out;
}

std::vector<float> F32View::to_vector() const {
    const std::size_t n = size();
    if (n < kParallelFloats) return std::vector<float>(data, data + n);  // one pass, no zero fill
    std::vector<float> out;
    reserve_for_growth(out, n);
    out.resize(n);
    parallel_for(0, n, [&](std::size_t lo, std::size_t hi) {
        std::memcpy(out.data() + lo, data + lo, (hi - lo) * sizeof(float));
    });
    return out;
}

void gate_float_ndim(PyObject* obj, std::size_t ndim) {
    PyObject* dtype = PyObject_GetAttrString(obj, "dtype");
    if (!dtype) PyErr_Clear();
    Ref dtype_ref(dtype);
    if (dtype) {
        PyObject* kind = PyObject_GetAttrString(dtype, "kind");
        Ref kind_ref(kind);
        const char* k = nullptr;
        Py_ssize_t klen = 0;
        if (kind && PyUnicode_Check(kind)) k = PyUnicode_AsUTF8AndSize(kind, &klen);
        if (!k) PyErr_Clear();
        if (k && klen == 1 && k[0] == 'f') {
            PyObject* nd = PyObject_GetAttrString(obj, "ndim");
            Ref nd_ref(nd);
            std::size_t have = 0;
            bool ok = false;
            if (nd) {
                const unsigned long long x = PyLong_AsUnsignedLongLong(nd);
                if (!(x == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                    have = x;
                    ok = true;
                }
            }
            if (ok && have == ndim) return;
            PyErr_Clear();
            raise(PyExc_TypeError, "expected a " + std::to_string(ndim) + "-D float array");
        }
    }
    const std::string text = dtype ? str_of(dtype) : std::string("a non-array object");
    raise(PyExc_TypeError,
          "expected a floating-point NumPy array (float16/float32/float64), got " + text +
              "; kwivel rank/sign-transforms real vectors and converts them to float32 at the boundary \u2014 "
              "boolean, integer, complex, object, and string arrays are rejected (a {0, 1} or narrow-integer "
              "vector rank-transforms to a degenerate index artefact, not a meaningful ordinal signal; call "
              ".astype(np.float32) to opt in deliberately)");
}

std::uint64_t axis_len(PyObject* obj, std::size_t axis) {
    Ref shape = getattr(obj, "shape");
    Ref key(PyLong_FromSize_t(axis));
    if (!key) raise_current();
    Ref item(PyObject_GetItem(shape.get(), key.get()));
    if (!item) raise_current();
    const unsigned long long x = PyLong_AsUnsignedLongLong(item.get());
    if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_current();
    return x;
}

void require_c_contiguous(PyObject* obj) {
    Ref flags = getattr(obj, "flags");
    Ref c = getattr(flags.get(), "c_contiguous");
    const int truth = PyObject_IsTrue(c.get());
    if (truth < 0) raise_current();
    if (!truth) raise(PyExc_ValueError, kNonContiguous);
}

const char* finite_message() { return kNonFinite; }

F32View as_f32_2d(PyObject* obj, std::size_t dim, bool scan_finite) {
    if (is_array_of(obj, 2, NPY_FLOAT32)) {
        Py_INCREF(obj);
        Ref owner(obj);
        const auto width = static_cast<std::uint64_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(obj), 1));
        if (width != dim) width_mismatch(width, dim);
        return finish_view(std::move(owner), 2, scan_finite);
    }
    gate_float_ndim(obj, 2);
    const std::uint64_t width = axis_len(obj, 1);
    if (width != dim) width_mismatch(width, dim);
    require_c_contiguous(obj);
    Ref conv = ascontiguous_f32(obj);
    if (!is_array_of(conv.get(), 2, NPY_FLOAT32)) raise(PyExc_TypeError, "expected a 2-D float array of shape (n, dim)");
    return finish_view(std::move(conv), 2, scan_finite);
}

std::vector<float> gated_query(PyObject* obj, std::size_t dim) {
    F32View view = as_f32_1d(obj, true, dim);
    require_dense_rows(view);
    return view.to_vector();
}

F32View as_f32_1d(PyObject* obj, bool check_len, std::size_t len) {
    if (is_array_of(obj, 1, NPY_FLOAT32)) {
        Py_INCREF(obj);
        Ref owner(obj);
        const auto have = static_cast<std::uint64_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(obj), 0));
        if (check_len && have != len) width_mismatch(have, len);
        return finish_view(std::move(owner), 1);
    }
    gate_float_ndim(obj, 1);
    if (check_len) {
        const std::uint64_t have = axis_len(obj, 0);
        if (have != len) width_mismatch(have, len);
    }
    require_c_contiguous(obj);
    Ref conv = ascontiguous_f32(obj);
    if (!is_array_of(conv.get(), 1, NPY_FLOAT32)) raise(PyExc_TypeError, "expected a 1-D float array");
    return finish_view(std::move(conv), 1);
}

void require_dense_rows(const F32View& v) {
    if (v.rows == 0 || v.cols == 0) return;
    if ((v.cols > 1 && v.col_stride != 4) || (v.rows > 1 && v.row_stride != static_cast<npy_intp>(4 * v.cols)))
        raise(PyExc_ValueError, kIdsNotContiguous);
}

// ----- ids -----------------------------------------------------------------------

namespace {

template <class T>
std::vector<std::uint32_t> convert_ids(PyArrayObject* arr, const char* name) {
    const npy_intp n = PyArray_DIM(arr, 0);
    const npy_intp stride = PyArray_STRIDE(arr, 0);
    const char* base = static_cast<const char*>(PyArray_DATA(arr));
    std::vector<std::uint32_t> out;
    out.reserve(static_cast<std::size_t>(n));
    for (npy_intp i = 0; i < n; ++i) {
        T v;
        std::memcpy(&v, base + i * stride, sizeof v);
        if constexpr (std::is_signed_v<T>) {
            if (v < 0 || static_cast<std::int64_t>(v) > static_cast<std::int64_t>(UINT32_MAX))
                raise(PyExc_ValueError, std::string(name) + " " + std::to_string(v) +
                                            " is out of range for a u32 index (must be in 0..=4294967295)");
        } else if (static_cast<std::uint64_t>(v) > UINT32_MAX) {
            raise(PyExc_ValueError, std::string(name) + " " + std::to_string(v) +
                                        " is out of range for a u32 index (must be in 0..=4294967295)");
        }
        out.push_back(static_cast<std::uint32_t>(v));
    }
    return out;
}

bool contiguous_aligned(PyArrayObject* arr) {
    return PyArray_ISALIGNED(arr) && (PyArray_IS_C_CONTIGUOUS(arr) || PyArray_IS_F_CONTIGUOUS(arr));
}

}  // namespace

CandidateIds as_u32_ids_1d(PyObject* obj, const char* name) {
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (is_array_of(obj, 1, NPY_UINT32)) {
        Py_INCREF(obj);
        return CandidateIds(Ref(obj), name);
    }
    if (is_array_of(obj, 1, NPY_INT64)) return CandidateIds(convert_ids<std::int64_t>(arr, name), name);
    if (is_array_of(obj, 1, NPY_UINT64)) return CandidateIds(convert_ids<std::uint64_t>(arr, name), name);
    if (is_array_of(obj, 1, NPY_UINT16)) return CandidateIds(convert_ids<std::uint16_t>(arr, name), name);
    if (is_array_of(obj, 1, NPY_INT32)) return CandidateIds(convert_ids<std::int32_t>(arr, name), name);
    if (is_array_of(obj, 1, NPY_INT16)) return CandidateIds(convert_ids<std::int16_t>(arr, name), name);
    if (is_array_of(obj, 1, NPY_UINT8)) return CandidateIds(convert_ids<std::uint8_t>(arr, name), name);
    if (is_array_of(obj, 1, NPY_INT8)) return CandidateIds(convert_ids<std::int8_t>(arr, name), name);
    PyObject* dtype = PyObject_GetAttrString(obj, "dtype");
    if (!dtype) PyErr_Clear();
    Ref dtype_ref(dtype);
    const std::string text = dtype ? str_of(dtype) : std::string("a non-array object");
    raise(PyExc_TypeError, std::string(name) +
                               " must be a 1-D integer NumPy array with values in [0, 2**32 - 1]; got " + text +
                               " (kwivel stores candidate ids as u32 \u2014 boolean and floating-point arrays are "
                               "rejected)");
}

CandidateIds::Slice CandidateIds::slice() const {
    if (!borrowed_) return {owned_.data(), owned_.size()};
    auto* arr = reinterpret_cast<PyArrayObject*>(borrowed_.get());
    const auto n = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    if (n == 0) return {nullptr, 0};
    if (!contiguous_aligned(arr)) raise(PyExc_ValueError, kIdsNotContiguous);
    return {static_cast<const std::uint32_t*>(PyArray_DATA(arr)), n};
}

std::vector<std::uint32_t> CandidateIds::into_owned() && {
    if (!borrowed_) return std::move(owned_);
    Ref arr_ref = std::move(borrowed_);
    auto* arr = reinterpret_cast<PyArrayObject*>(arr_ref.get());
    const auto n = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    if (n == 0) return {};
    if (!contiguous_aligned(arr)) raise(PyExc_ValueError, kIdsNotContiguous);
    const auto* p = static_cast<const std::uint32_t*>(PyArray_DATA(arr));
    return std::vector<std::uint32_t>(p, p + n);
}

void check_ids_in_range(CandidateIds::Slice ids, std::size_t n, const char* name) {
    for (std::size_t i = 0; i < ids.size; ++i) {
        if (ids.data[i] >= n)
            raise(PyExc_IndexError, std::string(name) + " " + std::to_string(ids.data[i]) +
                                        " out of range (index holds " + std::to_string(n) + " vectors)");
    }
}

// ----- typed arrays ------------------------------------------------------------------

namespace {
template <class T> constexpr const char* dtype_name();
template <> constexpr const char* dtype_name<std::uint8_t>() { return "uint8"; }
template <> constexpr const char* dtype_name<std::uint16_t>() { return "uint16"; }
template <> constexpr const char* dtype_name<std::uint64_t>() { return "uint64"; }
}  // namespace

template <class T>
TypedView<T> as_typed_1d(PyObject* obj, const char* name) {
    if (!is_array_of(obj, 1, detail::npy_type<T>())) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a 1-D %s NumPy array, got %s", name,
                     dtype_name<T>(), Py_TYPE(obj)->tp_name);
        raise_with_note(name);
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    TypedView<T> v;
    Py_INCREF(obj);
    v.owner = Ref(obj);
    v.data = static_cast<const T*>(PyArray_DATA(arr));
    v.len = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    v.stride = PyArray_STRIDE(arr, 0);
    return v;
}

template <class T>
void TypedView<T>::require_contiguous() const {
    if (len >= 2 && stride != static_cast<npy_intp>(sizeof(T))) raise(PyExc_ValueError, kIdsNotContiguous);
}

template <class T>
std::vector<T> TypedView<T>::to_vector() const {
    std::vector<T> out(len);
    if (len) std::memcpy(out.data(), data, len * sizeof(T));
    return out;
}

template TypedView<std::uint8_t> as_typed_1d<std::uint8_t>(PyObject*, const char*);
template TypedView<std::uint16_t> as_typed_1d<std::uint16_t>(PyObject*, const char*);
template struct TypedView<std::uint8_t>;
template struct TypedView<std::uint16_t>;
template TypedView<std::uint64_t> as_typed_1d<std::uint64_t>(PyObject*, const char*);
template struct TypedView<std::uint64_t>;

void check_add_capacity(std::uint64_t n, std::uint64_t adding, std::uint64_t elems_per_vec,
                        std::uint64_t elem_bytes) {
    std::uint64_t total, elems, bytes;
    if (!checked_add(n, adding, total)) raise(PyExc_ValueError, "n_vectors overflows usize");
    if (total > MAX_VECTORS)
        raise(PyExc_ValueError, "index would exceed MAX_VECTORS (" + std::to_string(MAX_VECTORS) + "); had " +
                                    std::to_string(n) + ", adding " + std::to_string(adding));
    if (!checked_mul(total, elems_per_vec, elems))
        raise(PyExc_ValueError, "index buffer length (n_vectors * elems_per_vec) overflows usize");
    if (!checked_mul(elems, elem_bytes, bytes))
        raise(PyExc_ValueError, "index buffer byte size overflows usize");
}

}  // namespace kwivel::py
