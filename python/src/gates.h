// The array gates: every array argument passes one of these before any index
// code sees it.  Each check runs in a fixed order, so the message a caller
// sees when several things are wrong at once is always the same.
#pragma once

#include "frame.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace kwivel::py {

// A read-only, C-contiguous, finite float32 view of the caller's array or of
// a converted copy (kept alive by `owner`).
struct F32View {
    Ref owner;
    const float* data = nullptr;
    std::size_t rows = 0;  // 1 for a 1-D view
    std::size_t cols = 0;  // the length for a 1-D view
    npy_intp row_stride = 0;  // bytes
    npy_intp col_stride = 0;  // bytes

    std::size_t size() const { return rows * cols; }
    // The call's private copy of the values.
    std::vector<float> to_vector() const;
    // The same copy in fresh memory that is written once, never zero-filled
    // first (large copies on the worker pool, huge pages advised): what an
    // `add` takes, whose input may be most of the machine's memory bandwidth.
    std::unique_ptr<float[]> copy() const;
};

// scan_finite = false leaves the finiteness scan to a caller that reads
// every value anyway; it must then refuse non-finite input with the gate's
// own message before any later check (see finite_message()).
F32View as_f32_2d(PyObject* obj, std::size_t dim, bool scan_finite = true);
const char* finite_message();
F32View as_f32_1d(PyObject* obj, bool check_len, std::size_t len);
void gate_float_ndim(PyObject* obj, std::size_t ndim);
std::uint64_t axis_len(PyObject* obj, std::size_t axis);
void require_c_contiguous(PyObject* obj);

// Second guard behind the float gates: the view is dense and row-major.
void require_dense_rows(const F32View& view);

// A 1-D query of exactly dim values through as_f32_1d, as the call's copy.
std::vector<float> gated_query(PyObject* obj, std::size_t dim);

// Row ids from any 1-D integer array: the caller's own uint32 array
// (borrowed) or a converted copy (owned).
class CandidateIds {
public:
    CandidateIds(Ref borrowed, const char* name) : borrowed_(std::move(borrowed)), name_(name) {}
    CandidateIds(std::vector<std::uint32_t> owned, const char* name) : owned_(std::move(owned)), name_(name) {}

    struct Slice {
        const std::uint32_t* data;
        std::size_t size;
    };
    // Contiguous view of the ids (a borrowed array must be contiguous and aligned).
    Slice slice() const;
    std::vector<std::uint32_t> into_owned() &&;

private:
    Ref borrowed_;
    std::vector<std::uint32_t> owned_;
    const char* name_;
};

CandidateIds as_u32_ids_1d(PyObject* obj, const char* name);
void check_ids_in_range(CandidateIds::Slice ids, std::size_t n, const char* name);

// A 1-D NumPy array of exactly the dtype of T (the typed arrays of the bucket
// functions), read under a borrow.  Anything else is a TypeError raised as an
// argument conversion failure.
template <class T>
struct TypedView {
    Ref owner;
    const T* data = nullptr;
    std::size_t len = 0;
    npy_intp stride = 0;  // bytes

    // Element stride 1, or fewer than 2 elements; else ValueError.
    void require_contiguous() const;
    // The call's private copy (after require_contiguous).
    std::vector<T> to_vector() const;
};

template <class T>
TypedView<T> as_typed_1d(PyObject* obj, const char* name);

void check_add_capacity(std::uint64_t n, std::uint64_t adding, std::uint64_t elems_per_vec,
                        std::uint64_t elem_bytes);

}  // namespace kwivel::py
